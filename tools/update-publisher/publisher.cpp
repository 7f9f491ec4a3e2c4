#include "tools/update-publisher/publisher.h"

#include "tools/update-publisher/agent_embedding.h"
#include "tools/update-publisher/delta_publishing.h"
#include "tools/update-publisher/feed_editor.h"
#include "tools/update-publisher/feed_keys.h"
#include "tools/update-publisher/feed_lint.h"
#include "command_line.h"
#include "updater/core/archive_extraction.h"
#include "updater/core/bundle_info.h"
#include "updater/core/ed25519_signing.h"
#include "updater/core/item_selection.h"
#include "updater/core/key_statements.h"
#include "updater/core/signed_feed.h"
#include "updater/core/version_comparison.h"

#include <QCommandLineParser>
#include <QCoreApplication>
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
    "Make the keys that sign the plug-in's updates, sign its release archives and keep\n"
    "its update feed.\n"
    "\n"
    "Commands:\n"
    "  keygen --key FILE        make a key pair; writes the private key to FILE (mode 0600, never\n"
    "                           overwriting) and prints the public key for SUPublicEDKey\n"
    "  public-key --key FILE    print the public key of a private key file\n"
    "  sign --key FILE ARCHIVE  print the archive's sparkle:edSignature and length\n"
    "  feed --feed FEED --archive ARCHIVE --url URL [--key FILE | --unsigned]\n"
    "       [--version V] [--short-version S] [--title T] [--channel-title T]\n"
    "       [--release-notes-link URL] [--description TEXT] [--critical | --critical-below V]\n"
    "       [--os NAME]\n"
    "       [--channel NAME] [--phased-rollout-interval SECONDS] [--minimum-autoupdate-version V]\n"
    "       [--informational [--below-version V] [--link URL]]\n"
    "       [--expires ISO8601 | --expires-in-days N] [--delta FILE --delta-url URL]...\n"
    "                           add (or replace) the archive's item in FEED, creating FEED if\n"
    "                           needed, sign the archive, and sign the feed with an expiry\n"
    "                           (default: 30 days) and its serial raised by one unless\n"
    "                           --unsigned; each --delta is signed\n"
    "                           and listed under the item with the --delta-url in its place.\n"
    "                           --os names the archive's platform in sparkle:os (\"linux\" is\n"
    "                           ours); replacing an item keeps its other platforms' enclosures.\n"
    "                           An --informational item needs no archive when --version is given\n"
    "  delta --key FILE --from OLD_ARCHIVE --to NEW_ARCHIVE -o FILE\n"
    "                           make the delta from the old release to the new one, check that\n"
    "                           it reproduces the new release, write it to FILE and print its\n"
    "                           sparkle:deltaFrom, sparkle:edSignature and length\n"
    "  verify-delta --from OLD_ARCHIVE_OR_BUNDLE --to NEW_ARCHIVE DELTA\n"
    "                           apply DELTA to the old release in a temporary folder and compare\n"
    "                           the result with the new release, byte for byte and mode for mode\n"
    "  lint FEED --installed V [--channels A,B] [--group N] [--now ISO8601] [--skipped V]\n"
    "                           print what a background check and a check the user asked for\n"
    "                           would offer that installation, and why, after the feed's\n"
    "                           serial, its chain of keys and the key each item's signatures need\n"
    "  sign-feed --key FILE --feed FEED [--expires ISO8601 | --expires-in-days N]\n"
    "                           set the feed's expiry, raise its serial by one and sign it\n"
    "  rotate-key --feed FEED --key SIGNING_OR_RECOVERY_KEY --new-key NEW_KEY_FILE\n"
    "       [--number N] [--expires ISO8601 | --expires-in-days N]\n"
    "                           add the key statement \"from now on NEW_KEY signs\", signed by\n"
    "                           the key in force (routine) or a recovery key (after a loss or a\n"
    "                           leak), numbered one above the feed's last (or N), and sign the\n"
    "                           feed forward with the new key\n"
    "  embed-agent PLUGIN.mailbundle [--feed-url URL] [--key FILE | --public-key KEY]\n"
    "       [--recovery-public-key KEY]... [--agent APP]\n"
    "                           copy the update agent (APP, default: the one installed with\n"
    "                           this tool) into the plug-in's Contents/Resources/, replacing an\n"
    "                           older copy, and set SUFeedURL and SUPublicEDKey (from the\n"
    "                           private key FILE, or KEY itself) in its Info.plist; keys not\n"
    "                           given keep their values, and the plug-in must end with both;\n"
    "                           each --recovery-public-key goes into QLRecoveryPublicEDKeys\n"
    "                           (all given replace the ones it had)\n"
    "  --help                   show this help and exit\n"
    "  --version                (before any command) show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  failure: a file could not be read, parsed, signed or written\n"
    "  2  usage error\n";

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

// The feed's options for channels, rollouts, announcements and major upgrades, into item;
// a usage problem, or "".
QString releaseManagementOptions(const QCommandLineParser& options, FeedItem& item) {
  item.channel = options.value(QStringLiteral("channel")).trimmed();
  item.phasedRolloutInterval = options.value(QStringLiteral("phased-rollout-interval")).trimmed();
  item.informational = options.isSet(QStringLiteral("informational"));
  item.informationalBelowVersion = options.value(QStringLiteral("below-version")).trimmed();
  item.criticalBelowVersion = options.value(QStringLiteral("critical-below")).trimmed();
  item.minimumAutoupdateVersion = options.value(QStringLiteral("minimum-autoupdate-version")).trimmed();
  item.link = options.value(QStringLiteral("link")).trimmed();
  bool ok = true;
  if (!item.phasedRolloutInterval.isEmpty() && item.phasedRolloutInterval.toLongLong(&ok) < 0) ok = false;
  if (!ok) return QStringLiteral("--phased-rollout-interval needs a whole number of seconds, at least 0");
  if (options.isSet(QStringLiteral("below-version")) && !item.informational) {
    return QStringLiteral("--below-version goes with --informational");
  }
  if (options.isSet(QStringLiteral("channel")) && item.channel.isEmpty()) return QStringLiteral("--channel needs a name");
  return {};
}

// The pubDate of the feed's item of that version, when it has a readable one.
std::optional<QDateTime> existingPubDate(const QByteArray& document, const QString& version) {
  Result<updater::Appcast> feed = updater::parseAppcast(document);
  if (!feed) return std::nullopt;
  for (const updater::AppcastItem& existing : feed->items) {
    if (updater::compareVersions(existing.versionString, version) == 0) return updater::parsePubDate(existing.pubDate);
  }
  return std::nullopt;
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
  const bool announcementOnly = options.isSet(QStringLiteral("informational")) && archivePath.isEmpty() && url.isEmpty() &&
                                options.isSet(QStringLiteral("version"));
  if (feedPath.isEmpty() || (!announcementOnly && (archivePath.isEmpty() || url.isEmpty()))) {
    return c.usage(QStringLiteral("feed needs --feed, --archive and --url (or --informational with --version)"));
  }
  if (!unsignedFeed && !options.isSet(QStringLiteral("key"))) return c.usage(QStringLiteral("feed needs --key FILE, or --unsigned"));

  std::optional<updater::KeyPair> pair;
  if (options.isSet(QStringLiteral("key"))) {
    Result<updater::KeyPair> read = updater::readPrivateKeyFile(options.value(QStringLiteral("key")));
    if (!read) return c.fail(read.error().message);
    pair = *read;
  }

  FeedItem item;
  if (QString problem = releaseManagementOptions(options, item); !problem.isEmpty()) return c.usage(problem);
  item.url = url;
  item.length = announcementOnly ? 0 : QFileInfo(archivePath).size();
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
  item.operatingSystem = options.value(QStringLiteral("os")).trimmed();
  if (options.isSet(QStringLiteral("os")) && item.operatingSystem.isEmpty()) return c.usage(QStringLiteral("--os needs a platform name, e.g. linux"));
  if (pair && !announcementOnly) {
    Result<QString> signature = updater::signFile(archivePath, *pair);
    if (!signature) return c.fail(signature.error().message);
    item.edSignature = *signature;
  }
  const QStringList deltaFiles = options.values(QStringLiteral("delta"));
  const QStringList deltaUrls = options.values(QStringLiteral("delta-url"));
  if (deltaFiles.size() != deltaUrls.size()) return c.usage(QStringLiteral("each --delta needs its --delta-url"));
  if (!deltaFiles.isEmpty() && !pair) return c.usage(QStringLiteral("--delta needs --key FILE: deltas are always signed"));
  for (qsizetype i = 0; i < deltaFiles.size(); ++i) {
    Result<QString> from = deltaFromVersion(deltaFiles[i]);
    if (!from) return c.fail(QStringLiteral("%1: %2").arg(deltaFiles[i], from.error().message));
    Result<QString> signature = updater::signFile(deltaFiles[i], *pair);
    if (!signature) return c.fail(signature.error().message);
    item.deltas.push_back(FeedDelta{*from, deltaUrls[i], QFileInfo(deltaFiles[i]).size(), *signature});
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
  // A rollout counts from the first publication: republishing a version keeps its pubDate.
  item.pubDate = existingPubDate(document, item.version).value_or(QDateTime::currentDateTimeUtc());
  Result<QByteArray> edited = upsertFeedItem(document, item);
  if (!edited) return c.fail(edited.error().message);
  document = *edited;
  if (!unsignedFeed) {
    Result<QDateTime> expiry = expiryOption(options);
    if (!expiry) return c.usage(expiry.error().message);
    Result<QByteArray> signedFeed = signFeedForward(document, *pair, *expiry);
    if (!signedFeed) return c.fail(signedFeed.error().message);
    document = *signedFeed;
  }
  if (updater::Status written = writeFileAtomically(feedPath, document); !written) return c.fail(written.error().message);
  c.out << "sparkle:version=\"" << item.version << "\" sparkle:edSignature=\"" << item.edSignature << "\" length=\"" << item.length << "\"" << Qt::endl;
  return 0;
}

int embedAgentCommand(Context& c, const QCommandLineParser& options) {
  const QStringList rest = options.positionalArguments().mid(1);
  if (rest.size() != 1) return c.usage(QStringLiteral("embed-agent needs exactly one PLUGIN.mailbundle"));
  if (options.isSet(QStringLiteral("key")) && options.isSet(QStringLiteral("public-key"))) {
    return c.usage(QStringLiteral("give --key or --public-key, not both"));
  }
  AgentEmbedding embedding;
  embedding.pluginPath = rest[0];
  embedding.agentBundlePath = options.isSet(QStringLiteral("agent")) ? options.value(QStringLiteral("agent"))
                                                                       : defaultAgentBundle(QCoreApplication::applicationDirPath());
  if (embedding.agentBundlePath.isEmpty()) return c.fail(QStringLiteral("the update agent is not installed with this tool; give --agent APP"));
  if (options.isSet(QStringLiteral("feed-url"))) embedding.feedURL = options.value(QStringLiteral("feed-url"));
  if (options.isSet(QStringLiteral("public-key"))) embedding.publicEDKey = options.value(QStringLiteral("public-key"));
  if (options.isSet(QStringLiteral("recovery-public-key"))) embedding.recoveryPublicKeys = options.values(QStringLiteral("recovery-public-key"));
  if (options.isSet(QStringLiteral("key"))) {
    Result<updater::KeyPair> pair = updater::readPrivateKeyFile(options.value(QStringLiteral("key")));
    if (!pair) return c.fail(pair.error().message);
    embedding.publicEDKey = updater::encodePublicKey(pair->publicKey);
  }
  if (updater::Status embedded = embedAgent(embedding); !embedded) return c.fail(embedded.error().message);
  c.out << "embedded " << embedding.agentBundlePath << " in " << rest[0] << Qt::endl;
  return 0;
}

int delta(Context& c, const QCommandLineParser& options) {
  const QString from = options.value(QStringLiteral("from"));
  const QString to = options.value(QStringLiteral("to"));
  const QString output = options.value(QStringLiteral("o"));
  if (from.isEmpty() || to.isEmpty() || output.isEmpty()) return c.usage(QStringLiteral("delta needs --from, --to and -o"));
  Result<updater::KeyPair> pair = updater::readPrivateKeyFile(options.value(QStringLiteral("key")));
  if (!pair) return c.fail(pair.error().message);
  Result<MadeDelta> made = makeVerifiedDelta(from, to);
  if (!made) return c.fail(made.error().message);
  if (updater::Status written = writeFileAtomically(output, made->bytes); !written) return c.fail(written.error().message);
  c.out << "sparkle:deltaFrom=\"" << made->fromVersion << "\" sparkle:edSignature=\"" << updater::signBytes(made->bytes, *pair)
        << "\" length=\"" << made->bytes.size() << "\"" << Qt::endl;
  return 0;
}

int verifyDeltaCommand(Context& c, const QCommandLineParser& options) {
  const QStringList rest = options.positionalArguments().mid(1);
  const QString from = options.value(QStringLiteral("from"));
  const QString to = options.value(QStringLiteral("to"));
  if (rest.size() != 1 || from.isEmpty() || to.isEmpty()) return c.usage(QStringLiteral("verify-delta needs --from, --to and one DELTA"));
  Result<QString> verified = verifyDelta(from, to, rest[0]);
  if (!verified) return c.fail(verified.error().message);
  c.out << "the delta from " << *verified << " reproduces " << QFileInfo(to).fileName() << Qt::endl;
  return 0;
}

int lint(Context& c, const QCommandLineParser& options) {
  const QStringList rest = options.positionalArguments().mid(1);
  if (rest.size() != 1) return c.usage(QStringLiteral("lint needs exactly one FEED"));
  updater::Installation installation;
  installation.version = options.value(QStringLiteral("installed"));
  if (installation.version.isEmpty()) return c.usage(QStringLiteral("lint needs --installed V"));
  installation.skippedVersion = options.value(QStringLiteral("skipped"));
  installation.channels = options.value(QStringLiteral("channels")).split(u',', Qt::SkipEmptyParts);
  for (QString& channel : installation.channels) channel = channel.trimmed();
  if (options.isSet(QStringLiteral("group"))) {
    bool ok = false;
    installation.group = options.value(QStringLiteral("group")).toInt(&ok);
    if (!ok || installation.group < 0 || installation.group >= updater::kUpdateGroupCount) {
      return c.usage(QStringLiteral("--group needs a whole number from 0 to %1").arg(updater::kUpdateGroupCount - 1));
    }
  }
  QDateTime now = QDateTime::currentDateTimeUtc();
  if (options.isSet(QStringLiteral("now"))) {
    now = QDateTime::fromString(options.value(QStringLiteral("now")), Qt::ISODateWithMs);
    if (!now.isValid() || now.timeSpec() == Qt::LocalTime) {
      return c.usage(QStringLiteral("--now needs an ISO 8601 date and time with a zone, e.g. 2027-03-01T00:00:00Z"));
    }
  }
  Result<QByteArray> document = readWholeFile(rest[0]);
  if (!document) return c.fail(document.error().message);
  Result<updater::Appcast> feed = updater::parseAppcast(*document);
  if (!feed) return c.fail(feed.error().message);
  // The keys first: they concern every installation; the checks end with the feed's errors.
  const QStringList chain = keyChainReport(*document, *feed);
  c.out << chain.join(u'\n') << '\n' << lintReport(*feed, installation, now) << Qt::flush;
  const qsizetype chainErrors = std::count_if(chain.begin(), chain.end(), [](const QString& line) { return line.startsWith(u"error:"); });
  if (const qsizetype errors = feedErrors(*feed).size() + chainErrors; errors > 0) {
    return c.fail(QStringLiteral("%1: %2 error%3 (see above)").arg(rest[0]).arg(errors).arg(errors == 1 ? "" : "s"));
  }
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
  Result<QByteArray> signedFeed = signFeedForward(*document, *pair, *expiry);
  if (!signedFeed) return c.fail(signedFeed.error().message);
  if (updater::Status written = writeFileAtomically(feedPath, *signedFeed); !written) return c.fail(written.error().message);
  c.out << "expires " << expiry->toString(Qt::ISODate) << Qt::endl;
  return 0;
}

int rotateKeyCommand(Context& c, const QCommandLineParser& options) {
  const QString feedPath = options.value(QStringLiteral("feed"));
  const QString newKeyPath = options.value(QStringLiteral("new-key"));
  if (feedPath.isEmpty() || !options.isSet(QStringLiteral("key")) || newKeyPath.isEmpty()) {
    return c.usage(QStringLiteral("rotate-key needs --feed FEED, --key FILE and --new-key FILE"));
  }
  Result<updater::KeyPair> signer = updater::readPrivateKeyFile(options.value(QStringLiteral("key")));
  if (!signer) return c.fail(signer.error().message);
  Result<updater::KeyPair> newKey = updater::readPrivateKeyFile(newKeyPath);
  if (!newKey) return c.fail(QStringLiteral("%1 (make the new key with keygen first)").arg(newKey.error().message));
  Result<QDateTime> expiry = expiryOption(options);
  if (!expiry) return c.usage(expiry.error().message);
  Result<QByteArray> document = readWholeFile(feedPath);
  if (!document) return c.fail(document.error().message);
  std::optional<std::uint64_t> number;
  if (options.isSet(QStringLiteral("number"))) {
    bool ok = false;
    number = options.value(QStringLiteral("number")).toULongLong(&ok);
    if (!ok || *number == 0 || *number > updater::kMaxStatementNumber) {
      return c.usage(QStringLiteral("--number needs a whole number from 1 to %1").arg(updater::kMaxStatementNumber));
    }
  }
  Result<RotatedFeed> rotated = rotateFeedKey(*document, *signer, *newKey, *expiry, number);
  if (!rotated) return c.fail(rotated.error().message);
  if (updater::Status written = writeFileAtomically(feedPath, rotated->feed); !written) return c.fail(written.error().message);
  c.out << "key statement " << rotated->number << ": from now on " << updater::encodePublicKey(newKey->publicKey)
        << " signs (statement signed by " << updater::encodePublicKey(signer->publicKey)
        << (rotated->bySigningKey ? ", the key in force"
            : rotated->first      ? ", which must be the plug-ins' SUPublicEDKey or one of their recovery keys"
                                  : ", not the key in force: agents accept it only if it is one of the plug-ins' recovery keys")
        << ")" << Qt::endl;
  c.out << "SUPublicEDKey of the next release: " << updater::encodePublicKey(newKey->publicKey) << Qt::endl;
  return 0;
}

}  // namespace

int runPublisher(const QStringList& arguments, QTextStream& out, QTextStream& err) {
  Context c{out, err};
  QCommandLineParser options;
  options.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QString value = QStringLiteral("value");
  for (const char* name : {"key", "feed", "archive", "url", "version", "short-version", "title", "channel-title",
                           "release-notes-link", "description", "expires", "expires-in-days", "feed-url", "public-key",
                           "agent", "from", "to", "o", "delta", "delta-url", "channel", "phased-rollout-interval",
                           "below-version", "critical-below", "minimum-autoupdate-version", "link", "installed",
                           "channels", "group", "now", "skipped", "os", "new-key", "number",
                           "recovery-public-key"}) {
    options.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), value));
  }
  for (const char* flag : {"critical", "unsigned", "informational", "help"}) options.addOption(QCommandLineOption(QString::fromLatin1(flag)));

  // The program's own --version comes first; after a command, --version is the feed's.
  if (arguments.value(0) == u"--version") {
    out << QString::fromStdString(command_line::versionLine("update-publisher")) << Qt::endl;
    return out.status() == QTextStream::Ok ? 0 : 1;
  }
  if (!options.parse(QStringList{QStringLiteral("update-publisher")} + arguments)) return c.usage(options.errorText());
  if (options.isSet(QStringLiteral("help"))) {
    out << kUsage << Qt::flush;
    return out.status() == QTextStream::Ok ? 0 : 1;
  }
  const QStringList positional = options.positionalArguments();
  const QString command = positional.value(0);
  const bool takesArguments =
      command == u"sign" || command == u"embed-agent" || command == u"verify-delta" || command == u"lint";
  if (!takesArguments && positional.size() > 1) return c.usage(QStringLiteral("unexpected argument \"%1\"").arg(positional[1]));
  if (command == u"keygen") return keygen(c, options);
  if (command == u"public-key") return publicKey(c, options);
  if (command == u"sign") return sign(c, options);
  if (command == u"feed") return feed(c, options);
  if (command == u"sign-feed") return signFeedCommand(c, options);
  if (command == u"rotate-key") return rotateKeyCommand(c, options);
  if (command == u"embed-agent") return embedAgentCommand(c, options);
  if (command == u"delta") return delta(c, options);
  if (command == u"verify-delta") return verifyDeltaCommand(c, options);
  if (command == u"lint") return lint(c, options);
  return c.usage(command.isEmpty() ? QStringLiteral("no command given") : QStringLiteral("unknown command \"%1\"").arg(command));
}

}  // namespace publisher
