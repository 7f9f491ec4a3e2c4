// The part of an archive download that ended early (a closed laptop, a dropped line), kept so
// that the next run asks only for the rest.
//
// A part lives in the kept-files folder (kept_files.h) as <name>.part, beside <name>.part.json
// recording what identifies it: the address, the declared length and signature (the name is a
// hash of these three), and the validator the server sent (ETag, else Last-Modified). Without a
// validator nothing is resumed: the server could not tell us whether its file changed.
//
// A run holds the part under an exclusive lock (flock) from open() until it lets go, so a second
// agent of the same account never writes it at the same time: its open() fails and it downloads
// without keeping anything. Parts are opened refusing links and anything but regular files.
#pragma once

#include "foundation/file_descriptor.h"
#include "updater/core/result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace updater {

struct ResponseStart;

struct DownloadIdentity {
  QString address;  // as resolved, before redirects
  qint64 length = 0;
  QString signature;
};

class KeptDownload {
 public:
  // The kept part for `identity` of the plug-in `identifier`, created empty when there is none,
  // emptied when its record does not match; locked for this run. Fails when another run holds
  // it or it cannot be opened safely.
  static Result<KeptDownload> open(const QString& identifier, const DownloadIdentity& identity);

  // Deletes the kept parts of `identifier` other than those named in `keepNames` (nameFor())
  // that no run holds.
  static void pruneExcept(const QString& identifier, const QStringList& keepNames);
  static QString nameFor(const DownloadIdentity& identity);

  KeptDownload(KeptDownload&& other) noexcept = default;
  KeptDownload& operator=(KeptDownload&& other) noexcept = default;
  // Destroying it lets go of the lock; the part stays.

  QString path() const { return path_; }
  // Bytes that may be resumed from, and the validator to ask with (If-Range); 0 and empty
  // when the part cannot be resumed.
  qint64 keptBytes() const { return keptBytes_; }
  QByteArray validator() const { return validator_; }
  // A second handle on the part (same open file, same lock), for the download to write.
  // Nothing when the system refuses another descriptor.
  foundation::FileDescriptor writableFile() const;

  // Records the validator of the answer now arriving, before its first byte is stored.
  Status recordAnswer(const ResponseStart& answer);
  // Passes the first keptBytes() bytes, in order, to `sink` (to hash them again).
  Status readKeptPart(const std::function<void(const QByteArray&)>& sink) const;
  // Deletes the part and its record; what stays open is an unlinked file.
  void discard();

 private:
  KeptDownload() = default;
  Status writeRecord(const QByteArray& etag, const QByteArray& lastModified) const;

  foundation::FileDescriptor fd_;
  QString path_;
  DownloadIdentity identity_;
  qint64 keptBytes_ = 0;
  QByteArray validator_;
};

}  // namespace updater
