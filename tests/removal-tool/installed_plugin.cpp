#include "installed_plugin.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {

bool homeIsSandbox() {
  const QString home = QDir::homePath();
  return home.contains("/quillane-test.") && home.endsWith("/home");
}

void removeTree(const QString& path) {
  const QString home = QDir::homePath();
  if (!homeIsSandbox() || !QDir::cleanPath(path).startsWith(home + "/")) return;
  QDir(path).removeRecursively();
}

void writeFile(const QString& path, const QByteArray& content) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(content);
}

InstalledPlugin installPlugin(const QString& library) {
  InstalledPlugin plugin{library};
  writeFile(plugin.bundle() + "/Contents/Info.plist", "<plist><dict/></plist>\n");
  writeFile(plugin.bundle() + "/Contents/MacOS/Quillane", QByteArray(4096, 'x'));
  writeFile(plugin.bundle() + "/Contents/Resources/en.lproj/Localizable.strings", "\"a\" = \"b\";");
  writeFile(plugin.importer() + "/Contents/Info.plist", "<plist><dict/></plist>\n");
  writeFile(plugin.importer() + "/Contents/MacOS/Quillane", "importer");
  writeFile(plugin.extras() + "/Templates/Reply.txt", "Thanks!");
  writeFile(plugin.extras() + "/Readme.txt", "extras");
  return plugin;
}

bool existsNoFollow(const QString& path) {
  struct stat status;
  return lstat(QFile::encodeName(path).constData(), &status) == 0;
}

TreeSnapshot snapshot(const QString& root) {
  TreeSnapshot tree;
  auto describe = [](const QFileInfo& info) -> QString {
    if (info.isSymLink()) return "link:" + info.symLinkTarget();
    if (info.isDir()) return QStringLiteral("dir");
    QFile file(info.filePath());
    return "file:" + QString::fromUtf8(file.open(QIODevice::ReadOnly) ? file.readAll() : "?");
  };
  if (!existsNoFollow(root)) return tree;
  const QFileInfo rootInfo(root);
  tree[QString()] = describe(rootInfo);
  if (rootInfo.isSymLink() || !rootInfo.isDir()) return tree;
  QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);  // links are listed, never entered
  while (it.hasNext()) {
    it.next();
    tree[it.filePath().mid(root.size())] = describe(it.fileInfo());
  }
  return tree;
}

std::optional<QString> makeUnremovable(const QString& path) {
  if (geteuid() == 0) {
    // Permission bits do not stop root; the immutable attribute does.
    if (QProcess::execute("chattr", {"+i", path}) == 0) return std::nullopt;
    return QStringLiteral("running as root and chattr +i is not possible on this file system");
  }
  const QString parent = QFileInfo(path).path();
  if (chmod(QFile::encodeName(parent).constData(), 0555) == 0) return std::nullopt;
  return QStringLiteral("cannot make %1 read-only").arg(parent);
}

void makeRemovable(const QString& path) {
  if (geteuid() == 0) {
    QProcess::execute("chattr", {"-i", path});
    return;
  }
  chmod(QFile::encodeName(QFileInfo(path).path()).constData(), 0755);
}

}  // namespace testing_support
