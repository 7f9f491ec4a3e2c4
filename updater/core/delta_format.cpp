#include "updater/core/delta_format.h"

#include "updater/core/archive_walker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sodium.h>
#include <zstd.h>

#include <cmath>
#include <cstring>
#include <set>

namespace updater {
namespace {

constexpr int kFormatVersion = 1;
constexpr int kManifestCompressionLevel = 19;

Error malformed(const QString& why) { return makeError(QStringLiteral("The delta is malformed: %1.").arg(why)); }

QString show(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// A JSON number that is a whole number in [0, max]; JSON numbers are doubles, exact up to 2^53.
bool wholeNumber(const QJsonValue& value, std::int64_t max, std::int64_t& out) {
  if (!value.isDouble()) return false;
  const double d = value.toDouble();
  if (!(d >= 0) || d > static_cast<double>(max) || std::floor(d) != d) return false;
  out = static_cast<std::int64_t>(d);
  return true;
}

bool parseHash(const QJsonValue& value, Sha256& out) {
  const QByteArray hex = value.toString().toLatin1();
  if (hex.size() != 64) return false;
  for (char c : hex) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  const QByteArray bytes = QByteArray::fromHex(hex);
  std::memcpy(out.data(), bytes.constData(), out.size());
  return true;
}

Result<DeltaBundleVersion> parseVersion(const QJsonValue& value, const char* which) {
  const QJsonObject object = value.toObject();
  DeltaBundleVersion version{object.value(QStringLiteral("identifier")).toString(), object.value(QStringLiteral("version")).toString()};
  if (version.identifier.isEmpty() || version.version.isEmpty()) {
    return malformed(QStringLiteral("it does not name the \"%1\" bundle's identifier and version").arg(QString::fromLatin1(which)));
  }
  return version;
}

// A path relative to the bundle, checked as archive entries are, in its normal form.
Result<std::string> parsePath(const QJsonValue& value, const ExtractionLimits& limits) {
  if (!value.isString()) return malformed(QStringLiteral("an entry has no path"));
  const std::string raw = value.toString().toStdString();
  Result<EntryPath> path = checkedEntryPath(raw.c_str(), limits);
  if (!path) return malformed(path.error().message);
  if (path->empty()) return malformed(QStringLiteral("an entry names the bundle itself"));
  std::string normal;
  for (const std::string& part : *path) normal += (normal.empty() ? "" : "/") + part;
  return normal;
}

class ManifestReader {
 public:
  ManifestReader(const ExtractionLimits& limits, std::int64_t dataSize) : limits_(limits), dataSize_(dataSize) {}

  Result<DeltaManifest> read(const QJsonObject& root) {
    DeltaManifest manifest;
    if (root.value(QStringLiteral("format")).toInt(-1) != kFormatVersion) {
      return malformed(QStringLiteral("it is not of format %1").arg(kFormatVersion));
    }
    Result<DeltaBundleVersion> from = parseVersion(root.value(QStringLiteral("from")), "from");
    if (!from) return from.error();
    Result<DeltaBundleVersion> to = parseVersion(root.value(QStringLiteral("to")), "to");
    if (!to) return to.error();
    manifest.from = *from;
    manifest.to = *to;

    const std::string bundle = root.value(QStringLiteral("bundle")).toString().toStdString();
    Result<EntryPath> bundlePath = checkedEntryPath(bundle.c_str(), limits_);
    if (!bundlePath || bundlePath->size() != 1) return malformed(QStringLiteral("it does not name its bundle folder"));
    manifest.bundleName = bundlePath->front();

    const QJsonArray sources = root.value(QStringLiteral("sources")).toArray();
    const QJsonArray entries = root.value(QStringLiteral("entries")).toArray();
    if (entries.size() > limits_.maxEntries || sources.size() > limits_.maxEntries) {
      return malformed(QStringLiteral("it has more than %1 entries").arg(limits_.maxEntries));
    }
    for (const QJsonValue& value : sources) {
      Result<DeltaSource> source = readSource(value.toObject());
      if (!source) return source.error();
      manifest.sources.push_back(std::move(source).value());
    }
    for (const QJsonValue& value : entries) {
      Result<DeltaEntry> entry = readEntry(value.toObject());
      if (!entry) return entry.error();
      manifest.entries.push_back(std::move(entry).value());
    }
    return manifest;
  }

 private:
  Result<DeltaSource> readSource(const QJsonObject& object) {
    DeltaSource source;
    Result<std::string> path = parsePath(object.value(QStringLiteral("path")), limits_);
    if (!path) return path.error();
    source.path = *path;
    if (!parseHash(object.value(QStringLiteral("sha256")), source.sha256)) {
      return malformed(QStringLiteral("the source \"%1\" has no SHA-256").arg(show(source.path)));
    }
    if (!sourcePaths_.insert(source.path).second) return malformed(QStringLiteral("the source \"%1\" appears twice").arg(show(source.path)));
    return source;
  }

  Result<DeltaEntry> readEntry(const QJsonObject& object) {
    DeltaEntry entry;
    Result<std::string> path = parsePath(object.value(QStringLiteral("path")), limits_);
    if (!path) return path.error();
    entry.path = *path;
    const QString shown = show(entry.path);
    std::int64_t mode = 0;
    if (!wholeNumber(object.value(QStringLiteral("mode")), 07777, mode)) return malformed(QStringLiteral("\"%1\" has no valid mode").arg(shown));
    entry.mode = static_cast<unsigned>(mode);

    const QString kind = object.value(QStringLiteral("kind")).toString();
    if (kind == u"directory") {
      entry.kind = DeltaEntry::Kind::Directory;
      return entry;
    }
    if (kind == u"link") {
      entry.kind = DeltaEntry::Kind::Link;
      entry.target = object.value(QStringLiteral("target")).toString().toStdString();
      if (entry.target.empty()) return malformed(QStringLiteral("the link \"%1\" has no target").arg(shown));
      return entry;
    }
    if (kind != u"file") return malformed(QStringLiteral("\"%1\" is of an unknown kind").arg(shown));

    entry.kind = DeltaEntry::Kind::File;
    if (!wholeNumber(object.value(QStringLiteral("size")), limits_.maxTotalBytes, entry.size)) {
      return malformed(QStringLiteral("\"%1\" has no valid size").arg(shown));
    }
    totalBytes_ += entry.size;
    if (totalBytes_ > limits_.maxTotalBytes) return malformed(QStringLiteral("it unpacks to more than %1 bytes").arg(limits_.maxTotalBytes));
    if (!parseHash(object.value(QStringLiteral("sha256")), entry.sha256)) return malformed(QStringLiteral("\"%1\" has no SHA-256").arg(shown));

    const QString method = object.value(QStringLiteral("method")).toString();
    if (method == u"unchanged") entry.method = DeltaEntry::Method::Unchanged;
    else if (method == u"new") entry.method = DeltaEntry::Method::New;
    else if (method == u"patch") entry.method = DeltaEntry::Method::Patch;
    else return malformed(QStringLiteral("\"%1\" has an unknown method").arg(shown));

    if (entry.method != DeltaEntry::Method::New && !sourcePaths_.count(entry.path)) {
      return malformed(QStringLiteral("\"%1\" depends on an old file without a SHA-256").arg(shown));
    }
    if (entry.method != DeltaEntry::Method::Unchanged) {
      const QJsonArray data = object.value(QStringLiteral("data")).toArray();
      if (data.size() != 2 || !wholeNumber(data[0], dataSize_, entry.dataOffset) ||
          !wholeNumber(data[1], dataSize_ - entry.dataOffset, entry.dataLength)) {
        return malformed(QStringLiteral("the data of \"%1\" lies outside the delta").arg(shown));
      }
    }
    return entry;
  }

  const ExtractionLimits& limits_;
  const std::int64_t dataSize_;
  std::int64_t totalBytes_ = 0;
  std::set<std::string> sourcePaths_;
};

const char* kindName(DeltaEntry::Kind kind) {
  switch (kind) {
    case DeltaEntry::Kind::Directory: return "directory";
    case DeltaEntry::Kind::Link: return "link";
    case DeltaEntry::Kind::File: break;
  }
  return "file";
}

const char* methodName(DeltaEntry::Method method) {
  switch (method) {
    case DeltaEntry::Method::Unchanged: return "unchanged";
    case DeltaEntry::Method::Patch: return "patch";
    case DeltaEntry::Method::New: break;
  }
  return "new";
}

QJsonObject versionObject(const DeltaBundleVersion& version) {
  return QJsonObject{{QStringLiteral("identifier"), version.identifier}, {QStringLiteral("version"), version.version}};
}

QString hexString(const Sha256& hash) { return QString::fromStdString(toHex(hash)); }

}  // namespace

Sha256 sha256Of(const void* data, std::size_t size) {
  Sha256 hash{};
  crypto_hash_sha256(hash.data(), static_cast<const unsigned char*>(data), size);
  return hash;
}

std::string toHex(const Sha256& hash) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t byte : hash) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

Result<ParsedDelta> readDelta(const std::uint8_t* bytes, std::size_t size, const ExtractionLimits& limits) {
  if (size < kDeltaHeaderBytes || std::memcmp(bytes, kDeltaMagic, 8) != 0) {
    return makeError(QStringLiteral("The delta is malformed: it is not a delta file."));
  }
  std::uint64_t manifestLength = 0;
  for (int i = 7; i >= 0; --i) manifestLength = (manifestLength << 8) | bytes[8 + i];
  if (manifestLength > static_cast<std::uint64_t>(kMaxDeltaManifestBytes) || manifestLength > size - kDeltaHeaderBytes) {
    return malformed(QStringLiteral("its manifest is too large or cut short"));
  }
  // The manifest is one zstd frame: its hashes repeat (an unchanged file's is also its source's)
  // and its paths share long prefixes. Decoded only up to the manifest limit, announced up front.
  const std::uint8_t* frame = bytes + kDeltaHeaderBytes;
  const unsigned long long jsonSize = ZSTD_getFrameContentSize(frame, static_cast<std::size_t>(manifestLength));
  if (jsonSize == ZSTD_CONTENTSIZE_ERROR || jsonSize == ZSTD_CONTENTSIZE_UNKNOWN ||
      jsonSize > static_cast<unsigned long long>(kMaxDeltaManifestBytes)) {
    return malformed(QStringLiteral("its manifest is not a compressed manifest of at most %1 bytes").arg(kMaxDeltaManifestBytes));
  }
  QByteArray json(static_cast<qsizetype>(jsonSize), Qt::Uninitialized);
  const std::size_t decoded = ZSTD_decompress(json.data(), static_cast<std::size_t>(json.size()), frame, static_cast<std::size_t>(manifestLength));
  if (ZSTD_isError(decoded) || decoded != static_cast<std::size_t>(json.size())) {
    return malformed(QStringLiteral("its manifest does not decode"));
  }
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(json, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) {
    return malformed(QStringLiteral("its manifest is not a JSON object (%1)").arg(error.errorString()));
  }
  ParsedDelta parsed;
  parsed.data = bytes + kDeltaHeaderBytes + manifestLength;
  parsed.dataSize = static_cast<std::int64_t>(size - kDeltaHeaderBytes - manifestLength);
  Result<DeltaManifest> manifest = ManifestReader(limits, parsed.dataSize).read(document.object());
  if (!manifest) return manifest.error();
  parsed.manifest = std::move(manifest).value();
  return parsed;
}

QByteArray writeDelta(const DeltaManifest& manifest, const QByteArray& data) {
  QJsonArray sources;
  for (const DeltaSource& source : manifest.sources) {
    sources.append(QJsonObject{{QStringLiteral("path"), show(source.path)}, {QStringLiteral("sha256"), hexString(source.sha256)}});
  }
  QJsonArray entries;
  for (const DeltaEntry& entry : manifest.entries) {
    QJsonObject object{{QStringLiteral("path"), show(entry.path)},
                       {QStringLiteral("kind"), QString::fromLatin1(kindName(entry.kind))},
                       {QStringLiteral("mode"), static_cast<int>(entry.mode)}};
    if (entry.kind == DeltaEntry::Kind::Link) object.insert(QStringLiteral("target"), show(entry.target));
    if (entry.kind == DeltaEntry::Kind::File) {
      object.insert(QStringLiteral("size"), static_cast<double>(entry.size));
      object.insert(QStringLiteral("sha256"), hexString(entry.sha256));
      object.insert(QStringLiteral("method"), QString::fromLatin1(methodName(entry.method)));
      if (entry.method != DeltaEntry::Method::Unchanged) {
        object.insert(QStringLiteral("data"), QJsonArray{static_cast<double>(entry.dataOffset), static_cast<double>(entry.dataLength)});
      }
    }
    entries.append(object);
  }
  const QJsonObject root{{QStringLiteral("format"), kFormatVersion},
                         {QStringLiteral("from"), versionObject(manifest.from)},
                         {QStringLiteral("to"), versionObject(manifest.to)},
                         {QStringLiteral("bundle"), show(manifest.bundleName)},
                         {QStringLiteral("sources"), sources},
                         {QStringLiteral("entries"), entries}};
  const QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Compact);
  QByteArray manifestFrame(static_cast<qsizetype>(ZSTD_compressBound(static_cast<std::size_t>(json.size()))), Qt::Uninitialized);
  const std::size_t made = ZSTD_compress(manifestFrame.data(), static_cast<std::size_t>(manifestFrame.size()), json.constData(),
                                         static_cast<std::size_t>(json.size()), kManifestCompressionLevel);
  manifestFrame.truncate(ZSTD_isError(made) ? 0 : static_cast<qsizetype>(made));  // only out of memory; the reader refuses it
  QByteArray out(kDeltaMagic, 8);
  std::uint64_t length = static_cast<std::uint64_t>(manifestFrame.size());
  for (int i = 0; i < 8; ++i) out.append(static_cast<char>((length >> (8 * i)) & 0xff));
  return out + manifestFrame + data;
}

}  // namespace updater
