#include "tools/update-publisher/publisher.h"

#include "tools/update-publisher/feed_editor.h"
#include "updater/core/archive_extraction.h"
#include "updater/core/bundle_info.h"
#include "updater/core/ed25519_signing.h"
#include "updater/core/signed_feed.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

namespace publisher {
namespace {

using updater::Result;

constexpr int kDefaultExpiryDays = 30;

const char kUsage[] =
    "Usage: update-publisher COMMAND [OPTIONS]\n"
    "\n"
    "  keygen --key FILE        make a key pair; writes the private key to FILE (mode 0600, never\n"
    "                           overwriting) and prints the public key for SUPublicEDKey\n"
    "  public-key --key FILE    print the public key of a private key file\n"
    "  sign --key FILE ARCHIVE  print the archive's sparkle:edSignature and length\n"
    "  feed --feed FEED --archive ARCHIVE --url URL [--key FILE | --unsigned]\n"
    "       [--version V] [--short-version S] [--title T] [--channel-title T]\n"
    "       [--release-notes-link URL] [--description TEXT] [--critical]\n"
    "       [--expires ISO8601 | --expires-in-days N]\n"
    "                           add (or replace) the archive's item in FEED, creating FEED if\n"
    "                           needed, sign the archive, and sign the feed with an expiry\n"
    "                           (default: 30 days) unless --unsigned\n"
    "  sign-feed --key FILE --feed FEED [--expires ISO8601 | --expires-in-days N]\n"
    "                           set the feed's expiry and sign it\n";

struct Context {
  QTextStream& out;
  QTextStream& err;
  int fail(const QString& message) {
    err << "update-publisher: " << message << Qt::endl;
    return 1;
  }
  int usage(const QString& message) {
    err << "update-publisher: " << message << "\n\n" << kUsage << Qt::flush;
    return 2;
  }
};

Result<QByteArray> readWholeFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return updater::makeError(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
  return file.readAll();
}

updater::Status writeFileAtomically(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    return updater::makeError(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
  }
  return updater::Status::ok();
}

// The expiry asked for on the command line, or the default.
Result<QDateTime> expiryOption(const QCommandLineParser& options) {
  if (options.isSet(QStringLiteral("expires"))) {
    const QDateTime when = QDateTime::fromString(options.value(QStringLiteral("expires")), Qt::ISODateWithMs);
    if (!when.isValid() || when.timeSpec() == Qt::LocalTime) {
      return updater::makeError(QStringLiteral("--expires needs an ISO 8601 date and time with a zone, e.g. 2027-03-01T00:00:00Z"));
    }
    return when.toUTC();
  }
  int days = kDefaultExpiryDays;
  if (options.isSet(QStringLiteral("expires-in-days"))) {
    bool ok = false;
    days = options.value(QStringLiteral("expires-in-days")).toInt(&ok);
    if (!ok || days < 1) return updater::makeError(QStringLiteral("--expires-in-days needs a whole number of days, at least 1"));
  }
  return QDateTime::currentDateTimeUtc().addDays(days);
}

// The bundle inside an archive, read the way the updater will read it.
Result<updater::BundleInfo> archivedBundleInfo(const QString& archivePath) {
  QTemporaryDir scratch;
  if (!scratch.isValid()) return updater::makeError(QStringLiteral("Cannot create a temporary folder."));
  Result<QString> bundle = updater::extractArchive(archivePath, scratch.path());
  if (!bundle) return bundle.error();
  return updater::readBundleInfo(*bundle);
}

int keygen(Context& c, const QCommandLineParser& options) {
  const QString keyPath = options.value(QStringLiteral("key"));
  if (keyPath.isEmpty()) return c.usage(QStringLiteral("keygen needs --key FILE"));
  const updater::KeyPair pair = updater::generateKeyPair();
  if (updater::Status written = updater::writePrivateKeyFile(keyPath, pair); !written) return c.fail(written.error().message);
  c.out << updater::encodePublicKey(pair.publicKey) << Qt::endl;
  return 0;
}

int publicKey(Context& c, const QCommandLineParser& options) {
  Result<updater::KeyPair> pair = updater::readPrivateKeyFile(options.value(QStringLiteral("key")));
  if (!pair) return c.fail(pair.error().message);
  c.out << updater::encodePublicKey(pair->publicKey) << Qt::endl;
  return 0;
}

int sign(Context& c, const QCommandLineParser& options) {
  const QStringList rest = options.positionalArguments().mid(1);
  if (rest.size() != 1) return c.usage(QStringLiteral("sign needs exactly one ARCHIVE"));
  Result<updater::KeyPair> pair = updater::readPrivateKeyFile(options.value(QStringLiteral("key")));
  if (!pair) return c.fail(pair.error().message);
  Result<QString> signature = updater::signFile(rest[0], *pair);
  if (!signature) return c.fail(signature.error().message);
  c.out << "sparkle:edSignature=\"" << *signature << "\" length=\"" << QFileInfo(rest[0]).size() << "\"" << Qt::endl;
  return 0;
}

int feed(Context& c, const QCommandLineParser& options) {
  const QString feedPath = options.value(QStringLiteral("feed"));
  const QString archivePath = options.value(QStringLiteral("archive"));
  const QString url = options.value(QStringLiteral("url"));
  const bool unsignedFeed = options.isSet(QStringLiteral("unsigned"));
  if (feedPath.isEmpty() || archivePath.isEmpty() || url.isEmpty()) return c.usage(QStringLiteral("feed needs --feed, --archive and --url"));
  if (!unsignedFeed && !options.isSet(QStringLiteral("key"))) return c.usage(QStringLiteral("feed needs --key FILE, or --unsigned"));

  std::optional<updater::KeyPair> pair;
  if (options.isSet(QStringLiteral("key"))) {
    Result<updater::KeyPair> read = updater::readPrivateKeyFile(options.value(QStringLiteral("key")));
    if (!read) return c.fail(read.error().message);
    pair = *read;
  }

  FeedItem item;
  item.url = url;
  item.length = QFileInfo(archivePath).size();
  item.version = options.value(QStringLiteral("version"));
  item.shortVersion = options.value(QStringLiteral("short-version"));
  if (item.version.isEmpty()) {
    // The version the updater will compare is the one inside the archive.
    Result<updater::BundleInfo> info = archivedBundleInfo(archivePath);
    if (!info) return c.fail(QStringLiteral("%1 (give --version to publish it anyway)").arg(info.error().message));
    item.version = info->version;
    if (item.shortVersion.isEmpty()) item.shortVersion = info->shortVersion;
  }
  item.title = options.isSet(QStringLiteral("title")) ? options.value(QStringLiteral("title"))
                                                      : QStringLiteral("Version %1").arg(item.shortVersion.isEmpty() ? item.version : item.shortVersion);
  item.releaseNotesLink = options.value(QStringLiteral("release-notes-link"));
  item.description = options.value(QStringLiteral("description"));
  item.critical = options.isSet(QStringLiteral("critical"));
  item.pubDate = QDateTime::currentDateTimeUtc();
  if (pair) {
    Result<QString> signature = updater::signFile(archivePath, *pair);
    if (!signature) return c.fail(signature.error().message);
    item.edSignature = *signature;
  }

  QByteArray document;
  if (QFileInfo::exists(feedPath)) {
    Result<QByteArray> existing = readWholeFile(feedPath);
    if (!existing) return c.fail(existing.error().message);
    document = *existing;
  } else {
    document = newFeed(options.isSet(QStringLiteral("channel-title")) ? options.value(QStringLiteral("channel-title"))
                                                                       : QStringLiteral("Updates"));
  }
  Result<QByteArray> edited = upsertFeedItem(document, item);
  if (!edited) return c.fail(edited.error().message);
  document = *edited;
  if (!unsignedFeed) {
    Result<QDateTime> expiry = expiryOption(options);
    if (!expiry) return c.usage(expiry.error().message);
    Result<QByteArray> withExpiry = setFeedExpiry(document, *expiry);
    if (!withExpiry) return c.fail(withExpiry.error().message);
    document = updater::signFeed(*withExpiry, *pair);
  }
  if (updater::Status written = writeFileAtomically(feedPath, document); !written) return c.fail(written.error().message);
  c.out << "sparkle:version=\"" << item.version << "\" sparkle:edSignature=\"" << item.edSignature << "\" length=\"" << item.length << "\"" << Qt::endl;
  return 0;
}

int signFeedCommand(Context& c, const QCommandLineParser& options) {
  const QString feedPath = options.value(QStringLiteral("feed"));
  if (feedPath.isEmpty()) return c.usage(QStringLiteral("sign-feed needs --feed FEED"));
  Result<updater::KeyPair> pair = updater::readPrivateKeyFile(options.value(QStringLiteral("key")));
  if (!pair) return c.fail(pair.error().message);
  Result<QDateTime> expiry = expiryOption(options);
  if (!expiry) return c.usage(expiry.error().message);
  Result<QByteArray> document = readWholeFile(feedPath);
  if (!document) return c.fail(document.error().message);
  Result<QByteArray> withExpiry = setFeedExpiry(*document, *expiry);
  if (!withExpiry) return c.fail(withExpiry.error().message);
  if (updater::Status written = writeFileAtomically(feedPath, updater::signFeed(*withExpiry, *pair)); !written) {
    return c.fail(written.error().message);
  }
  c.out << "expires " << expiry->toString(Qt::ISODate) << Qt::endl;
  return 0;
}

}  // namespace

int runPublisher(const QStringList& arguments, QTextStream& out, QTextStream& err) {
  Context c{out, err};
  QCommandLineParser options;
  options.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QString value = QStringLiteral("value");
  for (const char* name : {"key", "feed", "archive", "url", "version", "short-version", "title", "channel-title",
                           "release-notes-link", "description", "expires", "expires-in-days"}) {
    options.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), value));
  }
  for (const char* flag : {"critical", "unsigned", "help"}) options.addOption(QCommandLineOption(QString::fromLatin1(flag)));

  if (!options.parse(QStringList{QStringLiteral("update-publisher")} + arguments)) return c.usage(options.errorText());
  if (options.isSet(QStringLiteral("help"))) {
    out << kUsage << Qt::flush;
    return 0;
  }
  const QStringList positional = options.positionalArguments();
  const QString command = positional.value(0);
  if (command != u"sign" && positional.size() > 1) return c.usage(QStringLiteral("unexpected argument \"%1\"").arg(positional[1]));
  if (command == u"keygen") return keygen(c, options);
  if (command == u"public-key") return publicKey(c, options);
  if (command == u"sign") return sign(c, options);
  if (command == u"feed") return feed(c, options);
  if (command == u"sign-feed") return signFeedCommand(c, options);
  return c.usage(command.isEmpty() ? QStringLiteral("no command given") : QStringLiteral("unknown command \"%1\"").arg(command));
}

}  // namespace publisher
