#include "updater/feed_trust.h"

#include "updater/core/key_chain.h"

#include "foundation/log.h"
#include "foundation/user_defaults.h"

namespace updater {
namespace {

std::optional<std::uint64_t> storedNumber(const plist::Dictionary& settings, const std::string& key) {
  const plist::Value* value = settings.get(key);
  const std::optional<plist::Integer> integer = value ? value->asInteger() : std::nullopt;
  const std::optional<std::int64_t> number = integer ? integer->toInt64() : std::nullopt;
  if (!number || *number < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*number);
}

std::uint64_t storedSerial(const plist::Dictionary& settings, const QString& feedAddress) {
  const plist::Value* serials = settings.get(kFeedSerialsKey.toStdString());
  const plist::Dictionary* byAddress = serials ? serials->asDictionary() : nullptr;
  return byAddress ? storedNumber(*byAddress, feedAddress.toStdString()).value_or(0) : 0;
}

// The chain recorded in settings, if any.
std::optional<KeyChainState> storedChain(const plist::Dictionary& settings) {
  const plist::Value* key = settings.get(kKeyInForceKey.toStdString());
  const std::string* text = key ? key->asString() : nullptr;
  Result<PublicKey> inForce = text ? decodePublicKey(QString::fromStdString(*text)) : makeError(QString());
  if (!inForce) return std::nullopt;
  KeyChainState chain;
  chain.keyInForce = *inForce;
  chain.statementNumber = storedNumber(settings, kKeyStatementNumberKey.toStdString()).value_or(0);
  const plist::Value* replaced = settings.get(kReplacedKeysKey.toStdString());
  if (const plist::Array* array = replaced ? replaced->asArray() : nullptr) {
    for (const plist::Value& entry : *array) {
      const std::string* base64 = entry.asString();
      if (Result<PublicKey> old = base64 ? decodePublicKey(QString::fromStdString(*base64)) : makeError(QString())) {
        chain.replacedKeys.push_back(*old);
      }
    }
  }
  return chain;
}

// Where this installation stands: the recorded chain, else the bundle's own key. A bundle whose
// key the chain never had was installed by other means than this updater (by hand, from the
// publisher's site): its key is the one the user chose, and it is in force from now on. A
// bundle that names a replaced key is older than the chain (an install that has not happened
// yet, an old release put back): the chain stays where it is.
KeyChainState startingChain(const std::optional<KeyChainState>& stored, const PublicKey& bundleKey, const QString& domain) {
  if (!stored) return KeyChainState{bundleKey, 0, {}};
  KeyChainState chain = *stored;
  if (!(bundleKey == chain.keyInForce) && !chain.isReplaced(bundleKey)) {
    foundation::NSLog(QStringLiteral("Update: the SUPublicEDKey of %@ (%@) was never in its key chain; it is the key in force from now on"),
                      domain, encodePublicKey(bundleKey));
    chain.keyInForce = bundleKey;
  }
  return chain;
}

plist::Value encodeChainKeys(const std::vector<PublicKey>& keys) {
  plist::Array array;
  for (const PublicKey& key : keys) array.push_back(plist::Value(encodePublicKey(key).toStdString()));
  return plist::Value(std::move(array));
}

}  // namespace

Result<AcceptedFeed> acceptFeed(const BundleInfo& installed, const QString& feedAddress, const QByteArray& document,
                                const QDateTime& now) {
  Result<PublicKey> bundleKey = decodePublicKey(installed.publicEDKey);
  if (!bundleKey) {
    // Nothing can be checked without a key: an unsigned feed is read as it is, and the run
    // offers nothing it cannot verify.
    if (installed.requireSignedFeed) {
      return makeError(QStringLiteral("The update feed must be signed, but no public key (SUPublicEDKey) is set."));
    }
    Result<Appcast> appcast = parseAppcast(document);
    if (!appcast) return appcast.error();
    return AcceptedFeed{std::move(appcast).value(), installed.publicEDKey};
  }

  const QString& domain = installed.identifier;
  auto& defaults = foundation::NSUserDefaults::standardUserDefaults();
  auto read = defaults.persistentDomainForName(domain);
  if (!read) return makeError(QStringLiteral("the settings of %1 cannot be read: %2").arg(domain, read.error()));
  const plist::Dictionary before = read->value_or(plist::Dictionary());
  const std::optional<KeyChainState> stored = storedChain(before);

  FeedTrustInput input;
  input.chain = startingChain(stored, *bundleKey, domain);
  for (const QString& base64 : installed.recoveryPublicKeys) {
    Result<PublicKey> recovery = decodePublicKey(base64);
    if (recovery) {
      input.recoveryKeys.push_back(*recovery);
    } else {
      foundation::NSLog(QStringLiteral("Update: a recovery key of %@ is ignored: %@"), domain, recovery.error().message);
    }
  }
  input.lastSerial = storedSerial(before, feedAddress);
  input.requireSignedFeed = installed.requireSignedFeed;
  input.now = now;

  Result<TrustedFeed> trusted = checkFeedAgainstKeyChain(document, input);
  if (!trusted) return trusted.error();
  for (const QString& line : trusted->log) foundation::NSLog(QStringLiteral("Update: %@"), line);

  const bool chainMoved = !stored || !(trusted->chain == *stored);
  const bool chainWorthRecording = stored ? chainMoved : !(trusted->chain == KeyChainState{*bundleKey, 0, {}});
  const bool serialMoved = installed.requireSignedFeed && trusted->serial > input.lastSerial;
  if (chainWorthRecording || serialMoved) {
    // Re-read just before writing: another agent of this installation may have moved on since.
    auto again = defaults.persistentDomainForName(domain);
    if (!again) return makeError(QStringLiteral("the settings of %1 cannot be read: %2").arg(domain, again.error()));
    plist::Dictionary settings = again->value_or(plist::Dictionary());
    const std::optional<KeyChainState> latest = storedChain(settings);
    if (latest && latest->statementNumber > trusted->chain.statementNumber) {
      return makeError(QStringLiteral("the key chain of %1 moved on to statement %2 during this check")
                           .arg(domain)
                           .arg(quint64(latest->statementNumber)));
    }
    if (const std::uint64_t seen = storedSerial(settings, feedAddress); installed.requireSignedFeed && trusted->serial < seen) {
      return makeError(QStringLiteral("The update feed (serial %1) is older than a feed already seen (serial %2).")
                           .arg(quint64(trusted->serial))
                           .arg(quint64(seen)));
    }
    if (chainWorthRecording) {
      settings.set(kKeyInForceKey.toStdString(), plist::Value(encodePublicKey(trusted->chain.keyInForce).toStdString()));
      settings.set(kKeyStatementNumberKey.toStdString(), plist::Value(static_cast<std::int64_t>(trusted->chain.statementNumber)));
      settings.set(kReplacedKeysKey.toStdString(), encodeChainKeys(trusted->chain.replacedKeys));
    }
    if (serialMoved) {
      const plist::Value* existing = settings.get(kFeedSerialsKey.toStdString());
      plist::Dictionary serials = existing && existing->asDictionary() ? *existing->asDictionary() : plist::Dictionary();
      serials.set(feedAddress.toStdString(), plist::Value(static_cast<std::int64_t>(trusted->serial)));
      settings.set(kFeedSerialsKey.toStdString(), plist::Value(std::move(serials)));
    }
    if (auto saved = defaults.setPersistentDomainForName(settings, domain); !saved) {
      return makeError(QStringLiteral("the key chain and serial of the update feed cannot be recorded in the settings of %1: %2")
                           .arg(domain, saved.error()));
    }
  }
  return AcceptedFeed{std::move(trusted->appcast), encodePublicKey(trusted->chain.keyInForce)};
}

Status checkNewBundleAgainstKeyInForce(const QString& newBundlePath, const QString& keyInForce) {
  Result<BundleInfo> info = readBundleInfo(newBundlePath);
  if (!info) return info.error();
  Result<PublicKey> key = decodePublicKey(keyInForce);
  if (!key) return key.error();
  return checkNewBundleKey(info->publicEDKey, *key);
}

}  // namespace updater
