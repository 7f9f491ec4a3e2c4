// Writer of the binary form. Equal strings, data and scalars are stored once; containers
// shared between places (copies of one another) are stored once too, so a value read from a
// file that references one object many times is written back at its original size.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

#include "plist/codec_internal.h"
#include "plist/hash_sort.h"
#include "plist/unicode.h"

namespace plist {

// Big-endian fields are converted with a byte swap.
static_assert(std::endian::native == std::endian::little);

namespace {

using detail::failure;

std::uint64_t mix(std::uint64_t value) {  // splitmix64 finaliser: spreads nearby values
  value ^= value >> 30;
  value *= 0xbf58476d1ce4e5b9ULL;
  value ^= value >> 27;
  value *= 0x94d049bb133111ebULL;
  return value ^ (value >> 31);
}

class BinaryWriter {
  using Index = std::uint32_t;

 public:
  Result<std::string> write(const Value& root, std::string out) {
    // A generous first guess at the object count (a key and a value per entry, with small
    // containers among the values) saves regrowth, which copies; room reserved and never
    // used is never touched, and takes no memory.
    const std::size_t rootSize = root.isDictionary() ? 2 * root.asDictionary()->size()
                                 : root.isArray()    ? root.asArray()->size()
                                                     : 0;
    objects_.reserve(2 * rootSize + 16);
    children_.reserve(2 * rootSize + 16);
    hashed_.reserve(2 * rootSize + 16);
    auto top = flatten(root, 0);
    if (!top) return unexpected(top.error());
    auto count = numberObjects();
    if (!count) return unexpected(count.error());
    for (Index& child : children_) child = number_[child];
    referenceSize_ = widthFor(*count - 1);

    // Objects are written through a cursor into a buffer of exactly the file's size: no
    // capacity check per byte, and no page of it that is not written.
    const std::uint64_t tableOffset = 8 + objectBytes_ + children_.size() * referenceSize_;
    const std::uint64_t size = tableOffset + *count * widthFor(tableOffset) + 32;
    if (out.capacity() < size) out = std::string();  // growing would first copy what it holds
    out.resize(size);
    if (writeObjects(out.data(), tableOffset, *count, number_[*top]) != size)
      return failure("internal error: the file's size was miscounted", 0);
    return out;
  }

 private:
  // Writes the file into buffer, sized as counted; returns the length written.
  // The offset table's place is known beforehand, so each object's offset is written as the
  // object is.
  std::size_t writeObjects(char* buffer, std::uint64_t tableOffset, std::uint64_t count, Index top) {
    const unsigned offsetSize = widthFor(tableOffset);
    Cursor cursor{buffer};
    Cursor table{buffer + tableOffset};
    cursor.bytes("bplist00");
    Index next = 0;
    for (std::size_t i = 0; i < objects_.size(); ++i) {
      if (number_[i] != next) continue;  // a repeat of an object written before
      ++next;
      table.bigEndian(static_cast<std::uint64_t>(cursor.at - buffer), offsetSize);
      writeObject(cursor, objects_[i]);
    }
    if (cursor.at != buffer + tableOffset) return 0;  // miscounted: refused by the caller
    cursor = table;

    cursor.bigEndian(0, 6);  // unused trailer bytes
    cursor.byte(offsetSize);
    cursor.byte(referenceSize_);
    cursor.bigEndian(count, 8);
    cursor.bigEndian(top, 8);
    cursor.bigEndian(tableOffset, 8);
    return static_cast<std::size_t>(cursor.at - buffer);
  }

  enum class Type : std::uint8_t { Dictionary, Array, String, AsciiString, Utf16String, Data, Integer, LargeInteger, Real, Boolean, Date, Uid };
  // One object met while flattening, in 16 bytes (a large domain has hundreds of thousands):
  //   strings, data:  first = address of the bytes, second = their size (a String becomes an
  //                   AsciiString or a Utf16String once it is known to be written)
  //   scalars:        first = the value's bits (LargeInteger: an unsigned one above INT64_MAX)
  //   containers:     first = position of the references in children_, second = elements or
  //                   entries
  struct Object {
    std::uint64_t first = 0;
    std::uint32_t second = 0;
    Type type;

    std::string_view text() const { return {reinterpret_cast<const char*>(first), second}; }
    bool isContainer() const { return type == Type::Dictionary || type == Type::Array; }
    bool sameAs(const Object& other) const {
      if (type != other.type) return false;
      if (type == Type::String || type == Type::Data) return first == other.first || text() == other.text();
      return first == other.first;
    }
  };
  static_assert(sizeof(Object) == 16);
  // Marks, in number_, an object equal to an earlier one (whose index is in the other bits).
  static constexpr Index kRepeat = Index{1} << 31;

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

  // Every string, data and scalar met gets an object of its own here, with its hash beside it
  // for numberObjects() to find repeats by. A repeat of a recent object (the keys of many small
  // dictionaries, booleans, common numbers) is found at once in recent_, a small table that
  // stays in the cache, and takes that object.
  Result<Index> add(Object object, std::uint64_t hash) {
    std::uint64_t* recent = nullptr;
    if (!object.isContainer()) {
      recent = &recent_[hash & (kRecent - 1)];
      const auto held = static_cast<Index>(*recent);
      if ((*recent >> 32) == hash && held < objects_.size() && objects_[held].sameAs(object)) return held;
    }
    if (objects_.size() >= kRepeat) return failure("too many objects", 0);
    const auto index = static_cast<Index>(objects_.size());
    objects_.push_back(object);
    if (recent) {
      *recent = (hash << 32) | index;
      hashed_.push_back(*recent);
    }
    return index;
  }

  Result<Index> addBytes(Type type, std::string_view bytes, std::uint32_t hash) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return failure("string or data too large", 0);
    return add({reinterpret_cast<std::uintptr_t>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), type},
               type == Type::Data ? ~hash : hash);
  }

  Result<Index> addScalar(Type type, std::uint64_t bits) {
    return add({bits, 0, type}, mix(bits ^ mix(static_cast<std::uint64_t>(type))) >> 32);
  }

  static std::uint64_t bitsOf(double real) {
    std::uint64_t bits;
    std::memcpy(&bits, &real, 8);
    return bits;
  }

  Result<Index> flatten(const Value& value, int depth) {
    switch (value.kind()) {
      case Kind::String:
        return addBytes(Type::String, value.sharedText()->view(), value.sharedText()->hash());
      case Kind::Data:
        return addBytes(Type::Data, value.asData()->bytes(), value.asData()->hash());
      case Kind::Integer: {
        const Integer integer = *value.asInteger();
        // Values above INT64_MAX share their bits with negative ones: a type of their own.
        return addScalar(integer.toInt64() ? Type::Integer : Type::LargeInteger, integer.bits());
      }
      case Kind::Real:
        return addScalar(Type::Real, bitsOf(*value.asReal()));
      case Kind::Boolean:
        return addScalar(Type::Boolean, *value.asBoolean());
      case Kind::Date:
        return addScalar(Type::Date, bitsOf(value.asDate()->secondsSinceReferenceDate));
      case Kind::Uid:
        return addScalar(Type::Uid, value.asUid()->value);
      case Kind::Array:
      case Kind::Dictionary:
        return flattenContainer(value, depth);
    }
    return failure("unknown value kind", 0);
  }

  Result<Index> flattenContainer(const Value& value, int depth) {
    const bool isDictionary = value.isDictionary();
    // A container held in one place only is met once; one held in several (copies of one
    // another) is written once, and found again by its identity.
    const bool shared = isDictionary ? detail::isSharedStorage(*value.asDictionary())
                                     : detail::isSharedStorage(*value.asArray());
    if (shared) {
      if (auto found = sharedContainers_.find(value.identity()); found != sharedContainers_.end()) return found->second;
    }
    if (depth >= kMaxDepth) return failure("nesting deeper than " + std::to_string(kMaxDepth) + " levels", 0);

    const std::size_t count = isDictionary ? value.asDictionary()->size() : value.asArray()->size();
    if (count > std::numeric_limits<Index>::max()) return failure("container too large", 0);
    // Reserve this container's references first: its children append their own after them.
    const std::size_t at = children_.size();
    auto index = add({at, static_cast<std::uint32_t>(count), isDictionary ? Type::Dictionary : Type::Array}, 0);
    if (!index) return index;
    if (shared) sharedContainers_.emplace(value.identity(), *index);

    children_.resize(at + (isDictionary ? 2 * count : count));
    if (isDictionary) {
      std::size_t i = 0;
      for (const DictionaryEntry& entry : *std::as_const(value).asDictionary()) {
        auto key = addBytes(Type::String, entry.sharedKey().view(), entry.sharedKey().hash());
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

  // Numbers the objects to write in the order they were met, an object equal to an earlier
  // one taking that one's number (number_), and counts the bytes they take; returns how many
  // there are.
  Result<std::uint64_t> numberObjects() {
    number_.assign(objects_.size(), 0);
    detail::sortByHash(hashed_);
    std::vector<Index> distinct;  // within a run of equal hashes: the first of each content
    for (std::size_t run = 0, end; run < hashed_.size(); run = end) {
      const std::uint64_t hash = hashed_[run] >> 32;
      distinct.assign(1, static_cast<Index>(hashed_[run]));
      for (end = run + 1; end < hashed_.size() && hashed_[end] >> 32 == hash; ++end) {
        const auto index = static_cast<Index>(hashed_[end]);
        auto same = std::find_if(distinct.begin(), distinct.end(), [&](Index d) { return objects_[d].sameAs(objects_[index]); });
        if (same != distinct.end()) {
          number_[index] = kRepeat | *same;
        } else {
          distinct.push_back(index);
        }
      }
    }
    std::vector<std::uint64_t>().swap(hashed_);

    Index count = 0;
    for (std::size_t i = 0; i < objects_.size(); ++i) {
      if (number_[i] & kRepeat) {
        number_[i] = number_[number_[i] & ~kRepeat];  // numbered already: it came first
        continue;
      }
      number_[i] = count++;
      auto bytes = objectSize(objects_[i]);
      if (!bytes) return unexpected(bytes.error());
      objectBytes_ += *bytes;
    }
    return count;
  }

  // Bytes the object takes in the file (a container's references are counted apart); settles
  // which form a string is written in.
  Result<std::uint64_t> objectSize(Object& object) const {
    switch (object.type) {
      case Type::String: {
        const std::string_view text = object.text();
        const bool ascii = unicode::isAscii(text);
        if (!ascii && unicode::findInvalidUtf8(text)) return failure("string is not valid UTF-8", 0);
        const std::uint64_t units = ascii ? text.size() : utf16Units(text);
        object.type = ascii ? Type::AsciiString : Type::Utf16String;
        return markerSize(units) + units * (ascii ? 1 : 2);
      }
      case Type::Data: return markerSize(object.second) + object.second;
      case Type::Dictionary:
      case Type::Array: return markerSize(object.second);
      default: return scalarSize(object.type, object.first);
    }
  }

  // Bytes of a marker with this length, as writeMarker writes it.
  static std::size_t markerSize(std::uint64_t length) { return length < 15 ? 1 : 2 + widthFor(length); }

  // Bytes of a scalar object, as writeObject writes it.
  static std::size_t scalarSize(Type type, std::uint64_t bits) {
    switch (type) {
      case Type::Integer: return static_cast<std::int64_t>(bits) < 0 ? 9 : 1 + widthFor(bits);
      case Type::LargeInteger: return 17;
      case Type::Boolean: return 1;
      case Type::Uid: return 1 + widthFor(bits);
      default: return 9;  // reals and dates
    }
  }

  // UTF-16 code units of valid UTF-8 text: one per sequence, two for those beyond U+FFFF.
  static std::uint64_t utf16Units(std::string_view text) {
    std::uint64_t units = 0;
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      units += (byte & 0xC0) != 0x80;
      units += byte >= 0xF0;
    }
    return units;
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
        writeMarker(out, object.type == Type::Array ? 0xA : 0xD, object.second);
        const std::size_t references = object.type == Type::Array ? object.second : 2 * std::size_t{object.second};
        for (std::size_t i = 0; i < references; ++i) out.bigEndian(children_[object.first + i], referenceSize_);
        return;
      }
      case Type::String:  // settled by objectSize() before anything is written
        return;
    }
  }

  std::vector<Object> objects_;            // every object met, in the order met
  std::vector<std::uint64_t> hashed_;      // (hash << 32 | index) of each string, data and scalar
  std::vector<Index> number_;              // each object's number in the file
  static constexpr std::size_t kRecent = 4096;
  std::vector<std::uint64_t> recent_ = std::vector<std::uint64_t>(kRecent, ~std::uint64_t{0});  // by hash: (hash << 32 | index)
  std::vector<Index> children_;            // containers' references: indices, then numbers
  std::unordered_map<const void*, Index> sharedContainers_;  // by identity
  std::uint64_t objectBytes_ = 0;  // what the objects take in the file, less containers' references
  unsigned referenceSize_ = 1;
};

}  // namespace

Result<std::string> detail::writeBinaryChecked(const Value& value, std::string buffer) {
  return BinaryWriter().write(value, std::move(buffer));
}

}  // namespace plist
