#include "bundle_fixtures.h"

#include "plist/plist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace updater::testing {
namespace {

[[noreturn]] void fixtureFailure(const QString& what) {
  std::fprintf(stderr, "test fixture failure: %s\n", qPrintable(what));
  std::abort();
}

}  // namespace

void writeFile(const QString& path, const QByteArray& bytes, unsigned mode) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) fixtureFailure(path);
  file.close();
  if (::chmod(QFile::encodeName(path).constData(), mode) != 0) fixtureFailure(path);
}

QByteArray readFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

QString makeBundle(const QString& parent, const QString& name, const BundleSpec& bundleShape) {
  const QString bundle = parent + u'/' + name;
  plist::Dictionary info{
      {"CFBundleIdentifier", plist::Value(bundleShape.identifier.toStdString())},
      {"CFBundleVersion", plist::Value(bundleShape.version.toStdString())},
      {"CFBundleShortVersionString", plist::Value(bundleShape.shortVersion.toStdString())},
      {"SUFeedURL", plist::Value(std::string("https://updates.example/quillane/feed.xml"))},
  };
  if (!bundleShape.publicEDKey.isEmpty()) info.set("SUPublicEDKey", plist::Value(bundleShape.publicEDKey.toStdString()));
  if (bundleShape.requireSignedFeed) info.set("SURequireSignedFeed", plist::Value(true));
  const std::string xml = plist::writeXml(plist::Value(info));
  if (xml.empty()) fixtureFailure(QStringLiteral("Info.plist for ") + bundle);
  writeFile(bundle + QStringLiteral("/Contents/Info.plist"), QByteArray::fromStdString(xml));
  writeFile(bundle + QStringLiteral("/Contents/MacOS/Quillane"), "#!/bin/sh\necho Quillane " + bundleShape.version.toUtf8() + "\n", 0755);
  for (int i = 0; i < bundleShape.payloadFiles; ++i) {
    writeFile(bundle + QStringLiteral("/Contents/Resources/file%1.txt").arg(i),
              QStringLiteral("resource %1 of version %2\n").arg(i).arg(bundleShape.version).toUtf8().repeated(i + 1));
  }
  if (!QFile::link(QStringLiteral("MacOS"), bundle + QStringLiteral("/Contents/Current"))) fixtureFailure(bundle + "/Contents/Current");
  return bundle;
}

TreeSnapshot snapshot(const QString& root) {
  namespace fs = std::filesystem;
  TreeSnapshot result;
  const fs::path base(root.toStdString());
  std::error_code error;
  const fs::file_status top = fs::symlink_status(base, error);
  if (error || !fs::exists(top)) return result;
  if (!fs::is_directory(top)) {
    result["."] = "not a folder";
    return result;
  }
  for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator(); ++it) {
    const std::string name = it->path().lexically_relative(base).string();
    const fs::file_status status = it->symlink_status();
    const unsigned mode = static_cast<unsigned>(status.permissions()) & 07777;
    if (fs::is_symlink(status)) {
      result[name] = "link -> " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      result[name] = "folder";
    } else if (fs::is_regular_file(status)) {
      std::ifstream in(it->path(), std::ios::binary);
      std::stringstream contents;
      contents << in.rdbuf();
      std::ostringstream entry;
      entry << "file " << std::oct << mode << ": " << contents.str();
      result[name] = entry.str();
    } else {
      result[name] = "other";
    }
  }
  return result;
}

std::string describeDifference(const TreeSnapshot& expected, const TreeSnapshot& actual) {
  std::string out;
  for (const auto& [path, what] : expected) {
    auto found = actual.find(path);
    if (found == actual.end()) out += "missing " + path + "; ";
    else if (found->second != what) out += "changed " + path + "; ";
  }
  for (const auto& [path, what] : actual) {
    if (!expected.count(path)) out += "extra " + path + "; ";
  }
  return out.empty() ? "identical" : out;
}

}  // namespace updater::testing
