#include "tools/update-publisher/feed_editor.h"

#include "updater/core/appcast.h"
#include "updater/core/signed_feed.h"
#include "updater/core/version_comparison.h"

#include <QLocale>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include <algorithm>
#include <optional>
#include <vector>

namespace publisher {
namespace {

using updater::Error;
using updater::makeError;
using updater::Result;

const QString kAppcastNs = QString::fromLatin1(updater::kAppcastNamespace);
const QString kSignedFeedNs = QString::fromLatin1(updater::kSignedFeedNamespace);
const QString kSignedFeedPrefix = QStringLiteral("qf");

struct Range {
  qsizetype start = 0;
  qsizetype end = 0;
};

// Where things are in the feed's text (offsets in UTF-16 units of the decoded text).
struct FeedMap {
  qsizetype rootTagClose = -1;        // the '>' (or "/>") ending the <rss ...> start tag
  QString sparklePrefixUri;           // what "sparkle" is bound to on the root, if anything
  QString signedFeedPrefix;           // a prefix the root binds to our namespace, if any
  bool qfPrefixTaken = false;         // "qf" is bound to something else on the root
  qsizetype channelTagEnd = -1;       // just after the <channel> start tag
  qsizetype channelCloseStart = -1;   // the '<' of </channel>
  Range expiryText{-1, -1};           // the text inside the expiry element
  Range serialText{-1, -1};           // the text inside the serial element
  qsizetype lastStatementEnd = -1;    // just after the last key statement
  struct Item {
    Range range;
    QString version;
    std::vector<std::pair<QString, QString>> platformEnclosures;  // (platform served, the element's text)
  };
  std::vector<Item> items;
};

// The '<' that opens the tag ending at offset.
qsizetype tagStart(const QString& text, qsizetype tagEnd) { return text.lastIndexOf(u'<', tagEnd - 1); }

Result<FeedMap> mapFeed(const QString& text) {
  FeedMap map;
  QXmlStreamReader xml(text);
  int depth = 0;
  bool inChannel = false;
  std::optional<FeedMap::Item> item;
  QString elementVersion;
  QString attributeVersion;
  QString otherPlatformVersion;  // as the reader takes it: only without an enclosure of ours
  bool hasOurEnclosure = false;
  bool namesOurs = false;
  std::optional<std::pair<QString, qsizetype>> platformEnclosure;  // the platform it serves, its start
  while (!xml.atEnd()) {
    const QXmlStreamReader::TokenType token = xml.readNext();
    if (token == QXmlStreamReader::StartElement) {
      ++depth;
      const qsizetype end = xml.characterOffset();
      if (depth == 1) {
        map.rootTagClose = text[end - 2] == u'/' ? end - 2 : end - 1;
        for (const QXmlStreamNamespaceDeclaration& ns : xml.namespaceDeclarations()) {
          if (ns.prefix() == u"sparkle") map.sparklePrefixUri = ns.namespaceUri().toString();
          if (ns.namespaceUri() == kSignedFeedNs && map.signedFeedPrefix.isEmpty()) map.signedFeedPrefix = ns.prefix().toString();
          if (ns.prefix() == kSignedFeedPrefix && ns.namespaceUri() != kSignedFeedNs) map.qfPrefixTaken = true;
        }
      } else if (depth == 2 && xml.name() == u"channel" && xml.namespaceUri().isEmpty() && map.channelTagEnd < 0) {
        inChannel = true;
        map.channelTagEnd = end;
      } else if (inChannel && depth == 3 && xml.name() == u"item" && xml.namespaceUri().isEmpty()) {
        item = FeedMap::Item{{tagStart(text, end), -1}, {}, {}};
        elementVersion.clear();
        attributeVersion.clear();
        otherPlatformVersion.clear();
        hasOurEnclosure = false;
        namesOurs = false;
      } else if (inChannel && depth == 3 && xml.name() == u"expires" && xml.namespaceUri() == kSignedFeedNs) {
        map.expiryText.start = end;
      } else if (inChannel && depth == 3 && xml.name() == u"serial" && xml.namespaceUri() == kSignedFeedNs) {
        map.serialText.start = end;
      } else if (item && depth == 4 && xml.name() == u"version" && xml.namespaceUri() == kAppcastNs) {
        elementVersion = xml.readElementText().trimmed();
        --depth;
      } else if (item && depth == 4 && xml.name() == u"enclosure" && xml.namespaceUri().isEmpty()) {
        const QString os = xml.attributes().value(kAppcastNs, QStringLiteral("os")).trimmed().toString().toLower();
        const QString version = xml.attributes().value(kAppcastNs, QStringLiteral("version")).trimmed().toString();
        const bool ours = os.isEmpty() || os == QLatin1String(updater::kOurOperatingSystem);
        // The enclosure the reader takes: one naming our platform, else the first naming none.
        if (ours && !namesOurs && (!hasOurEnclosure || !os.isEmpty())) {
          attributeVersion = version;
          hasOurEnclosure = true;
          namesOurs = !os.isEmpty();
        } else if (!ours && otherPlatformVersion.isEmpty()) {
          otherPlatformVersion = version;
        }
        platformEnclosure = std::pair{os.isEmpty() ? QString::fromLatin1(updater::kOurOperatingSystem) : os, tagStart(text, end)};
      }
    } else if (token == QXmlStreamReader::EndElement) {
      const qsizetype end = xml.characterOffset();
      if (item && depth == 4 && platformEnclosure) {
        item->platformEnclosures.emplace_back(platformEnclosure->first, text.mid(platformEnclosure->second, end - platformEnclosure->second));
        platformEnclosure.reset();
      }
      if (inChannel && depth == 3 && item && xml.name() == u"item") {
        item->range.end = end;
        item->version = !elementVersion.isEmpty() ? elementVersion : hasOurEnclosure ? attributeVersion : otherPlatformVersion;
        map.items.push_back(*item);
        item.reset();
      } else if (inChannel && depth == 3 && map.expiryText.start >= 0 && map.expiryText.end < 0 && xml.name() == u"expires") {
        map.expiryText.end = tagStart(text, end);
      } else if (inChannel && depth == 3 && map.serialText.start >= 0 && map.serialText.end < 0 && xml.name() == u"serial") {
        map.serialText.end = tagStart(text, end);
      } else if (inChannel && depth == 3 && xml.name() == u"key-statement" && xml.namespaceUri() == kSignedFeedNs) {
        map.lastStatementEnd = end;
      } else if (inChannel && depth == 2) {
        map.channelCloseStart = tagStart(text, end);
        inChannel = false;
      }
      --depth;
    }
  }
  if (xml.hasError()) return makeError(QStringLiteral("The feed cannot be edited: %1").arg(xml.errorString()));
  if (map.channelTagEnd < 0 || map.channelCloseStart < 0) return makeError(QStringLiteral("The feed has no <channel>."));
  return map;
}

// The feed's text without any signature comment, checked to be a feed the updater reads.
Result<QString> editableText(const QByteArray& feed) {
  Result<updater::SignedFeedParts> parts = updater::splitSignedFeed(feed);
  const QByteArray body = parts ? parts->signedBytes : feed;
  if (Result<updater::Appcast> parsed = updater::parseAppcast(body); !parsed) return parsed.error();
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString text = decoder.decode(body);
  if (decoder.hasError()) return makeError(QStringLiteral("The feed is not UTF-8 text; it cannot be edited."));
  return text;
}

// The white space that starts the line holding offset, when only white space precedes it there.
QString indentationAt(const QString& text, qsizetype offset) {
  const qsizetype lineStart = text.lastIndexOf(u'\n', offset - 1) + 1;
  const QString before = text.mid(lineStart, offset - lineStart);
  return before.trimmed().isEmpty() ? before : QString();
}

// Removes [start, end) and, when the range sits alone on its line(s), that line's indentation and
// line break too.
void removeRange(QString& text, qsizetype start, qsizetype end) {
  const qsizetype lineStart = text.lastIndexOf(u'\n', start - 1);
  const bool aloneBefore = lineStart >= 0 && text.mid(lineStart + 1, start - lineStart - 1).trimmed().isEmpty();
  if (aloneBefore) start = lineStart;
  text.remove(start, end - start);
}

QString escaped(const QString& s) { return s.toHtmlEscaped(); }

// Channel, rollout, announcement and major-upgrade elements, each only when set.
template <typename Line>
void releaseManagementLines(const FeedItem& item, Line& line) {
  auto element = [&](const char* name, const QString& value) {
    if (!value.isEmpty()) line(QStringLiteral("<sparkle:%1>%2</sparkle:%1>").arg(QLatin1String(name), escaped(value)));
  };
  element("channel", item.channel);
  element("phasedRolloutInterval", item.phasedRolloutInterval);
  element("minimumAutoupdateVersion", item.minimumAutoupdateVersion);
  if (item.informational && item.informationalBelowVersion.isEmpty()) {
    line(QStringLiteral("<sparkle:informationalUpdate/>"));
  } else if (item.informational) {
    line(QStringLiteral("<sparkle:informationalUpdate><sparkle:belowVersion>%1</sparkle:belowVersion></sparkle:informationalUpdate>")
             .arg(escaped(item.informationalBelowVersion)));
  }
}

// The enclosures of a replaced item that serve another platform than the new one (an enclosure
// without sparkle:os serves ours).
QStringList keptEnclosures(const FeedMap::Item& replaced, const FeedItem& item) {
  QString newOs = item.operatingSystem.trimmed().toLower();
  if (newOs.isEmpty()) newOs = QString::fromLatin1(updater::kOurOperatingSystem);
  QStringList kept;
  for (const auto& [os, element] : replaced.platformEnclosures) {
    if (os != newOs) kept << element;
  }
  return kept;
}

QString itemText(const FeedItem& item, const QString& indent, const QStringList& otherEnclosures = {}) {
  const QString inner = indent + QStringLiteral("  ");
  QString out = QStringLiteral("<item>\n");
  auto line = [&](const QString& content) { out += inner + content + u'\n'; };
  line(QStringLiteral("<title>%1</title>").arg(escaped(item.title)));
  if (item.pubDate.isValid()) {
    line(QStringLiteral("<pubDate>%1</pubDate>").arg(QLocale::c().toString(item.pubDate.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss +0000"))));
  }
  line(QStringLiteral("<sparkle:version>%1</sparkle:version>").arg(escaped(item.version)));
  if (!item.shortVersion.isEmpty()) line(QStringLiteral("<sparkle:shortVersionString>%1</sparkle:shortVersionString>").arg(escaped(item.shortVersion)));
  if (!item.releaseNotesLink.isEmpty()) line(QStringLiteral("<sparkle:releaseNotesLink>%1</sparkle:releaseNotesLink>").arg(escaped(item.releaseNotesLink)));
  if (!item.description.isEmpty()) line(QStringLiteral("<description>%1</description>").arg(escaped(item.description)));
  if (!item.link.isEmpty()) line(QStringLiteral("<link>%1</link>").arg(escaped(item.link)));
  if (!item.criticalBelowVersion.isEmpty()) {
    line(QStringLiteral("<sparkle:criticalUpdate sparkle:version=\"%1\"/>").arg(escaped(item.criticalBelowVersion)));
  } else if (item.critical) {
    line(QStringLiteral("<sparkle:criticalUpdate/>"));
  }
  releaseManagementLines(item, line);
  if (!item.url.isEmpty()) {
    QString enclosure = QStringLiteral("<enclosure url=\"%1\" length=\"%2\" type=\"application/octet-stream\"").arg(escaped(item.url)).arg(item.length);
    if (!item.edSignature.isEmpty()) enclosure += QStringLiteral(" sparkle:edSignature=\"%1\"").arg(escaped(item.edSignature));
    if (!item.operatingSystem.isEmpty()) enclosure += QStringLiteral(" sparkle:os=\"%1\"").arg(escaped(item.operatingSystem));
    line(enclosure + QStringLiteral("/>"));
  }
  for (const QString& element : otherEnclosures) line(element);
  if (!item.deltas.empty()) {
    line(QStringLiteral("<sparkle:deltas>"));
    for (const FeedDelta& delta : item.deltas) {
      QString deltaEnclosure = QStringLiteral("  <enclosure url=\"%1\" sparkle:deltaFrom=\"%2\" length=\"%3\" type=\"application/octet-stream\"")
                                   .arg(escaped(delta.url), escaped(delta.deltaFrom))
                                   .arg(delta.length);
      if (!delta.edSignature.isEmpty()) deltaEnclosure += QStringLiteral(" sparkle:edSignature=\"%1\"").arg(escaped(delta.edSignature));
      line(deltaEnclosure + QStringLiteral("/>"));
    }
    line(QStringLiteral("</sparkle:deltas>"));
  }
  out += indent + QStringLiteral("</item>");
  return out;
}

}  // namespace

QByteArray newFeed(const QString& channelTitle) {
  return QStringLiteral(
             "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
             "<rss version=\"2.0\" xmlns:sparkle=\"%1\">\n"
             "  <channel>\n"
             "    <title>%2</title>\n"
             "  </channel>\n"
             "</rss>\n")
      .arg(kAppcastNs, escaped(channelTitle))
      .toUtf8();
}

Result<QByteArray> upsertFeedItem(const QByteArray& feed, const FeedItem& item) {
  Result<QString> text = editableText(feed);
  if (!text) return text.error();
  Result<FeedMap> map = mapFeed(*text);
  if (!map) return map.error();
  if (!map->sparklePrefixUri.isEmpty() && map->sparklePrefixUri != kAppcastNs) {
    return makeError(QStringLiteral("The feed binds the prefix \"sparkle\" to %1, not to %2.").arg(map->sparklePrefixUri, kAppcastNs));
  }

  // An item of the same version is replaced where it stands (further ones are dropped); a new
  // version goes first, newest first, or alone before </channel>.
  QString out = *text;
  std::vector<const FeedMap::Item*> sameVersion;
  for (const FeedMap::Item& existing : map->items) {
    if (updater::compareVersions(existing.version, item.version) == 0) sameVersion.push_back(&existing);
  }
  // Edit from the end backwards so that earlier offsets stay valid.
  if (!sameVersion.empty()) {
    for (auto r = sameVersion.rbegin(); r != sameVersion.rend(); ++r) {
      const Range range = (*r)->range;
      if (r + 1 == sameVersion.rend()) {
        out.replace(range.start, range.end - range.start, itemText(item, indentationAt(out, range.start), keptEnclosures(**r, item)));
      } else {
        removeRange(out, range.start, range.end);
      }
    }
  } else if (!map->items.empty()) {
    const qsizetype at = map->items.front().range.start;
    const QString indent = indentationAt(out, at);
    out.insert(at, itemText(item, indent) + u'\n' + indent);
  } else {
    // Before </channel>: the item gets a line of its own, </channel> keeps its indentation.
    const qsizetype at = map->channelCloseStart;
    const QString closeIndent = indentationAt(out, at);
    out.insert(at, QStringLiteral("  ") + itemText(item, closeIndent + QStringLiteral("  ")) + u'\n' + closeIndent);
  }
  if (map->sparklePrefixUri.isEmpty()) {
    out.insert(map->rootTagClose, QStringLiteral(" xmlns:sparkle=\"%1\"").arg(kAppcastNs));
  }
  return out.toUtf8();
}

namespace {

// The prefix bound to our namespace on the root, and whether it still has to be declared.
Result<std::pair<QString, bool>> signedFeedPrefix(const FeedMap& map) {
  if (!map.signedFeedPrefix.isEmpty()) return std::pair{map.signedFeedPrefix, false};
  if (map.qfPrefixTaken) return makeError(QStringLiteral("The feed binds the prefix \"%1\" to another namespace.").arg(kSignedFeedPrefix));
  return std::pair{kSignedFeedPrefix, true};
}

// Sets the text of a channel element of our namespace (at `range` when the feed has it),
// else inserts the element as the channel's first child.
Result<QByteArray> setChannelValue(const QByteArray& feed, const QString& name, Range FeedMap::*range, const QString& value) {
  Result<QString> text = editableText(feed);
  if (!text) return text.error();
  Result<FeedMap> map = mapFeed(*text);
  if (!map) return map.error();
  QString out = *text;
  const Range existing = (*map).*range;
  if (existing.start >= 0 && existing.end >= existing.start) {
    out.replace(existing.start, existing.end - existing.start, value);
    return out.toUtf8();
  }
  Result<std::pair<QString, bool>> prefix = signedFeedPrefix(*map);
  if (!prefix) return prefix.error();
  const QString indent = indentationAt(out, map->channelCloseStart) + QStringLiteral("  ");
  out.insert(map->channelTagEnd, u'\n' + indent + QStringLiteral("<%1:%2>%3</%1:%2>").arg(prefix->first, name, value));
  if (prefix->second) out.insert(map->rootTagClose, QStringLiteral(" xmlns:%1=\"%2\"").arg(prefix->first, kSignedFeedNs));
  return out.toUtf8();
}

}  // namespace

Result<QByteArray> setFeedExpiry(const QByteArray& feed, const QDateTime& expiresAt) {
  return setChannelValue(feed, QStringLiteral("expires"), &FeedMap::expiryText, expiresAt.toUTC().toString(Qt::ISODate));
}

Result<QByteArray> setFeedSerial(const QByteArray& feed, std::uint64_t serial) {
  return setChannelValue(feed, QStringLiteral("serial"), &FeedMap::serialText, QString::number(quint64(serial)));
}

Result<QByteArray> addKeyStatement(const QByteArray& feed, const updater::KeyStatement& statement) {
  Result<QString> text = editableText(feed);
  if (!text) return text.error();
  Result<FeedMap> map = mapFeed(*text);
  if (!map) return map.error();
  Result<std::pair<QString, bool>> prefix = signedFeedPrefix(*map);
  if (!prefix) return prefix.error();
  QString out = *text;
  const QString indent = indentationAt(out, map->channelCloseStart) + QStringLiteral("  ");
  // After the statements already there, so that the feed reads in the order they apply.
  const qsizetype at = map->lastStatementEnd >= 0 ? map->lastStatementEnd : map->channelTagEnd;
  out.insert(at, u'\n' + indent + updater::keyStatementElement(statement, prefix->first));
  if (prefix->second) out.insert(map->rootTagClose, QStringLiteral(" xmlns:%1=\"%2\"").arg(prefix->first, kSignedFeedNs));
  return out.toUtf8();
}

}  // namespace publisher
