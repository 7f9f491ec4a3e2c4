// The delta file: what turns one version of a bundle into the next, carrying only what changed.
// docs/update-feeds.md describes the layout; this is its one reader and writer.
//
//   "QLDELTA1"            8 bytes
//   manifest length       8 bytes, little-endian
//   manifest              JSON (UTF-8), as one zstd frame that announces its size
//   data                  the blobs that "new" and "patch" entries name by offset and length
#pragma once

#include "updater/core/archive_extraction.h"
#include "updater/core/result.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace updater {

inline constexpr char kDeltaMagic[] = "QLDELTA1";
inline constexpr std::size_t kDeltaHeaderBytes = 16;
// A manifest (compressed, or decoded) larger than this is refused (about 200 bytes an entry at
// the entry limit).
inline constexpr std::int64_t kMaxDeltaManifestBytes = 16 * 1024 * 1024;

using Sha256 = std::array<std::uint8_t, 32>;

struct DeltaBundleVersion {
  QString identifier;  // CFBundleIdentifier
  QString version;     // CFBundleVersion
};

struct DeltaEntry {
  enum class Kind { Directory, File, Link };
  // How a file's contents are made: taken as they are from the old bundle's file at the same
  // path, carried whole (a zstd frame), or a zstd frame made with that old file as its prefix.
  enum class Method { Unchanged, New, Patch };

  std::string path;  // relative to the bundle ("Contents/Info.plist")
  Kind kind = Kind::File;
  unsigned mode = 0755;
  // Files only:
  Method method = Method::New;
  std::int64_t size = 0;
  Sha256 sha256{};
  std::int64_t dataOffset = 0;  // into the data section; New and Patch only
  std::int64_t dataLength = 0;
  // Links only:
  std::string target;
};

// A file of the old bundle that an Unchanged or Patch entry depends on, and what it must hold.
struct DeltaSource {
  std::string path;  // relative to the bundle
  Sha256 sha256{};
};

struct DeltaManifest {
  DeltaBundleVersion from;
  DeltaBundleVersion to;
  std::string bundleName;  // the new bundle's folder name, e.g. "Quillane.mailbundle"
  std::vector<DeltaSource> sources;
  std::vector<DeltaEntry> entries;  // every entry of the new bundle, parents before children
};

struct ParsedDelta {
  DeltaManifest manifest;
  const std::uint8_t* data = nullptr;  // the data section, inside the bytes given to readDelta
  std::int64_t dataSize = 0;
};

// Reads a delta's header and manifest. Refused, with a reason: a wrong magic, a manifest that is
// too large, not JSON, or of another format version; a path that is absolute, uses "..", or is
// over the limits; an unknown kind or method; a hash that is not 64 hex digits; a blob outside
// the data section; more entries, or more bytes in all, than the limits; an Unchanged or Patch
// entry whose file has no source hash. The result points into `bytes`, which must outlive it.
// Pure; never blocks.
Result<ParsedDelta> readDelta(const std::uint8_t* bytes, std::size_t size, const ExtractionLimits& limits = {});

// The header and manifest, then data. The writer's half of readDelta().
QByteArray writeDelta(const DeltaManifest& manifest, const QByteArray& data);

Sha256 sha256Of(const void* data, std::size_t size);
std::string toHex(const Sha256& hash);

}  // namespace updater
