// Reader of the binary form: "bplist00", objects, an offset table and a 32-byte trailer.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "plist/codec_internal.h"
#include "plist/unicode.h"

namespace plist {

// Big-endian fields are converted with a byte swap.
static_assert(std::endian::native == std::endian::little);

namespace {

using detail::failure;

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view input)
      : bytes_(reinterpret_cast<const unsigned char*>(input.data())), size_(input.size()) {}
  BinaryReader(const BinaryReader&) = delete;
  BinaryReader& operator=(const BinaryReader&) = delete;
  ~BinaryReader() { arena_->release(); }  // the texts read keep it as long as they live

  Result<Value> read() {
    if (size_ < kHeaderSize || std::memcmp(bytes_, "bplist00", kHeaderSize) != 0)
      return failure("missing \"bplist00\" header", 0);
    if (size_ < kHeaderSize + 2 + kTrailerSize)
      return failure("file too short for a binary property list (" + std::to_string(size_) + " bytes)", size_);

    const std::size_t trailer = size_ - kTrailerSize;
    offsetSize_ = bytes_[trailer + 6];
    referenceSize_ = bytes_[trailer + 7];
    objectCount_ = bigEndian(trailer + 8, 8);
    const std::uint64_t topObject = bigEndian(trailer + 16, 8);
    tableOffset_ = bigEndian(trailer + 24, 8);

    if (offsetSize_ < 1 || offsetSize_ > 8)
      return failure("offset size " + std::to_string(offsetSize_) + " in trailer is not 1 to 8 bytes", trailer + 6);
    if (referenceSize_ < 1 || referenceSize_ > 8)
      return failure("object reference size " + std::to_string(referenceSize_) + " in trailer is not 1 to 8 bytes",
                     trailer + 7);
    if (objectCount_ == 0) return failure("trailer declares no objects; the top object must be one", trailer + 8);
    if (tableOffset_ <= kHeaderSize || tableOffset_ >= trailer)
      return failure("offset table position " + std::to_string(tableOffset_) + " is not between the header and the trailer",
                     trailer + 24);
    // Every object takes at least one byte before the table and one entry in it.
    if (objectCount_ > (trailer - tableOffset_) / offsetSize_ || objectCount_ > tableOffset_ - kHeaderSize)
      return failure("trailer's object count " + std::to_string(objectCount_) +
                         " breaks the rule that each object has an offset-table entry and a byte before the table"
                         " (this file has room for " +
                         std::to_string(std::min<std::uint64_t>((trailer - tableOffset_) / offsetSize_,
                                                                tableOffset_ - kHeaderSize)) +
                         ")",
                     trailer + 8);
    if (topObject >= objectCount_)
      return failure("top object " + std::to_string(topObject) + " is not one of the trailer's " +
                         std::to_string(objectCount_) + " objects",
                     trailer + 16);

    keyBytesBudget_ = 64 * std::uint64_t{size_} + (std::uint64_t{1} << 20);
    objectBytesBudget_ = size_;
    findSharedObjects(topObject);
    return readObject(topObject, 0, trailer + 16);
  }

 private:
  enum class State : std::uint8_t { Unread, Reading, Read };
  static constexpr std::uint32_t kUnshared = ~std::uint32_t{0};

  // Only an object that more than one reference leads to is kept once read, so that it is
  // read once and its copies share storage; in most files few are, and keeping every object
  // (a value per object for the whole read) took as much memory as the file. Counts the
  // references that the file's containers hold (the top object counts one), then numbers the
  // objects counted twice or more (slotOf). Any object in a cycle is among them (reached from
  // outside the cycle and from inside), so cycles are still found. A malformed container is
  // skipped here; reading reports it. Two bits per object while counting, one after: a word per
  // object was a tenth of the memory a large domain took to read.
  void findSharedObjects(std::uint64_t topObject) {
    const std::size_t words = static_cast<std::size_t>((objectCount_ + 63) / 64);
    std::vector<std::uint64_t> seen(words, 0);
    shared_.assign(words, 0);
    auto count = [&](std::uint64_t index) {
      const std::uint64_t bit = std::uint64_t{1} << (index & 63);
      std::uint64_t& once = seen[index >> 6];
      if (once & bit) {
        shared_[index >> 6] |= bit;
      } else {
        once |= bit;
      }
    };
    count(topObject);
    for (std::uint64_t index = 0; index < objectCount_; ++index) {
      const std::uint64_t offset = bigEndian(tableOffset_ + index * offsetSize_, offsetSize_);
      if (offset < kHeaderSize || offset >= tableOffset_) continue;
      const unsigned marker = bytes_[offset];
      const unsigned kind = marker >> 4;
      if (kind != 0xA && kind != 0xD) continue;
      std::size_t body = static_cast<std::size_t>(offset) + 1;
      auto entries = lengthOf(marker & 0x0F, body);
      if (!entries) continue;
      const std::uint64_t references = kind == 0xD ? 2 * *entries : *entries;
      const std::uint64_t room = (tableOffset_ - body) / referenceSize_;
      if (*entries > (kind == 0xD ? room / 2 : room) || !fits(body, references * referenceSize_)) continue;
      for (std::uint64_t i = 0; i < references; ++i) {
        const std::uint64_t referenced = bigEndian(body + i * referenceSize_, referenceSize_);
        if (referenced < objectCount_) count(referenced);
      }
    }
    rank_.resize(words);
    std::uint32_t shared = 0;
    for (std::size_t word = 0; word < words; ++word) {
      rank_[word] = shared;
      shared += static_cast<std::uint32_t>(std::popcount(shared_[word]));
    }
    state_.assign(shared, State::Unread);
    cache_.resize(shared);
  }

  // The object's place in cache_ and state_, or kUnshared: its rank among the shared objects.
  std::uint32_t slotOf(std::uint64_t index) const {
    const std::uint64_t word = shared_[index >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (index & 63);
    if (!(word & bit)) return kUnshared;
    return rank_[index >> 6] + static_cast<std::uint32_t>(std::popcount(word & (bit - 1)));
  }

  // Every reference and offset goes through here: the common widths are single loads.
  std::uint64_t bigEndian(std::size_t at, std::size_t width) const {
    switch (width) {
      case 1: return bytes_[at];
      case 2: return __builtin_bswap16(load<std::uint16_t>(at));
      case 4: return __builtin_bswap32(load<std::uint32_t>(at));
      case 8: return __builtin_bswap64(load<std::uint64_t>(at));
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[at + i];
    return value;
  }
  template <typename Word>
  Word load(std::size_t at) const {
    Word word;
    std::memcpy(&word, bytes_ + at, sizeof word);
    return word;
  }

  // Objects lie between the header and the offset table.
  bool fits(std::size_t at, std::uint64_t length) const {
    return at <= tableOffset_ && length <= tableOffset_ - at;
  }

  // A length that follows a marker whose low nibble is 0xF: an integer object.
  Result<std::uint64_t> readLength(std::size_t& at) const {
    if (!fits(at, 1)) return failure("truncated object length", at);
    const unsigned marker = bytes_[at];
    if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3)
      return failure("object length is not an integer (marker " + detail::hexByte(marker) + ")", at);
    const std::size_t width = std::size_t{1} << (marker & 0x0F);
    if (!fits(at + 1, width)) return failure("truncated object length", at);
    const std::uint64_t length = bigEndian(at + 1, width);
    if (width == 8 && (length >> 63)) return failure("negative object length", at);
    at += 1 + width;
    return length;
  }

  Result<Value> readObject(std::uint64_t index, int depth, std::size_t referencedAt) {
    const std::uint32_t slot = slotOf(index);
    if (slot != kUnshared) {
      if (state_[slot] == State::Read) return cache_[slot];
      if (state_[slot] == State::Reading)
        return failure("cyclic reference to object " + std::to_string(index) + ": an object may not contain itself",
                       referencedAt);
    }

    const std::uint64_t offset = bigEndian(tableOffset_ + index * offsetSize_, offsetSize_);
    if (offset < kHeaderSize || offset >= tableOffset_)
      return failure("offset " + std::to_string(offset) + " of object " + std::to_string(index) +
                         " is not between the header and the offset table",
                     tableOffset_ + index * offsetSize_);

    // Scalars are read again at each reference, cheaper than keeping them: only shared objects
    // that own storage (containers, strings, data) are kept.
    const unsigned kind = bytes_[offset] >> 4;
    if (slot == kUnshared || kind <= 0x3 || kind == 0x8) return readObjectAt(static_cast<std::size_t>(offset), depth);

    state_[slot] = State::Reading;
    Result<Value> value = readObjectAt(static_cast<std::size_t>(offset), depth);
    if (!value) return value;
    state_[slot] = State::Read;
    cache_[slot] = *value;
    return value;
  }

  Result<Value> readObjectAt(std::size_t at, int depth) {
    const unsigned marker = bytes_[at];
    const unsigned low = marker & 0x0F;
    std::size_t body = at + 1;

    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08) return Value(false);
        if (marker == 0x09) return Value(true);
        if (marker == 0x00) return failure("null objects are not supported", at);
        return failure("unknown object marker " + detail::hexByte(marker), at);

      case 0x1: {
        if (low > 4) return failure("unsupported integer size (marker " + detail::hexByte(marker) + ")", at);
        const std::size_t width = std::size_t{1} << low;
        if (!fits(body, width)) return failure("truncated integer", at);
        if (width == 16) {
          const std::uint64_t high = bigEndian(body, 8), lowBits = bigEndian(body + 8, 8);
          if (high == 0) return Value(Integer::fromUnsigned(lowBits));
          if (high == ~std::uint64_t{0} && (lowBits >> 63)) return Value(Integer(static_cast<std::int64_t>(lowBits)));
          return failure("integer does not fit in 64 bits", at);
        }
        const std::uint64_t bits = bigEndian(body, width);
        // One- to four-byte integers are unsigned, eight-byte ones signed: either way the
        // bits read as int64_t give the value.
        return Value(Integer(static_cast<std::int64_t>(bits)));
      }

      case 0x2: {
        if (low == 2) {
          if (!fits(body, 4)) return failure("truncated real", at);
          const auto bits = static_cast<std::uint32_t>(bigEndian(body, 4));
          float real;
          std::memcpy(&real, &bits, 4);
          return Value(static_cast<double>(real));
        }
        if (low == 3) {
          if (!fits(body, 8)) return failure("truncated real", at);
          const std::uint64_t bits = bigEndian(body, 8);
          double real;
          std::memcpy(&real, &bits, 8);
          return Value(real);
        }
        return failure("unsupported real size (marker " + detail::hexByte(marker) + ")", at);
      }

      case 0x3: {
        if (marker != 0x33) return failure("unknown object marker " + detail::hexByte(marker), at);
        if (!fits(body, 8)) return failure("truncated date", at);
        const std::uint64_t bits = bigEndian(body, 8);
        double seconds;
        std::memcpy(&seconds, &bits, 8);
        return Value(Date{seconds});
      }

      case 0x4: {
        auto length = lengthOf(low, body);
        if (!length) return unexpected(length.error());
        if (!fits(body, *length)) return failure("truncated data (" + std::to_string(*length) + " bytes)", at);
        if (!spendObjectBytes(*length)) return objectsOverlap(at);
        return Value(Data(std::string_view(reinterpret_cast<const char*>(bytes_ + body), static_cast<std::size_t>(*length)),
                          *arena_));
      }

      case 0x5:
      case 0x6: {
        auto text = readString(at);
        if (!text) return unexpected(text.error());
        return Value(std::move(*text));
      }

      case 0x8: {
        const std::size_t width = low + 1;
        if (width > 8) return failure("UID wider than 64 bits", at);
        if (!fits(body, width)) return failure("truncated UID", at);
        return Value(Uid{bigEndian(body, width)});
      }

      case 0xA: {
        auto count = lengthOf(low, body);
        if (!count) return unexpected(count.error());
        if (*count > (tableOffset_ - body) / referenceSize_ || !fits(body, *count * referenceSize_))
          return failure("truncated array (" + std::to_string(*count) + " elements)", at);
        if (!spendObjectBytes(*count * referenceSize_)) return objectsOverlap(at);
        if (depth >= kMaxDepth) return failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels", at);
        Array array;
        array.reserve(static_cast<std::size_t>(*count));
        for (std::uint64_t i = 0; i < *count; ++i) {
          const std::size_t referenceAt = body + i * referenceSize_;
          auto element = readReference(referenceAt, depth + 1);
          if (!element) return element;
          array.push_back(std::move(*element));
        }
        return Value(std::move(array));
      }

      case 0xC:
        return failure("sets are not supported", at);

      case 0xD: {
        auto count = lengthOf(low, body);
        if (!count) return unexpected(count.error());
        if (*count > (tableOffset_ - body) / referenceSize_ / 2 || !fits(body, 2 * *count * referenceSize_))
          return failure("truncated dictionary (" + std::to_string(*count) + " entries)", at);
        if (!spendObjectBytes(2 * *count * referenceSize_)) return objectsOverlap(at);
        if (depth >= kMaxDepth) return failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels", at);
        // Built in its final storage, sized from the count: no copy of a large domain's entries.
        detail::DictionaryBuilder entries(static_cast<std::size_t>(*count));
        for (std::uint64_t i = 0; i < *count; ++i) {
          auto key = readKey(body + i * referenceSize_);
          if (!key) return unexpected(key.error());
          entries.addKey(std::move(*key));
        }
        entries.keysAdded();
        const std::size_t valuesAt = body + *count * referenceSize_;
        for (std::uint64_t i = 0; i < *count; ++i) {
          auto value = readReference(valuesAt + i * referenceSize_, depth + 1);
          if (!value) return value;
          entries.setValue(i, std::move(*value));  // a repeated key: the last value wins
        }
        return Value(std::move(entries).finish());
      }

      default:
        return failure("unknown object marker " + detail::hexByte(marker), at);
    }
  }

  Result<std::uint64_t> lengthOf(unsigned low, std::size_t& body) const {
    if (low != 0xF) return std::uint64_t{low};
    return readLength(body);
  }

  Result<std::uint64_t> objectIndexAt(std::size_t referenceAt) const {
    const std::uint64_t index = bigEndian(referenceAt, referenceSize_);
    if (index >= objectCount_)
      return failure("object reference " + std::to_string(index) + " is not one of the trailer's " +
                         std::to_string(objectCount_) + " objects",
                     referenceAt);
    return index;
  }

  Result<Value> readReference(std::size_t referenceAt, int depth) {
    auto index = objectIndexAt(referenceAt);
    if (!index) return unexpected(index.error());
    return readObject(*index, depth, referenceAt);
  }

  // Dictionary keys are string objects, read once and shared by every dictionary using them.
  Result<detail::SharedText> readKey(std::size_t referenceAt) {
    auto index = objectIndexAt(referenceAt);
    if (!index) return unexpected(index.error());
    const std::uint32_t slot = slotOf(*index);
    if (slot == kUnshared || state_[slot] != State::Read) {
      const std::uint64_t offset = bigEndian(tableOffset_ + *index * offsetSize_, offsetSize_);
      if (offset < kHeaderSize || offset >= tableOffset_)
        return failure("offset " + std::to_string(offset) + " of object " + std::to_string(*index) +
                           " is not between the header and the offset table",
                       tableOffset_ + *index * offsetSize_);
      const unsigned kind = bytes_[offset] >> 4;
      if (kind != 0x5 && kind != 0x6) return failure("dictionary key is not a string", referenceAt);
      auto key = readString(static_cast<std::size_t>(offset));
      if (!key) return unexpected(key.error());
      if (slot == kUnshared) {
        if (!spendKeyBytes(key->view().size())) return keysTooLarge(referenceAt);
        return key;
      }
      cache_[slot] = Value(std::move(*key));
      state_[slot] = State::Read;
    }
    const detail::SharedText* text = cache_[slot].sharedText();
    if (!text) return failure("dictionary key is not a string", referenceAt);
    if (!spendKeyBytes(text->view().size())) return keysTooLarge(referenceAt);
    return *text;
  }

  // A small file that references one long key from many dictionaries would expand without
  // bound in any form that spells keys out (XML, a dump): such files are refused.
  bool spendKeyBytes(std::size_t count) {
    if (count > keyBytesBudget_) return false;
    keyBytesBudget_ -= count;
    return true;
  }
  Unexpected<Error> keysTooLarge(std::size_t at) const {
    return failure("dictionary keys expand far beyond the file's size", at);
  }

  // Distinct objects of a well-formed file do not overlap, so the bodies of the strings, data
  // and containers read add up to less than the file's size. A file whose object table points
  // many indices at one body would otherwise expand each copy in turn: quadratic time and
  // memory from a small file.
  bool spendObjectBytes(std::uint64_t count) {
    if (count > objectBytesBudget_) return false;
    objectBytesBudget_ -= count;
    return true;
  }
  Unexpected<Error> objectsOverlap(std::size_t at) const {
    return failure("objects overlap: the file expands far beyond its size", at);
  }

  Result<detail::SharedText> readString(std::size_t at) {
    const unsigned marker = bytes_[at];
    std::size_t body = at + 1;
    auto length = lengthOf(marker & 0x0F, body);
    if (!length) return unexpected(length.error());
    std::string text;
    if ((marker >> 4) == 0x5) {
      if (!fits(body, *length)) return failure("truncated string (" + std::to_string(*length) + " bytes)", at);
      if (!spendObjectBytes(*length)) return objectsOverlap(at);
      const std::string_view ascii(reinterpret_cast<const char*>(bytes_ + body), static_cast<std::size_t>(*length));
      if (auto bad = unicode::findNonAscii(ascii)) return failure("non-ASCII byte in ASCII string", body + *bad);
      return detail::SharedText(ascii, *arena_);
    }
    if (*length > (tableOffset_ - body) / 2 || !fits(body, *length * 2))
      return failure("truncated string (" + std::to_string(*length) + " UTF-16 units)", at);
    if (!spendObjectBytes(*length * 2)) return objectsOverlap(at);
    if (auto bad = unicode::utf16BigEndianToUtf8(bytes_ + body, static_cast<std::size_t>(*length), text))
      return failure("unpaired UTF-16 surrogate in string", body + 2 * *bad);
    return detail::SharedText(text, *arena_);
  }

  const unsigned char* bytes_;
  std::size_t size_;
  unsigned offsetSize_ = 0;
  unsigned referenceSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::uint64_t keyBytesBudget_ = 0;
  std::uint64_t objectBytesBudget_ = 0;
  std::vector<std::uint64_t> shared_;  // a bit per object: more than one reference leads to it
  std::vector<std::uint32_t> rank_;    // per word of shared_: how many shared objects come before
  std::vector<State> state_;
  std::vector<Value> cache_;  // shared objects read so far; copies share storage
  detail::TextArena* arena_ = detail::TextArena::create();  // the document's strings, keys and data
};

}  // namespace

Result<Value> readBinary(std::string_view bytes) { return BinaryReader(bytes).read(); }

}  // namespace plist
