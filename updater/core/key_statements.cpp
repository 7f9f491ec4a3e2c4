#include "updater/core/key_statements.h"

#include "updater/core/appcast.h"

#include <QXmlStreamReader>

namespace updater {
namespace {

const QString kSignedFeedNs = QString::fromLatin1(kSignedFeedNamespace);

std::optional<std::uint64_t> wholeNumber(QStringView text) {
  text = text.trimmed();
  if (text.isEmpty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (QChar c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c.unicode() - u'0');
  }
  if (value > kMaxStatementNumber) return std::nullopt;
  return value;
}

// A statement's attributes, or why it cannot be read.
Result<KeyStatement> readStatement(const QXmlStreamAttributes& attributes) {
  KeyStatement statement;
  const std::optional<std::uint64_t> number = wholeNumber(attributes.value(QStringLiteral("number")));
  if (!number || *number == 0) {
    return makeError(QStringLiteral("a key statement has no number from 1 to %1 (\"%2\")")
                         .arg(kMaxStatementNumber)
                         .arg(attributes.value(QStringLiteral("number")).toString().left(40)));
  }
  statement.number = *number;
  Result<PublicKey> key = decodePublicKey(attributes.value(QStringLiteral("key")).toString());
  if (!key) return makeError(QStringLiteral("key statement %1 names no valid key: %2").arg(*number).arg(key.error().message));
  Result<PublicKey> signer = decodePublicKey(attributes.value(QStringLiteral("signer")).toString());
  if (!signer) return makeError(QStringLiteral("key statement %1 names no valid signer: %2").arg(*number).arg(signer.error().message));
  statement.key = *key;
  statement.signer = *signer;
  statement.signatureBase64 = attributes.value(QStringLiteral("signature")).toString().trimmed();
  if (!decodeSignature(statement.signatureBase64)) return makeError(QStringLiteral("key statement %1 has no valid signature").arg(*number));
  return statement;
}

}  // namespace

Result<FeedTrustElements> readFeedTrustElements(const QByteArray& feed) {
  if (feed.size() > kMaxFeedBytes) return makeError(QStringLiteral("The update feed is larger than %1 bytes.").arg(kMaxFeedBytes));
  QXmlStreamReader xml(feed);
  xml.setEntityExpansionLimit(0);
  FeedTrustElements elements;
  bool serialSeen = false;
  int depth = 0;
  bool inChannel = false;
  while (!xml.atEnd()) {
    const QXmlStreamReader::TokenType token = xml.readNext();
    if (token == QXmlStreamReader::DTD) return makeError(QStringLiteral("The update feed has a DTD."));
    if (token == QXmlStreamReader::EndElement) {
      if (depth == 2) inChannel = false;
      --depth;
      continue;
    }
    if (token != QXmlStreamReader::StartElement) continue;
    ++depth;
    if (depth == 2 && xml.name() == u"channel" && xml.namespaceUri().isEmpty()) inChannel = true;
    if (!inChannel || depth != 3 || xml.namespaceUri() != kSignedFeedNs) continue;
    if (xml.name() == u"serial") {
      const QString text = xml.readElementText();
      --depth;
      if (xml.hasError()) break;
      const std::optional<std::uint64_t> serial = wholeNumber(text);
      if (serialSeen) return makeError(QStringLiteral("The update feed has more than one serial."));
      if (!serial) return makeError(QStringLiteral("The update feed's serial \"%1\" is not a whole number from 0 to %2.").arg(text.left(40)).arg(kMaxStatementNumber));
      serialSeen = true;
      elements.serial = *serial;
    } else if (xml.name() == u"key-statement") {
      Result<KeyStatement> statement = readStatement(xml.attributes());
      if (statement) {
        elements.statements.push_back(*statement);
      } else {
        elements.unreadable << statement.error().message;
      }
    }
  }
  if (xml.hasError()) return makeError(QStringLiteral("The update feed cannot be read: %1").arg(xml.errorString()));
  return elements;
}

QByteArray keyStatementMessage(std::uint64_t number, const PublicKey& key) {
  return QByteArrayLiteral("quillane-key-statement\nnumber=") + QByteArray::number(quint64(number)) + "\nkey=" +
         encodePublicKey(key).toLatin1() + '\n';
}

KeyStatement makeKeyStatement(std::uint64_t number, const PublicKey& key, const KeyPair& signer) {
  return KeyStatement{number, key, signer.publicKey, signBytes(keyStatementMessage(number, key), signer)};
}

QString keyStatementElement(const KeyStatement& statement, const QString& prefix) {
  return QStringLiteral("<%1:key-statement number=\"%2\" key=\"%3\" signer=\"%4\" signature=\"%5\"/>")
      .arg(prefix)
      .arg(quint64(statement.number))
      .arg(encodePublicKey(statement.key), encodePublicKey(statement.signer), statement.signatureBase64);
}

}  // namespace updater
