// Writer of the binary form. Equal strings, data and scalars are stored once; containers
// shared between places (copies of one another) are stored once too, so a value read from a
// file that references one object many times is written back at its original size.

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "plist/codec_internal.h"
#include "plist/unicode.h"

namespace plist {

namespace {

using detail::failure;

// Object indices by hash, in open addressing: no allocation per entry, which matters for
// domains of many thousands of keys. The caller compares candidates itself.
class IndexTable {
 public:
  // Calls equal(index) for each stored index with this hash until it returns true; returns
  // that index, or nothing.
  template <typename Equal>
  std::optional<std::uint64_t> find(std::uint64_t hash, Equal equal) const {
    if (slots_.empty()) return std::nullopt;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const Slot& candidate = slots_[slot];
      if (candidate.indexPlusOne == 0) return std::nullopt;
      if (candidate.hash == hash && equal(candidate.indexPlusOne - 1)) return candidate.indexPlusOne - 1;
    }
  }

  void insert(std::uint64_t hash, std::uint64_t index) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    place(hash, index + 1);
    ++used_;
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint64_t indexPlusOne = 0;  // 0: empty
  };

  void place(std::uint64_t hash, std::uint64_t indexPlusOne) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = hash & mask;
    while (slots_[slot].indexPlusOne != 0) slot = (slot + 1) & mask;
    slots_[slot] = Slot{hash, indexPlusOne};
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    for (const Slot& slot : old)
      if (slot.indexPlusOne != 0) place(slot.hash, slot.indexPlusOne);
  }

  std::vector<Slot> slots_;
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

    cursor.bigEndian(0, 6);
    cursor.byte(offsetSize);
    cursor.byte(referenceSize_);
    cursor.bigEndian(count, 8);
    cursor.bigEndian(*top, 8);
    cursor.bigEndian(tableOffset, 8);
    out.resize(static_cast<std::size_t>(cursor.at - out.data()));
    return out;
  }

 private:
  enum class Type : std::uint8_t { Dictionary, Array, AsciiString, Utf16String, Data, Integer, Real, Boolean, Date, Uid };
  struct Object {
    Type type;
    const Value* value;       // for every type but strings
    std::string_view text;    // strings and data
    std::size_t childrenAt;   // containers: position of their references in children_
    std::size_t childCount;   // array elements, or dictionary entries
    std::uint64_t bits = 0;   // scalars, for uniquing
    bool variant = false;
  };

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
    void bigEndian(std::uint64_t value, unsigned width) {
      for (unsigned i = width; i-- > 0;) *at++ = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
  };

  std::uint64_t add(Object object) {
    objects_.push_back(object);
    return objects_.size() - 1;
  }

  Result<std::uint64_t> flattenString(const detail::SharedText& shared) {
    const std::string_view text = shared.text();
    const std::uint64_t hash = shared.hash();
    auto same = [&](std::uint64_t i) { return objects_[i].text.data() == text.data() || objects_[i].text == text; };
    if (auto found = strings_.find(hash, same)) return *found;
    const bool ascii = unicode::isAscii(text);
    if (!ascii && unicode::findInvalidUtf8(text)) return failure("string is not valid UTF-8", 0);
    estimatedSize_ += text.size() * (ascii ? 1 : 2) + 10;
    const std::uint64_t index = add({ascii ? Type::AsciiString : Type::Utf16String, nullptr, text, 0, 0});
    strings_.insert(hash, index);
    return index;
  }

  // Scalars are equal when their kind and bits are (integers above INT64_MAX, whose bits
  // match negative ones, are a kind of their own: variant).
  std::uint64_t flattenScalar(const Value& value, Type type, std::uint64_t bits, bool variant = false) {
    const std::uint64_t tag = static_cast<std::uint64_t>(type) * 2 + variant;
    const std::uint64_t hash = mix(bits ^ mix(tag));
    auto same = [&](std::uint64_t i) { return objects_[i].type == type && objects_[i].bits == bits && objects_[i].variant == variant; };
    if (auto found = scalars_.find(hash, same)) return *found;
    estimatedSize_ += 17;
    Object object{type, &value, {}, 0, 0};
    object.bits = bits;
    object.variant = variant;
    const std::uint64_t index = add(object);
    scalars_.insert(hash, index);
    return index;
  }

  Result<std::uint64_t> flatten(const Value& value, int depth) {
    switch (value.kind()) {
      case Kind::String:
        return flattenString(*value.sharedText());
      case Kind::Data: {
        const std::string_view bytes = value.asData()->bytes();
        const std::uint64_t hash = std::hash<std::string_view>{}(bytes);
        auto same = [&](std::uint64_t i) { return objects_[i].type == Type::Data && objects_[i].text == bytes; };
        if (auto found = data_.find(hash, same)) return *found;
        estimatedSize_ += bytes.size() + 10;
        Object object{Type::Data, &value, bytes, 0, 0};
        const std::uint64_t index = add(object);
        data_.insert(hash, index);
        return index;
      }
      case Kind::Integer: {
        const Integer integer = *value.asInteger();
        // Values above INT64_MAX share their bits with negative ones: tell them apart.
        return flattenScalar(value, Type::Integer, integer.bits(), !integer.toInt64());
      }
      case Kind::Real: {
        const double real = *value.asReal();
        std::uint64_t bits;
        std::memcpy(&bits, &real, 8);
        return flattenScalar(value, Type::Real, bits);
      }
      case Kind::Boolean:
        return flattenScalar(value, Type::Boolean, *value.asBoolean());
      case Kind::Date: {
        const double seconds = value.asDate()->secondsSinceReferenceDate;
        std::uint64_t bits;
        std::memcpy(&bits, &seconds, 8);
        return flattenScalar(value, Type::Date, bits);
      }
      case Kind::Uid:
        return flattenScalar(value, Type::Uid, value.asUid()->value);
      case Kind::Array:
      case Kind::Dictionary:
        return flattenContainer(value, depth);
    }
    return failure("unknown value kind", 0);
  }

  Result<std::uint64_t> flattenContainer(const Value& value, int depth) {
    const void* identity = value.identity();
    const std::uint64_t hash = mix(reinterpret_cast<std::uintptr_t>(identity));
    if (identity) {
      if (auto found = containers_.find(hash, [&](std::uint64_t i) { return objects_[i].value->identity() == identity; }))
        return *found;
    }
    if (depth >= kMaxDepth) return failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels", 0);

    const bool isDictionary = value.isDictionary();
    const std::size_t count = isDictionary ? value.asDictionary()->size() : value.asArray()->size();
    const std::uint64_t index =
        add({isDictionary ? Type::Dictionary : Type::Array, &value, {}, children_.size(), count});
    if (identity) containers_.insert(hash, index);
    estimatedSize_ += 10;

    // Reserve this container's references first: its children append their own after them.
    const std::size_t at = children_.size();
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
    const unsigned width = widthFor(length);
    out.byte(0x10 | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3));
    out.bigEndian(length, width);
  }

  void writeObject(Cursor& out, const Object& object) const {
    switch (object.type) {
      case Type::AsciiString:
        writeMarker(out, 0x5, object.text.size());
        out.bytes(object.text);
        return;
      case Type::Utf16String: {
        std::string units;
        units.reserve(object.text.size() * 2);
        const std::size_t count = unicode::appendUtf16BigEndian(units, object.text);
        writeMarker(out, 0x6, count);
        out.bytes(units);
        return;
      }
      case Type::Data: {
        const std::string_view bytes = object.value->asData()->bytes();
        writeMarker(out, 0x4, bytes.size());
        out.bytes(bytes);
        return;
      }
      case Type::Integer: {
        const Integer integer = *object.value->asInteger();
        if (!integer.toInt64()) {  // above INT64_MAX: sixteen bytes, the high eight zero
          out.byte(0x14);
          out.bigEndian(0, 8);
          out.bigEndian(integer.bits(), 8);
        } else if (integer.isNegative()) {
          out.byte(0x13);
          out.bigEndian(integer.bits(), 8);
        } else {
          const unsigned width = integer.bits() > 0xFFFFFFFF ? 8 : widthFor(integer.bits());
          out.byte(0x10 | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3));
          out.bigEndian(integer.bits(), width);
        }
        return;
      }
      case Type::Real: {
        const double real = *object.value->asReal();
        std::uint64_t bits;
        std::memcpy(&bits, &real, 8);
        out.byte(0x23);
        out.bigEndian(bits, 8);
        return;
      }
      case Type::Date: {
        const double seconds = object.value->asDate()->secondsSinceReferenceDate;
        std::uint64_t bits;
        std::memcpy(&bits, &seconds, 8);
        out.byte(0x33);
        out.bigEndian(bits, 8);
        return;
      }
      case Type::Boolean:
        out.byte(*object.value->asBoolean() ? 0x09 : 0x08);
        return;
      case Type::Uid: {
        const std::uint64_t uid = object.value->asUid()->value;
        const unsigned width = widthFor(uid);
        out.byte(0x80 | (width - 1));
        out.bigEndian(uid, width);
        return;
      }
      case Type::Array:
      case Type::Dictionary: {
        writeMarker(out, object.type == Type::Array ? 0xA : 0xD, object.childCount);
        const std::size_t references = object.type == Type::Array ? object.childCount : 2 * object.childCount;
        for (std::size_t i = 0; i < references; ++i)
          out.bigEndian(children_[object.childrenAt + i], referenceSize_);
        return;
      }
    }
  }

  std::vector<Object> objects_;
  std::vector<std::uint64_t> children_;
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
