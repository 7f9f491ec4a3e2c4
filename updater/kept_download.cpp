#include "updater/kept_download.h"

#include "updater/download.h"
#include "updater/kept_files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace updater {

namespace {

constexpr qint64 kMaxRecordBytes = 64 * 1024;
constexpr qint64 kReadChunk = 1024 * 1024;

QString recordPath(const QString& partPath) { return partPath + QStringLiteral(".json"); }

// If-Range needs a strong validator: a weak ETag says "equivalent", not "the same bytes".
QByteArray resumeValidator(const QByteArray& etag, const QByteArray& lastModified) {
  if (!etag.isEmpty() && !etag.startsWith("W/")) return etag;
  return lastModified;
}

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// Opens the part at `path` for reading and writing, refusing links and anything but a regular
// file, and locks it; nothing, with `why` set, when that cannot be done or another run holds it.
foundation::FileDescriptor openLocked(const QString& path, bool create, QString* why) {
  foundation::FileDescriptor file(::open(QFile::encodeName(path).constData(),
                                         O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (create ? O_CREAT : 0), 0600));
  if (!file) {
    *why = QStringLiteral("cannot open %1: %2").arg(path, systemError());
    return file;
  }
  const int fd = file.get();
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    *why = QStringLiteral("%1 is not a regular file").arg(path);
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *why = QStringLiteral("%1 is being downloaded by another run").arg(path);
  } else if (::lstat(QFile::encodeName(path).constData(), &named) != 0 || named.st_ino != opened.st_ino ||
             named.st_dev != opened.st_dev) {
    // Deleted (or replaced) by another run between our open and our lock.
    *why = QStringLiteral("%1 was replaced while it was opened").arg(path);
  } else {
    return file;
  }
  return {};
}

}  // namespace

QString KeptDownload::nameFor(const DownloadIdentity& identity) {
  const QByteArray key = identity.address.toUtf8() + '\n' + QByteArray::number(identity.length) + '\n' +
                         identity.signature.toUtf8();
  return QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32));
}

Result<KeptDownload> KeptDownload::open(const QString& identifier, const DownloadIdentity& identity) {
  Result<QString> folder = makeKeptFilesFolder(identifier);
  if (!folder) return folder.error();
  KeptDownload kept;
  kept.identity_ = identity;
  kept.path_ = *folder + u'/' + nameFor(identity) + QStringLiteral(".part");
  QString why;
  kept.fd_ = openLocked(kept.path_, true, &why);
  if (!kept.fd_) return makeError(why);

  struct stat info {};
  (void)::fstat(kept.fd_.get(), &info);
  const std::optional<QByteArray> record = readKeptFile(recordPath(kept.path_), kMaxRecordBytes);
  const QJsonObject fields = record ? QJsonDocument::fromJson(*record).object() : QJsonObject();
  const bool same = fields.value(QStringLiteral("address")).toString() == identity.address &&
                    fields.value(QStringLiteral("length")).toInteger() == identity.length &&
                    fields.value(QStringLiteral("signature")).toString() == identity.signature;
  const QByteArray validator = resumeValidator(fields.value(QStringLiteral("etag")).toString().toLatin1(),
                                               fields.value(QStringLiteral("lastModified")).toString().toLatin1());
  // A part as long as the whole was complete but never verified: fetching it again is simplest.
  if (same && !validator.isEmpty() && info.st_size > 0 && info.st_size < identity.length) {
    kept.keptBytes_ = info.st_size;
    kept.validator_ = validator;
    return kept;
  }
  if (::ftruncate(kept.fd_.get(), 0) != 0) return makeError(QStringLiteral("cannot empty %1: %2").arg(kept.path_, systemError()));
  if (Status written = kept.writeRecord({}, {}); !written) return written.error();
  return kept;
}

void KeptDownload::pruneExcept(const QString& identifier, const QStringList& keepNames) {
  const QString folder = keptFilesFolder(identifier);
  if (folder.isEmpty()) return;
  const QStringList parts = QDir(folder).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::System | QDir::Hidden);
  for (const QString& part : parts) {
    if (keepNames.contains(part.chopped(5))) continue;
    const QString path = folder + u'/' + part;
    QString why;
    const foundation::FileDescriptor held = openLocked(path, false, &why);
    if (!held) continue;  // in use, or not ours to open: left alone
    QFile::remove(recordPath(path));
    QFile::remove(path);
  }
}

foundation::FileDescriptor KeptDownload::writableFile() const {
  return foundation::FileDescriptor(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
}

Status KeptDownload::writeRecord(const QByteArray& etag, const QByteArray& lastModified) const {
  QJsonObject fields;
  fields.insert(QStringLiteral("address"), identity_.address);
  fields.insert(QStringLiteral("length"), identity_.length);
  fields.insert(QStringLiteral("signature"), identity_.signature);
  fields.insert(QStringLiteral("etag"), QString::fromLatin1(etag));
  fields.insert(QStringLiteral("lastModified"), QString::fromLatin1(lastModified));
  return writeKeptFile(recordPath(path_), QJsonDocument(fields).toJson(QJsonDocument::Compact));
}

Status KeptDownload::recordAnswer(const ResponseStart& answer) {
  if (!answer.resumed) keptBytes_ = 0;
  return writeRecord(answer.etag, answer.lastModified);
}

Status KeptDownload::readKeptPart(const std::function<void(const QByteArray&)>& sink) const {
  QByteArray buffer;
  for (qint64 offset = 0; offset < keptBytes_;) {
    buffer.resize(static_cast<qsizetype>(qMin(kReadChunk, keptBytes_ - offset)));
    const ssize_t got = ::pread(fd_.get(), buffer.data(), static_cast<size_t>(buffer.size()), offset);
    if (got <= 0) {
      return makeError(QStringLiteral("cannot read %1: %2").arg(path_, got == 0 ? QStringLiteral("shorter than kept") : systemError()));
    }
    buffer.resize(static_cast<qsizetype>(got));
    sink(buffer);
    offset += got;
  }
  return {};
}

void KeptDownload::discard() {
  if (path_.isEmpty()) return;
  QFile::remove(recordPath(path_));
  QFile::remove(path_);
  keptBytes_ = 0;
  validator_.clear();
}

}  // namespace updater
