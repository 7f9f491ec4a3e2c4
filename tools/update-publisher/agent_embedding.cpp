#include "tools/update-publisher/agent_embedding.h"

#include "plist/file.h"
#include "plist/plist.h"
#include "updater/core/ed25519_signing.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>

#include <filesystem>
#include <system_error>

namespace publisher {
namespace {

using updater::makeError;
using updater::Result;
using updater::Status;

constexpr char kAgentName[] = "QuillaneUpdateAgent";

struct PluginInfo {
  plist::Value value;
  plist::Format format;
};

Result<PluginInfo> readPluginInfo(const QString& infoPath) {
  auto bytes = plist::readFile(infoPath.toStdString());
  if (!bytes) return makeError(QString::fromStdString(bytes.error().message));
  plist::ReadResult read = plist::read(*bytes);
  if (!read) {
    return makeError(QStringLiteral("%1 is not a property list: %2").arg(infoPath, QString::fromStdString(read.error().describe())));
  }
  const plist::Dictionary* info = read->asDictionary();
  if (!info) return makeError(QStringLiteral("%1 is not a dictionary.").arg(infoPath));
  for (const char* key : {"CFBundleIdentifier", "CFBundleVersion"}) {
    const plist::Value* value = info->get(key);
    if (!value || !value->asString()) return makeError(QStringLiteral("%1 has no %2.").arg(infoPath, QString::fromLatin1(key)));
  }
  return PluginInfo{std::move(*read), read.format()};
}

Status checkFeedURL(const QString& address) {
  const QUrl url(address, QUrl::StrictMode);
  const QString scheme = url.scheme();
  if (!url.isValid() || url.isRelative() || (scheme != u"https" && scheme != u"http" && scheme != u"file")) {
    return makeError(QStringLiteral("the feed address \"%1\" is not an absolute https, http or file URL").arg(address));
  }
  return Status::ok();
}

// Copies the bundle's tree under a temporary name beside its final place, then swaps it in,
// so that a failure at any point leaves the old agent (or none) rather than half a copy.
Status installAgentCopy(const QString& agentBundlePath, const QString& resourcesPath) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(resourcesPath.toStdString(), error);
  if (error) return makeError(QStringLiteral("Cannot create %1: %2").arg(resourcesPath, QString::fromStdString(error.message())));

  QTemporaryDir scratch(resourcesPath + QStringLiteral("/.embedding-XXXXXX"));
  if (!scratch.isValid()) return makeError(QStringLiteral("Cannot create a temporary folder in %1.").arg(resourcesPath));
  const QString name = QFileInfo(agentBundlePath).fileName();
  const fs::path copy = (scratch.path() + QLatin1Char('/') + name).toStdString();
  fs::copy(agentBundlePath.toStdString(), copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
  if (error) return makeError(QStringLiteral("Cannot copy %1: %2").arg(agentBundlePath, QString::fromStdString(error.message())));

  const fs::path target = (resourcesPath + QLatin1Char('/') + name).toStdString();
  const fs::path old = (scratch.path() + QStringLiteral("/old")).toStdString();
  const bool hadOne = fs::symlink_status(target, error).type() != fs::file_type::not_found;
  if (hadOne) {
    fs::rename(target, old, error);
    if (error) return makeError(QStringLiteral("Cannot move the old agent aside: %1").arg(QString::fromStdString(error.message())));
  }
  fs::rename(copy, target, error);
  if (error) {
    std::error_code ignored;
    if (hadOne) fs::rename(old, target, ignored);
    return makeError(QStringLiteral("Cannot put the agent in place: %1").arg(QString::fromStdString(error.message())));
  }
  return Status::ok();  // the scratch folder takes the old agent with it
}

}  // namespace

Status embedAgent(const AgentEmbedding& embedding) {
  const QFileInfo plugin(embedding.pluginPath);
  if (!plugin.isDir() || plugin.suffix() != u"mailbundle") {
    return makeError(QStringLiteral("%1 is not a .mailbundle folder").arg(embedding.pluginPath));
  }
  const QString agentProgram = embedding.agentBundlePath + QStringLiteral("/Contents/MacOS/") + QLatin1String(kAgentName);
  if (!QFileInfo(agentProgram).isExecutable()) {
    return makeError(QStringLiteral("%1 is not the update agent's bundle (no %2)").arg(embedding.agentBundlePath, agentProgram));
  }
  if (embedding.feedURL) {
    if (Status checked = checkFeedURL(*embedding.feedURL); !checked) return checked;
  }
  if (embedding.publicEDKey && !updater::decodePublicKey(*embedding.publicEDKey)) {
    return makeError(QStringLiteral("the public key is not 32 bytes of base64"));
  }

  if (embedding.recoveryPublicKeys) {
    for (const QString& key : *embedding.recoveryPublicKeys) {
      if (!updater::decodePublicKey(key)) return makeError(QStringLiteral("the recovery public key %1 is not 32 bytes of base64").arg(key));
    }
  }

  const QString infoPath = plugin.absoluteFilePath() + QStringLiteral("/Contents/Info.plist");
  Result<PluginInfo> info = readPluginInfo(infoPath);
  if (!info) return info.error();
  plist::Dictionary& keys = *info->value.asDictionary();
  if (embedding.feedURL) keys.set("SUFeedURL", embedding.feedURL->toStdString());
  if (embedding.publicEDKey) keys.set("SUPublicEDKey", embedding.publicEDKey->toStdString());
  if (embedding.recoveryPublicKeys) {
    plist::Array recovery;
    for (const QString& key : *embedding.recoveryPublicKeys) recovery.push_back(plist::Value(key.trimmed().toStdString()));
    keys.set("QLRecoveryPublicEDKeys", plist::Value(std::move(recovery)));
  }
  if (const plist::Value* signing = keys.get("SUPublicEDKey"); signing && signing->asString()) {
    const updater::Result<updater::PublicKey> inForce = updater::decodePublicKey(QString::fromStdString(*signing->asString()));
    const plist::Value* recovery = keys.get("QLRecoveryPublicEDKeys");
    for (const plist::Value& key : recovery && recovery->asArray() ? *recovery->asArray() : plist::Array()) {
      const std::string* text = key.asString();
      const updater::Result<updater::PublicKey> decoded = text ? updater::decodePublicKey(QString::fromStdString(*text)) : updater::makeError(QString());
      if (inForce && decoded && decoded->bytes == inForce->bytes) {
        return makeError(QStringLiteral("the recovery key %1 is the SUPublicEDKey itself: a recovery key must be another key, kept offline")
                             .arg(QString::fromStdString(*text)));
      }
    }
  }
  for (const char* key : {"SUFeedURL", "SUPublicEDKey"}) {
    const plist::Value* value = keys.get(key);
    if (!value || !value->asString() || value->asString()->empty()) {
      return makeError(QStringLiteral("%1 has no %2: give it with %3").arg(infoPath, QString::fromLatin1(key),
                                                                          key == std::string_view("SUFeedURL") ? QStringLiteral("--feed-url")
                                                                                                               : QStringLiteral("--key or --public-key")));
    }
  }
  auto bytes = plist::write(info->value, info->format);
  if (!bytes) return makeError(QStringLiteral("Cannot write %1: %2").arg(infoPath, QString::fromStdString(bytes.error().message)));

  if (Status copied = installAgentCopy(embedding.agentBundlePath, plugin.absoluteFilePath() + QStringLiteral("/Contents/Resources")); !copied) {
    return copied;
  }
  auto written = plist::writeFileAtomically(infoPath.toStdString(), *bytes);
  if (!written) return makeError(QString::fromStdString(written.error().message));
  return Status::ok();
}

QString defaultAgentBundle(const QString& programDirectory) {
  const QString bundle = QLatin1String(kAgentName) + QStringLiteral(".app");
  for (const QString& folder : {programDirectory, programDirectory + QStringLiteral("/" QUILLANE_PUBLISHER_PRIVATE_DIR)}) {
    const QString candidate = QDir::cleanPath(folder + QLatin1Char('/') + bundle);
    if (QFileInfo(candidate).isDir()) return candidate;
  }
  return {};
}

}  // namespace publisher
