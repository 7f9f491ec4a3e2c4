#pragma once
// Assembles binary property lists object by object, so that tests can make any malformed
// variant: wrong references, cycles, bad trailers.

#include <cstdint>
#include <string>
#include <vector>

namespace plisttest {

inline std::string bigEndian(std::uint64_t value, unsigned width) {
  std::string out;
  for (unsigned i = width; i-- > 0;) out += static_cast<char>(i >= 8 ? 0 : (value >> (8 * i)) & 0xFF);
  return out;
}

class BinaryBuilder {
 public:
  // Appends one object's bytes; returns its index.
  std::size_t add(const std::string& bytes) {
    offsets_.push_back(body_.size());
    body_ += bytes;
    return offsets_.size() - 1;
  }
  // Another index for the bytes of object index (well-formed files never do this); returns it.
  std::size_t alias(std::size_t index) {
    offsets_.push_back(offsets_[index]);
    return offsets_.size() - 1;
  }
  // Offset in the file of object index (valid once added).
  std::size_t offsetOf(std::size_t index) const { return offsets_[index]; }

  struct Trailer {
    std::uint64_t top = 0;
    unsigned offsetSize = 0;  // 0: smallest that fits
    unsigned referenceSize = 1;
    static constexpr std::uint64_t kComputed = UINT64_MAX;
    std::uint64_t objectCount = kComputed;  // default: objects added
    std::uint64_t tableOffset = kComputed;  // default: where the table is
  };

  std::string finish(const Trailer& trailer) const {
    std::string file = body_;
    const std::uint64_t table = file.size();
    unsigned offsetSize = trailer.offsetSize;
    if (offsetSize == 0) offsetSize = table <= 0xFF ? 1 : table <= 0xFFFF ? 2 : 4;
    for (std::size_t offset : offsets_) file += bigEndian(offset, offsetSize);
    file += std::string(6, '\0');
    file += static_cast<char>(offsetSize);
    file += static_cast<char>(trailer.referenceSize);
    file += bigEndian(trailer.objectCount == Trailer::kComputed ? offsets_.size() : trailer.objectCount, 8);
    file += bigEndian(trailer.top, 8);
    file += bigEndian(trailer.tableOffset == Trailer::kComputed ? table : trailer.tableOffset, 8);
    return file;
  }
  std::string finish() const { return finish(Trailer{}); }

  // Object encodings, references one byte wide.
  static std::string ascii(const std::string& text) {
    return std::string(1, static_cast<char>(0x50 | text.size())) + text;  // under 15 bytes
  }
  static std::string array(const std::vector<std::uint8_t>& references) {
    return std::string(1, static_cast<char>(0xA0 | references.size())) +
           std::string(references.begin(), references.end());
  }
  static std::string dictionary(const std::vector<std::uint8_t>& keys, const std::vector<std::uint8_t>& values) {
    return std::string(1, static_cast<char>(0xD0 | keys.size())) + std::string(keys.begin(), keys.end()) +
           std::string(values.begin(), values.end());
  }
  static std::string integer8(std::uint8_t value) { return std::string("\x10", 1) + static_cast<char>(value); }

 private:
  std::string body_ = "bplist00";
  std::vector<std::size_t> offsets_;
};

}  // namespace plisttest
