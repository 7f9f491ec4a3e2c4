#include "update_fixture.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString buildDir() { return qEnvironmentVariable("QUILLANE_BUILD_DIR"); }

void writeFile(const QString& path, const QByteArray& bytes, QFileDevice::Permissions mode) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
    qFatal("fixture: cannot write %s", qPrintable(path));
  file.close();
  file.setPermissions(mode);
}

QByteArray xmlEscape(const QString& text) { return text.toHtmlEscaped().toUtf8(); }

QByteArray infoPlist(const BundleSpec& bundleShape) {
  QByteArray xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  auto text = [&](const char* key, const QString& value) {
    if (!value.isEmpty()) xml += "\t<key>" + QByteArray(key) + "</key>\n\t<string>" + xmlEscape(value) + "</string>\n";
  };
  auto flag = [&](const char* key, bool value) {
    if (value) xml += "\t<key>" + QByteArray(key) + "</key>\n\t<true/>\n";
  };
  text("CFBundleIdentifier", bundleShape.identifier);
  text("CFBundleName", QStringLiteral("Quillane"));
  text("CFBundleVersion", bundleShape.version);
  text("CFBundleShortVersionString", bundleShape.shortVersion.isEmpty() ? bundleShape.version : bundleShape.shortVersion);
  text("SUFeedURL", bundleShape.feedURL);
  text("SUPublicEDKey", bundleShape.publicEDKey);
  if (!bundleShape.recoveryPublicKeys.isEmpty()) {
    xml += "\t<key>QLRecoveryPublicEDKeys</key>\n\t<array>\n";
    for (const QString& key : bundleShape.recoveryPublicKeys) xml += "\t\t<string>" + xmlEscape(key) + "</string>\n";
    xml += "\t</array>\n";
  }
  flag("SUAutomaticallyUpdate", bundleShape.automaticallyUpdate);
  flag("SURequireSignedFeed", bundleShape.requireSignedFeed);
  xml += "</dict>\n</plist>\n";
  return xml;
}

const QFileDevice::Permissions kFileMode =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
const QFileDevice::Permissions kExecutableMode =
    kFileMode | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

}  // namespace

void writeBundle(const QString& dir, const BundleSpec& bundleShape) {
  writeFile(dir + QStringLiteral("/Contents/Info.plist"), infoPlist(bundleShape), kFileMode);
  writeFile(dir + QStringLiteral("/Contents/MacOS/Quillane"), "#!/bin/sh\nexit 0\n", kExecutableMode);
  writeFile(dir + QStringLiteral("/Contents/Resources/payload.txt"), bundleShape.payload, kFileMode);
  QFile::link(QStringLiteral("MacOS"), dir + QStringLiteral("/Contents/Current"));
}

std::map<QString, QByteArray> snapshotTree(const QString& root) {
  std::map<QString, QByteArray> tree;
  QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    struct stat st {};
    if (lstat(QFile::encodeName(path).constData(), &st) != 0) continue;
    QByteArray entry = QByteArray::number(st.st_mode, 8) + ' ';
    if (S_ISLNK(st.st_mode)) {
      // The target as written (not resolved), so that trees in two places compare equal.
      char target[4096];
      const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
      if (length > 0) entry += QByteArray(target, length);
    } else if (S_ISREG(st.st_mode)) {
      QFile file(path);
      if (file.open(QIODevice::ReadOnly))
        entry += QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
    }
    tree[path.mid(root.size())] = entry;
  }
  return tree;
}

QString runPublisher(const QStringList& arguments) {
  QProcess process;
  process.start(buildDir() + QStringLiteral("/bin/update-publisher"), arguments);
  if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
      process.exitCode() != 0) {
    ADD_FAILURE() << "update-publisher " << arguments.join(u' ').toStdString() << " failed: "
                  << process.readAllStandardError().toStdString();
    return {};
  }
  return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

UpdateFixture::UpdateFixture() {
  bundlesDir_ = work_.filePath(QStringLiteral("Library/Mail/Bundles"));
  QDir().mkpath(bundlesDir_);
  publicKey_ = runPublisher({QStringLiteral("keygen"), QStringLiteral("--key"), keyPath()});
  EXPECT_FALSE(publicKey_.isEmpty());
  EXPECT_TRUE(server_.listen());
  // A skipped version recorded by an earlier test must not leak into this one.
  QFile::remove(QDir::homePath() + QStringLiteral("/Library/Preferences/com.quillane.plugin.plist"));
}

QString UpdateFixture::otherKeyPath() {
  const QString path = work_.filePath(QStringLiteral("other.key"));
  if (!otherKeyMade_) {
    runPublisher({QStringLiteral("keygen"), QStringLiteral("--key"), path});
    otherKeyMade_ = true;
  }
  return path;
}

void UpdateFixture::install(BundleSpec bundleShape) {
  if (bundleShape.feedURL.isEmpty()) bundleShape.feedURL = server_.url(QStringLiteral("/appcast.xml")).toString();
  if (bundleShape.publicEDKey.isEmpty()) bundleShape.publicEDKey = publicKey_;
  writeBundle(pluginPath(), bundleShape);
}

QString UpdateFixture::buildArchive(const QString& name, BundleSpec bundleShape) {
  if (bundleShape.feedURL.isEmpty()) bundleShape.feedURL = server_.url(QStringLiteral("/appcast.xml")).toString();
  if (bundleShape.publicEDKey.isEmpty()) bundleShape.publicEDKey = publicKey_;
  const QString source = work_.filePath(QStringLiteral("build-") + name);
  writeBundle(source + QStringLiteral("/Quillane.mailbundle"), bundleShape);
  const QString archive = work_.filePath(name);
  QProcess tar;
  tar.start(QStringLiteral("bsdtar"), {QStringLiteral("-czf"), archive, QStringLiteral("-C"), source,
                                        QStringLiteral("Quillane.mailbundle")});
  if (!tar.waitForFinished(60000) || tar.exitCode() != 0)
    ADD_FAILURE() << "bsdtar failed: " << tar.readAllStandardError().toStdString();
  return archive;
}

void UpdateFixture::publish(const QString& archive, const QStringList& options) {
  const QString name = QFileInfo(archive).fileName();
  QStringList arguments = {QStringLiteral("feed"), QStringLiteral("--feed"), feedPath(),
                           QStringLiteral("--archive"), archive, QStringLiteral("--url"),
                           server_.url(QLatin1Char('/') + name).toString()};
  if (!options.contains(QStringLiteral("--key")) && !options.contains(QStringLiteral("--unsigned")))
    arguments << QStringLiteral("--key") << keyPath();
  arguments << options;
  runPublisher(arguments);
  server_.setFile(QLatin1Char('/') + name, archive);
  serveFeed();
}

QString UpdateFixture::makeDelta(const QString& name, const QString& oldArchive, const QString& newArchive) {
  const QString delta = work_.filePath(name);
  runPublisher({QStringLiteral("delta"), QStringLiteral("--key"), keyPath(), QStringLiteral("--from"), oldArchive,
                QStringLiteral("--to"), newArchive, QStringLiteral("-o"), delta});
  server_.setFile(QLatin1Char('/') + name, delta);
  return delta;
}

QStringList UpdateFixture::deltaOptions(const QString& delta) const {
  const QString name = QFileInfo(delta).fileName();
  return {QStringLiteral("--delta"), delta, QStringLiteral("--delta-url"), server_.url(QLatin1Char('/') + name).toString()};
}

void UpdateFixture::serveFeed() {
  QFile feed(feedPath());
  if (!feed.open(QIODevice::ReadOnly)) qFatal("fixture: no feed at %s", qPrintable(feedPath()));
  server_.setBody(QStringLiteral("/appcast.xml"), feed.readAll());
}

QStringList UpdateFixture::itemsBesidePlugin() const {
  QStringList items = QDir(bundlesDir_).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                   QDir::NoDotAndDotDot);
  items.removeAll(QStringLiteral("Quillane.mailbundle"));
  return items;
}

QString UpdateFixture::installedVersion() const {
  QFile plist(pluginPath() + QStringLiteral("/Contents/Info.plist"));
  if (!plist.open(QIODevice::ReadOnly)) return {};
  static const QRegularExpression version(
      QStringLiteral("<key>CFBundleVersion</key>\\s*<string>([^<]*)</string>"));
  return version.match(QString::fromUtf8(plist.readAll())).captured(1);
}

QByteArray UpdateFixture::installedPayload() const {
  QFile payload(pluginPath() + QStringLiteral("/Contents/Resources/payload.txt"));
  return payload.open(QIODevice::ReadOnly) ? payload.readAll() : QByteArray();
}
