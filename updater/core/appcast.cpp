#include "updater/core/appcast.h"

#include "updater/core/version_comparison.h"

#include <QXmlStreamReader>

namespace updater {
namespace {

const QString kAppcastNs = QString::fromLatin1(kAppcastNamespace);
const QString kSignedFeedNs = QString::fromLatin1(kSignedFeedNamespace);
const QString kOurOs = QString::fromLatin1(kOurOperatingSystem);

bool isPlain(const QXmlStreamReader& xml, QStringView name) {
  return xml.namespaceUri().isEmpty() && xml.name() == name;
}
bool isAppcast(const QXmlStreamReader& xml, QStringView name) {
  return xml.namespaceUri() == kAppcastNs && xml.name() == name;
}

// Reads the text of the current element; any markup inside it contributes its text only.
QString elementText(QXmlStreamReader& xml) {
  return xml.readElementText(QXmlStreamReader::IncludeChildElements);
}

class FeedReader {
 public:
  explicit FeedReader(const QByteArray& document) : xml_(document) {
    // Entities declared in a DTD are never expanded: any DTD is refused below, and this keeps
    // the reader from expanding more than a trifle should one ever slip through.
    xml_.setEntityExpansionLimit(0);
  }

  Result<Appcast> read() {
    Appcast appcast;
    bool sawChannel = false;
    const bool hasRoot = nextStartElement();
    if (hasRoot && !isPlain(xml_, u"rss")) return failure(QStringLiteral("the root element is not <rss>"));
    while (hasRoot && nextStartElement()) {
      if (isPlain(xml_, u"channel") && !sawChannel) {
        sawChannel = true;
        readChannel(appcast);
      } else {
        skip();
      }
    }
    // Read to the end: what follows the root (a second root, garbage) makes the document invalid.
    while (!refusal_ && !xml_.atEnd()) {
      if (xml_.readNext() == QXmlStreamReader::DTD) refusal_ = failure(QStringLiteral("the document has a DTD"));
    }
    if (refusal_) return *refusal_;
    if (xml_.hasError()) return failure(xml_.errorString());
    if (!hasRoot) return failure(QStringLiteral("the document has no root element"));
    if (!sawChannel) return failure(QStringLiteral("the feed has no <channel>"));
    return appcast;
  }

 private:
  // Advances to the next start element inside the current one; false at its end or on error.
  // A DTD anywhere ends the reading: documents that declare entities are refused outright.
  bool nextStartElement() {
    while (!refusal_ && !xml_.atEnd()) {
      switch (xml_.readNext()) {
        case QXmlStreamReader::StartElement: return true;
        case QXmlStreamReader::EndElement: return false;
        case QXmlStreamReader::DTD:
          refusal_ = failure(QStringLiteral("the document has a DTD; feeds may not declare entities"));
          return false;
        case QXmlStreamReader::EntityReference:
          refusal_ = failure(QStringLiteral("the document refers to an undeclared entity"));
          return false;
        default: break;
      }
    }
    return false;
  }

  void skip() { xml_.skipCurrentElement(); }

  void readChannel(Appcast& appcast) {
    while (nextStartElement()) {
      if (isPlain(xml_, u"title")) {
        appcast.title = elementText(xml_).trimmed();
      } else if (isPlain(xml_, u"item")) {
        appcast.items.push_back(readItem());
      } else if (xml_.namespaceUri() == kSignedFeedNs && xml_.name() == u"expires") {
        readExpiry(appcast);
      } else {
        skip();
      }
    }
  }

  void readExpiry(Appcast& appcast) {
    const QString text = elementText(xml_).trimmed();
    const QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
    // Only an explicit zone ("Z" or an offset) means the same instant to every reader of the feed;
    // without one Qt reads local time.
    if (!when.isValid() || when.timeSpec() == Qt::LocalTime) {
      refusal_ = failure(QStringLiteral("the feed's expiry \"%1\" is not an ISO 8601 date and time with a zone").arg(text));
      return;
    }
    appcast.expiresAt = when.toUTC();
  }

  AppcastItem readItem() {
    AppcastItem item;
    QString elementVersion;
    QString elementShortVersion;
    QString attributeVersion;
    QString attributeShortVersion;
    bool chosenExplicitly = false;  // the enclosure taken names our platform
    bool criticalForAll = false;
    otherPlatformVersion_.clear();
    while (nextStartElement()) {
      if (isPlain(xml_, u"title")) {
        item.title = elementText(xml_).trimmed();
      } else if (isPlain(xml_, u"description")) {
        item.itemDescription = elementText(xml_);
      } else if (isPlain(xml_, u"pubDate")) {
        item.pubDate = elementText(xml_).trimmed();
      } else if (isPlain(xml_, u"enclosure")) {
        readEnclosure(item, chosenExplicitly, attributeVersion, attributeShortVersion);
      } else if (isAppcast(xml_, u"version")) {
        elementVersion = elementText(xml_).trimmed();
      } else if (isAppcast(xml_, u"shortVersionString")) {
        elementShortVersion = elementText(xml_).trimmed();
      } else if (isAppcast(xml_, u"releaseNotesLink")) {
        item.releaseNotesURL = elementText(xml_).trimmed();
      } else if (isAppcast(xml_, u"deltas")) {
        readDeltas(item);
      } else if (isPlain(xml_, u"link")) {
        item.link = elementText(xml_).trimmed();
      } else if (isAppcast(xml_, u"criticalUpdate")) {
        readCriticalUpdate(item, criticalForAll);
      } else if (isAppcast(xml_, u"tags")) {
        while (nextStartElement()) {
          if (isAppcast(xml_, u"criticalUpdate")) {
            readCriticalUpdate(item, criticalForAll);
          } else {
            skip();
          }
        }
      } else if (isAppcast(xml_, u"channel")) {
        item.channel = elementText(xml_).trimmed();
      } else if (isAppcast(xml_, u"phasedRolloutInterval")) {
        item.phasedRolloutInterval = elementText(xml_).trimmed();
      } else if (isAppcast(xml_, u"minimumAutoupdateVersion")) {
        item.minimumAutoupdateVersion = elementText(xml_).trimmed();
      } else if (isAppcast(xml_, u"informationalUpdate")) {
        item.isInformationalUpdate = true;
        readInformationalUpdate(item);
      } else {
        skip();
      }
    }
    if (criticalForAll) item.criticalBelowVersion.clear();
    item.versionString = !elementVersion.isEmpty() ? elementVersion : attributeVersion;
    if (item.versionString.isEmpty() && !item.hasEnclosure) item.versionString = otherPlatformVersion_;
    item.displayVersionString = !elementShortVersion.isEmpty() ? elementShortVersion : attributeShortVersion;
    if (item.displayVersionString.isEmpty()) item.displayVersionString = item.versionString;
    return item;
  }

  // Takes the enclosure for our platform: one that names it wins over one that names none; one
  // that names another platform is only noted.
  void readEnclosure(AppcastItem& item, bool& chosenExplicitly, QString& version, QString& shortVersion) {
    const QXmlStreamAttributes attributes = xml_.attributes();
    auto attribute = [&](const QString& ns, const char* name) {
      return attributes.value(ns, QLatin1String(name)).trimmed().toString();
    };
    const QString os = attribute(kAppcastNs, "os").toLower();
    const QString url = attribute(QString(), "url");
    const QString lengthText = attribute(QString(), "length");
    const QString signature = attribute(kAppcastNs, "edSignature");
    const QString itsVersion = attribute(kAppcastNs, "version");
    const QString itsShortVersion = attribute(kAppcastNs, "shortVersionString");
    skip();
    if (!os.isEmpty() && os != kOurOs) {
      // The item's version is one for every platform; it names the item in verdicts.
      if (item.otherPlatforms.isEmpty()) otherPlatformVersion_ = itsVersion;
      item.otherPlatforms << os;
      return;
    }
    if (chosenExplicitly || (item.hasEnclosure && os.isEmpty())) return;
    chosenExplicitly = !os.isEmpty();
    item.hasEnclosure = true;
    item.fileURL = url;
    bool ok = false;
    const qint64 length = lengthText.toLongLong(&ok);
    item.contentLength = ok && length >= 0 ? length : -1;
    item.edSignature = signature;
    version = itsVersion;
    shortVersion = itsShortVersion;
  }

  // Several criticalUpdate elements (both spellings in one item, say): the widest one counts, so
  // an element without a version limit makes the item critical for every installation.
  void readCriticalUpdate(AppcastItem& item, bool& criticalForAll) {
    const QString below = xml_.attributes().value(kAppcastNs, QStringLiteral("version")).trimmed().toString();
    skip();
    item.isCriticalUpdate = true;
    if (below.isEmpty()) {
      criticalForAll = true;
    } else if (item.criticalBelowVersion.isEmpty() || compareVersions(below, item.criticalBelowVersion) > 0) {
      item.criticalBelowVersion = below;
    }
  }

  void readDeltas(AppcastItem& item) {
    while (nextStartElement()) {
      if (isPlain(xml_, u"enclosure")) {
        const QXmlStreamAttributes attributes = xml_.attributes();
        AppcastDelta delta;
        delta.deltaFrom = attributes.value(kAppcastNs, QStringLiteral("deltaFrom")).trimmed().toString();
        delta.fileURL = attributes.value(QString(), QStringLiteral("url")).trimmed().toString();
        bool ok = false;
        const qint64 length = attributes.value(QString(), QStringLiteral("length")).trimmed().toLongLong(&ok);
        delta.contentLength = ok && length >= 0 ? length : -1;
        delta.edSignature = attributes.value(kAppcastNs, QStringLiteral("edSignature")).trimmed().toString();
        const QString os = attributes.value(kAppcastNs, QStringLiteral("os")).trimmed().toString().toLower();
        const bool ours = os.isEmpty() || os == kOurOs;
        if (ours && !delta.deltaFrom.isEmpty() && !delta.fileURL.isEmpty()) item.deltas.push_back(std::move(delta));
      }
      skip();
    }
  }

  // Several sparkle:belowVersion elements mean "below any of them": the highest one counts.
  void readInformationalUpdate(AppcastItem& item) {
    while (nextStartElement()) {
      if (isAppcast(xml_, u"version")) {
        const QString version = elementText(xml_).trimmed();
        if (!version.isEmpty()) item.informationalVersions << version;
      } else if (isAppcast(xml_, u"belowVersion")) {
        const QString below = elementText(xml_).trimmed();
        if (!below.isEmpty() && (item.informationalBelowVersion.isEmpty() ||
                                 compareVersions(below, item.informationalBelowVersion) > 0)) {
          item.informationalBelowVersion = below;
        }
      } else {
        skip();
      }
    }
  }

  Error failure(const QString& what) const {
    return makeError(QStringLiteral("The update feed cannot be read (line %1): %2")
                         .arg(xml_.lineNumber())
                         .arg(what));
  }

  QXmlStreamReader xml_;
  std::optional<Error> refusal_;
  QString otherPlatformVersion_;  // of the item being read: its first other platform's enclosure
};

}  // namespace

bool AppcastItem::isInstallable() const {
  return hasEnclosure && !fileURL.isEmpty() && !versionString.isEmpty();
}

const AppcastDelta* AppcastItem::deltaFrom(const QString& installedVersion) const {
  for (const AppcastDelta& delta : deltas) {
    if (delta.deltaFrom == installedVersion) return &delta;
  }
  return nullptr;
}

Result<Appcast> parseAppcast(const QByteArray& document) {
  if (document.size() > kMaxFeedBytes) {
    return makeError(QStringLiteral("The update feed is too large (%1 bytes; at most %2 are accepted).")
                         .arg(document.size())
                         .arg(kMaxFeedBytes));
  }
  return FeedReader(document).read();
}

}  // namespace updater
