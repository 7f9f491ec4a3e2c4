// Writer of the binary form. Equal strings, data and scalars are stored once; containers
// shared between places (copies of one another) are stored once too, so a value read from a
// file that references one object many times is written back at its original size.

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "plist/codec_internal.h"
#include "plist/unicode.h"

namespace plist {

// Big-endian fields are converted with a byte swap.
static_assert(std::endian::native == std::endian::little);

namespace {

using detail::failure;

// Object indices by hash, in open addressing: no allocation per entry, which matters for
// domains of many thousands of keys. A slot is eight bytes, the hash's high half (which also
// picks the slot) beside the index, so that the table stays small in the cache. The caller
// compares candidates itself.
class IndexTable {
 public:
  // Calls equal(index) for each stored index with this hash until it returns true; returns
  // that index, or nothing.
  template <typename Equal>
  std::optional<std::uint32_t> find(std::uint64_t hash, Equal equal) const {
    if (slots_.empty()) return std::nullopt;
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = hash & kTagBits;
    for (std::size_t slot = (hash >> 32) & mask;; slot = (slot + 1) & mask) {
      const std::uint64_t held = slots_[slot];
      if (held == 0) return std::nullopt;
      const auto index = static_cast<std::uint32_t>(held - 1);
      if ((held & kTagBits) == tag && equal(index)) return index;
    }
  }

  void insert(std::uint64_t hash, std::uint32_t index) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    place((hash & kTagBits) | (std::uint64_t{index} + 1));
    ++used_;
  }

 private:
  static constexpr std::uint64_t kTagBits = 0xFFFFFFFF00000000ULL;

  void place(std::uint64_t held) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = (held >> 32) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = held;
  }

  void grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, 0);
    for (const std::uint64_t held : old)
      if (held != 0) place(held);
  }

  std::vector<std::uint64_t> slots_;
  std::size_t used_ = 0;
};

std::uint64_t mix(std::uint64_t value) {  // splitmix64 finaliser: spreads nearby values
  value ^= value >> 30;
  value *= 0xbf58476d1ce4e5b9ULL;
  value ^= value >> 27;
  value *= 0x94d049bb133111ebULL;
  return value ^ (value >> 31);
}

class BinaryWriter {
 public:
  Result<std::string> write(const Value& root) {
    // A first guess at the object count (a key and a value per entry) saves most regrowth.
    const std::size_t rootSize = root.isDictionary() ? 2 * root.asDictionary()->size()
                                 : root.isArray()    ? root.asArray()->size()
                                                     : 0;
    objects_.reserve(rootSize + 16);
    children_.reserve(rootSize + 16);
    auto top = flatten(root, 0);
    if (!top) return unexpected(top.error());

    const std::uint64_t count = objects_.size();
    referenceSize_ = widthFor(count - 1);

    // Objects are written through a cursor into a buffer sized for the worst case: no
    // capacity check per byte.
    const std::size_t bound = 8 + estimatedSize_ + children_.size() * referenceSize_ + count * 8 + 32;
    std::string out(bound, '\0');
    Cursor cursor{out.data()};
    cursor.bytes("bplist00");
    std::vector<std::uint64_t> offsets;
    offsets.reserve(count);
    for (const Object& object : objects_) {
      offsets.push_back(static_cast<std::uint64_t>(cursor.at - out.data()));
      writeObject(cursor, object);
    }

    const std::uint64_t tableOffset = static_cast<std::uint64_t>(cursor.at - out.data());
    const unsigned offsetSize = widthFor(tableOffset);
    for (std::uint64_t offset : offsets) cursor.bigEndian(offset, offsetSize);

    cursor.bigEndian(0, 6);  // unused trailer bytes
    cursor.byte(offsetSize);
    cursor.byte(referenceSize_);
    cursor.bigEndian(count, 8);
    cursor.bigEndian(*top, 8);
    cursor.bigEndian(tableOffset, 8);
    out.resize(static_cast<std::size_t>(cursor.at - out.data()));
    return out;
  }

 private:
  enum class Type : std::uint8_t { Dictionary, Array, AsciiString, Utf16String, Data, Integer, LargeInteger, Real, Boolean, Date, Uid };
  // One object to write, in 24 bytes (a large domain has hundreds of thousands):
  //   strings, data:  first = address of the bytes, second = their size
  //   scalars:        first = the value's bits (LargeInteger: an unsigned one above INT64_MAX)
  //   containers:     first = the storage's identity, second = position of the references
  //                   in children_, count = elements or entries
  struct Object {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::uint32_t count = 0;
    Type type;

    std::string_view text() const { return {reinterpret_cast<const char*>(first), static_cast<std::size_t>(second)}; }
  };
  using Index = std::uint32_t;

  static unsigned widthFor(std::uint64_t maximum) {
    if (maximum <= 0xFF) return 1;
    if (maximum <= 0xFFFF) return 2;
    if (maximum <= 0xFFFFFFFF) return 4;
    return 8;
  }

  struct Cursor {
    char* at;
    void byte(unsigned value) { *at++ = static_cast<char>(value); }
    void bytes(std::string_view text) {
      std::memcpy(at, text.data(), text.size());
      at += text.size();
    }
    // width is 1 to 8: the value's low bytes, most significant first, in one store.
    void bigEndian(std::uint64_t value, unsigned width) {
      const std::uint64_t swapped = __builtin_bswap64(value << (64 - 8 * width));
      std::memcpy(at, &swapped, width);
      at += width;
    }
  };

  Result<Index> add(Object object, IndexTable& table, std::uint64_t hash) {
    if (objects_.size() >= std::numeric_limits<Index>::max() - 1) return failure("too many distinct objects", 0);
    const auto index = static_cast<Index>(objects_.size());
    objects_.push_back(object);
    table.insert(hash, index);
    return index;
  }

  static Object bytesObject(Type type, std::string_view bytes) {
    return {reinterpret_cast<std::uintptr_t>(bytes.data()), bytes.size(), 0, type};
  }

  Result<Index> flattenString(const detail::SharedText& shared) {
    const std::string_view text = shared.view();
    auto same = [&](Index i) { return objects_[i].first == reinterpret_cast<std::uintptr_t>(text.data()) || objects_[i].text() == text; };
    if (auto found = strings_.find(shared.hash(), same)) return *found;
    const bool ascii = unicode::isAscii(text);
    if (!ascii && unicode::findInvalidUtf8(text)) return failure("string is not valid UTF-8", 0);
    estimatedSize_ += text.size() * (ascii ? 1 : 2) + 10;
    return add(bytesObject(ascii ? Type::AsciiString : Type::Utf16String, text), strings_, shared.hash());
  }

  // Scalars are equal when their type and bits are.
  Result<Index> flattenScalar(Type type, std::uint64_t bits) {
    const std::uint64_t hash = mix(bits ^ mix(static_cast<std::uint64_t>(type)));
    auto same = [&](Index i) { return objects_[i].type == type && objects_[i].first == bits; };
    if (auto found = scalars_.find(hash, same)) return *found;
    estimatedSize_ += 17;
    return add({bits, 0, 0, type}, scalars_, hash);
  }

  static std::uint64_t bitsOf(double real) {
    std::uint64_t bits;
    std::memcpy(&bits, &real, 8);
    return bits;
  }

  Result<Index> flatten(const Value& value, int depth) {
    switch (value.kind()) {
      case Kind::String:
        return flattenString(*value.sharedText());
      case Kind::Data: {
        const std::string_view bytes = value.asData()->bytes();
        const std::uint64_t hash = value.asData()->hash();
        if (auto found = data_.find(hash, [&](Index i) { return objects_[i].text() == bytes; })) return *found;
        estimatedSize_ += bytes.size() + 10;
        return add(bytesObject(Type::Data, bytes), data_, hash);
      }
      case Kind::Integer: {
        const Integer integer = *value.asInteger();
        // Values above INT64_MAX share their bits with negative ones: a type of their own.
        return flattenScalar(integer.toInt64() ? Type::Integer : Type::LargeInteger, integer.bits());
      }
      case Kind::Real:
        return flattenScalar(Type::Real, bitsOf(*value.asReal()));
      case Kind::Boolean:
        return flattenScalar(Type::Boolean, *value.asBoolean());
      case Kind::Date:
        return flattenScalar(Type::Date, bitsOf(value.asDate()->secondsSinceReferenceDate));
      case Kind::Uid:
        return flattenScalar(Type::Uid, value.asUid()->value);
      case Kind::Array:
      case Kind::Dictionary:
        return flattenContainer(value, depth);
    }
    return failure("unknown value kind", 0);
  }

  Result<Index> flattenContainer(const Value& value, int depth) {
    const auto identity = reinterpret_cast<std::uintptr_t>(value.identity());
    const std::uint64_t hash = mix(identity);
    if (identity) {
      if (auto found = containers_.find(hash, [&](Index i) { return objects_[i].first == identity; })) return *found;
    }
    if (depth >= kMaxDepth) return failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels", 0);

    const bool isDictionary = value.isDictionary();
    const std::size_t count = isDictionary ? value.asDictionary()->size() : value.asArray()->size();
    if (count > std::numeric_limits<Index>::max()) return failure("container too large", 0);
    // Reserve this container's references first: its children append their own after them.
    const std::size_t at = children_.size();
    auto index = add({identity, at, static_cast<std::uint32_t>(count), isDictionary ? Type::Dictionary : Type::Array},
                     containers_, hash);
    if (!index) return index;
    estimatedSize_ += 10;

    children_.resize(at + (isDictionary ? 2 * count : count));
    if (isDictionary) {
      std::size_t i = 0;
      for (const DictionaryEntry& entry : *std::as_const(value).asDictionary()) {
        auto key = flattenString(entry.sharedKey());
        if (!key) return key;
        children_[at + i++] = *key;
      }
      i = 0;
      for (const DictionaryEntry& entry : *std::as_const(value).asDictionary()) {
        auto child = flatten(entry.value(), depth + 1);
        if (!child) return child;
        children_[at + count + i++] = *child;
      }
    } else {
      std::size_t i = 0;
      for (const Value& element : *std::as_const(value).asArray()) {
        auto child = flatten(element, depth + 1);
        if (!child) return child;
        children_[at + i++] = *child;
      }
    }
    return index;
  }

  static void writeMarker(Cursor& out, unsigned type, std::uint64_t length) {
    if (length < 15) {
      out.byte((type << 4) | static_cast<unsigned>(length));
      return;
    }
    out.byte((type << 4) | 0xF);
    writeUnsigned(out, length);
  }

  // A non-negative integer object in the smallest of one, two, four or eight bytes.
  static void writeUnsigned(Cursor& out, std::uint64_t value) {
    const unsigned width = widthFor(value);
    out.byte(0x10 | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3));
    out.bigEndian(value, width);
  }

  void writeObject(Cursor& out, const Object& object) const {
    switch (object.type) {
      case Type::AsciiString:
        writeMarker(out, 0x5, object.second);
        out.bytes(object.text());
        return;
      case Type::Utf16String: {
        std::string units;
        units.reserve(object.second * 2);
        const std::size_t count = unicode::appendUtf16BigEndian(units, object.text());
        writeMarker(out, 0x6, count);
        out.bytes(units);
        return;
      }
      case Type::Data:
        writeMarker(out, 0x4, object.second);
        out.bytes(object.text());
        return;
      case Type::LargeInteger:  // sixteen bytes, the high eight zero
        out.byte(0x14);
        out.bigEndian(0, 8);
        out.bigEndian(object.first, 8);
        return;
      case Type::Integer:
        if (static_cast<std::int64_t>(object.first) < 0) {
          out.byte(0x13);
          out.bigEndian(object.first, 8);
        } else {
          writeUnsigned(out, object.first);
        }
        return;
      case Type::Real:
        out.byte(0x23);
        out.bigEndian(object.first, 8);
        return;
      case Type::Date:
        out.byte(0x33);
        out.bigEndian(object.first, 8);
        return;
      case Type::Boolean:
        out.byte(object.first ? 0x09 : 0x08);
        return;
      case Type::Uid: {
        const unsigned width = widthFor(object.first);
        out.byte(0x80 | (width - 1));
        out.bigEndian(object.first, width);
        return;
      }
      case Type::Array:
      case Type::Dictionary: {
        writeMarker(out, object.type == Type::Array ? 0xA : 0xD, object.count);
        const std::size_t references = object.type == Type::Array ? object.count : 2 * std::size_t{object.count};
        for (std::size_t i = 0; i < references; ++i) out.bigEndian(children_[object.second + i], referenceSize_);
        return;
      }
    }
  }

  std::vector<Object> objects_;
  std::vector<Index> children_;
  IndexTable strings_;
  IndexTable data_;
  IndexTable scalars_;
  IndexTable containers_;
  std::size_t estimatedSize_ = 0;
  unsigned referenceSize_ = 1;
};

}  // namespace

Result<std::string> detail::writeBinaryChecked(const Value& value) { return BinaryWriter().write(value); }

}  // namespace plist
