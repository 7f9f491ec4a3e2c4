#pragma once
// Property-list values: dictionaries, arrays, strings, integers, reals, booleans, dates,
// data and UIDs.
//
// Copies are cheap: containers, strings and data share their storage and copy it only when
// a shared container is about to be modified (copy-on-write). Editing nested containers in
// place is natural:
//
//   if (plist::Value* columns = domain.find("TableColumns"))
//     if (plist::Dictionary* table = columns->asDictionary())
//       for (auto& [name, column] : *table)
//         if (plist::Dictionary* d = column.asDictionary()) d->remove("20");
//
// Pointers and iterators obtained from a non-const container stay valid until that
// container's size changes or it is assigned to. Copying a container while such pointers
// exist is safe: the copy does not see later edits made through them.
//
// A container is not safe to use from two threads at once; distinct copies are.

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <new>
#include <vector>

namespace plist {

class Value;
class Dictionary;
class DictionaryEntry;
class Array;

enum class Kind { Dictionary, Array, String, Integer, Real, Boolean, Date, Data, Uid };

// Human-readable kind name ("dictionary", "integer", ...), for messages.
const char* kindName(Kind kind);

// An integer as property lists store it: any signed 64-bit value, or an unsigned 64-bit
// value above INT64_MAX.
class Integer {
 public:
  constexpr Integer() = default;
  constexpr Integer(std::int64_t value) : bits_(static_cast<std::uint64_t>(value)) {}
  static constexpr Integer fromUnsigned(std::uint64_t value) {
    Integer result;
    result.bits_ = value;
    result.large_ = value > static_cast<std::uint64_t>(INT64_MAX);
    return result;
  }

  constexpr bool isNegative() const { return !large_ && static_cast<std::int64_t>(bits_) < 0; }
  // The value as int64_t, or nothing when it is above INT64_MAX.
  constexpr std::optional<std::int64_t> toInt64() const {
    if (large_) return std::nullopt;
    return static_cast<std::int64_t>(bits_);
  }
  // The value as uint64_t, or nothing when it is negative.
  constexpr std::optional<std::uint64_t> toUInt64() const {
    if (isNegative()) return std::nullopt;
    return bits_;
  }
  // Two's-complement bits (the value modulo 2^64).
  constexpr std::uint64_t bits() const { return bits_; }
  std::string toString() const;

  friend constexpr bool operator==(const Integer&, const Integer&) = default;

 private:
  std::uint64_t bits_ = 0;
  bool large_ = false;  // bits_ is an unsigned value above INT64_MAX
};

// A point in time: seconds since 2001-01-01 00:00:00 UTC, as property lists count them.
struct Date {
  // Seconds from the Unix epoch to 2001-01-01 00:00:00 UTC.
  static constexpr double kUnixEpochOffset = 978307200.0;

  double secondsSinceReferenceDate = 0.0;

  static constexpr Date fromUnixTime(double seconds) { return Date{seconds - kUnixEpochOffset}; }
  constexpr double toUnixTime() const { return secondsSinceReferenceDate + kUnixEpochOffset; }
  friend constexpr bool operator==(const Date&, const Date&) = default;
};

// A UID, the object reference kind of keyed archives.
struct Uid {
  std::uint64_t value = 0;
  friend constexpr bool operator==(const Uid&, const Uid&) = default;
};

namespace detail {
// Hash of a string, as the dictionary index and the binary writer's uniquing use it.
std::uint32_t hashText(std::string_view text);

// Where a reader lays the texts (strings, keys, data) of one document: one after another in
// segments of 64 KB, in chunks that grow as it reads, freed together when the last of those
// texts goes. One allocation per chunk instead of one per text, and a header of 2 bytes per
// text: a text finds its arena at the start of its segment. A text kept anywhere keeps its
// whole document's chunks.
class TextArena {
 public:
  static constexpr std::size_t kSegmentSize = 64 * 1024;

  // A new arena, holding one reference for its creator (give it back with release()).
  static TextArena* create();
  void retain() noexcept { references_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(this);
  }

 private:
  friend class SharedText;
  struct Made;
  TextArena() = default;
  void* allocate(std::size_t bytes);
  const std::string& textOf(const void* header, std::string_view view);
  static TextArena* owning(const void* text) {
    return *reinterpret_cast<TextArena* const*>(reinterpret_cast<std::uintptr_t>(text) & ~(kSegmentSize - 1));
  }
  static void destroy(TextArena* arena) noexcept;

  std::atomic<std::size_t> references_{1};  // the creator's, plus one per copy of each text in it
  std::vector<void*> chunks_;
  std::size_t nextChunkSegments_ = 1;
  char* free_ = nullptr;                     // the room left in the current segment
  char* segmentEnd_ = nullptr;
  char* chunkEnd_ = nullptr;
  std::atomic<Made*> made_{nullptr};         // std::string forms asked for, made once each
};

// Immutable shared text of a string value or a dictionary key: the characters follow a small
// header, shared by every copy, so copying a dictionary or reading a key that a file uses in
// many dictionaries costs a reference count, not a string copy. A text is an allocation of its
// own, or lies in a reader's TextArena. The codecs work on view(); a std::string is made only
// when text() is first asked for.
class SharedText {
 public:
  explicit SharedText(std::string_view text);
  SharedText(std::string_view text, TextArena& arena);
  SharedText(const SharedText& other) noexcept : header_(other.header_) { retain(); }
  SharedText(SharedText&& other) noexcept : header_(std::exchange(other.header_, nullptr)) {}
  SharedText& operator=(const SharedText& other) noexcept {
    SharedText(other).swap(*this);
    return *this;
  }
  SharedText& operator=(SharedText&& other) noexcept {
    SharedText(std::move(other)).swap(*this);
    return *this;
  }
  ~SharedText() { release(); }

  std::string_view view() const {
    return {header_->characters(), header_->size != kOwnSize ? header_->size : own()->size};
  }
  // Valid as long as this text (or any copy of it) lives.
  const std::string& text() const;
  // hashText(view()): kept by a text of its own, computed for one in an arena (most texts are
  // never hashed, and a short one hashes in a few nanoseconds).
  std::uint32_t hash() const { return isOwn() ? own()->hash : hashText(view()); }
  const void* identity() const { return header_; }
  friend bool operator==(const SharedText& a, const SharedText& b) {
    return a.header_ == b.header_ || a.view() == b.view();
  }

 private:
  // The characters follow the header: two bytes, so that a document's many short keys take
  // little more than their characters. A text of its own has an Own record before its
  // header, which counts its references; a text in an arena shares the arena's count.
  struct Header {
    std::uint16_t size;  // kOwnSize for a text of its own: see Own::size
    const char* characters() const { return reinterpret_cast<const char*>(this + 1); }
  };
  struct Own {
    std::atomic<std::size_t> references{1};
    std::size_t size;
    std::uint32_t hash;
    mutable std::atomic<const std::string*> text{nullptr};
  };
  static constexpr std::uint16_t kOwnSize = 0xFFFF;
  // Texts up to this size go into an arena (a segment holds the arena's address and at least
  // one such text); larger ones are allocations of their own.
  static constexpr std::size_t kLargestInArena = TextArena::kSegmentSize / 2;
  static_assert(kLargestInArena < kOwnSize);

  bool isOwn() const { return header_->size == kOwnSize; }
  Own* own() const { return reinterpret_cast<Own*>(const_cast<Header*>(header_)) - 1; }
  void swap(SharedText& other) noexcept { std::swap(header_, other.header_); }
  void retain() const noexcept {
    if (!header_) return;
    if (isOwn()) {
      own()->references.fetch_add(1, std::memory_order_relaxed);
    } else {
      TextArena::owning(header_)->retain();
    }
  }
  void release() noexcept {
    if (!header_) return;
    if (!isOwn()) {
      TextArena::owning(header_)->release();
    } else if (own()->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      destroy(header_);
    }
  }
  static void destroy(Header* header) noexcept;

  Header* header_;
};
// A value sharing dictionary's storage even while pointers into it are out, for a reader
// (the writers) that is done with it before dictionary is next edited: no copy of a large
// edited domain just to write it.
Value borrowForReading(const Dictionary& dictionary);
// Whether a container's storage is held anywhere but in this one place: if not, a writer meets
// it once and need not look for it again.
bool isSharedStorage(const Dictionary& dictionary);
bool isSharedStorage(const Array& array);
class DictionaryBuilder;
}  // namespace detail

// Raw bytes. Shares its storage (one allocation, the bytes with their hash) between copies.
class Data {
 public:
  Data();
  explicit Data(std::string_view bytes) : bytes_(bytes) {}
  Data(const void* bytes, std::size_t size) : Data(std::string_view(static_cast<const char*>(bytes), size)) {}
  Data(std::string_view bytes, detail::TextArena& arena) : bytes_(bytes, arena) {}

  std::string_view bytes() const { return bytes_.view(); }
  std::size_t size() const { return bytes_.view().size(); }
  const void* identity() const { return bytes_.identity(); }
  // Hash of the bytes (detail::hashText).
  std::uint32_t hash() const { return bytes_.hash(); }
  friend bool operator==(const Data& a, const Data& b) { return a.bytes_ == b.bytes_; }

 private:
  detail::SharedText bytes_;
};

// String keys to values; keeps insertion order (for a value read from a file, the file's
// order). Lookups are O(1) on average.
class Dictionary {
 public:
  Dictionary() = default;
  Dictionary(std::initializer_list<std::pair<std::string, Value>> entries);
  Dictionary(const Dictionary& other);
  Dictionary(Dictionary&& other) noexcept : storage_(std::exchange(other.storage_, nullptr)) {}
  Dictionary& operator=(const Dictionary& other);
  Dictionary& operator=(Dictionary&& other) noexcept;
  ~Dictionary();

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  bool contains(std::string_view key) const { return get(key) != nullptr; }

  // The value stored under key, or nullptr. The mutable form lets the caller edit it in place.
  Value* find(std::string_view key);
  const Value* find(std::string_view key) const;
  const Value* get(std::string_view key) const;
  Value* objectForKey(std::string_view key) { return find(key); }
  const Value* objectForKey(std::string_view key) const { return find(key); }

  // Stores value under key: in place when the key exists (its position is kept), else at the end.
  void set(std::string key, Value value);
  void set(detail::SharedText key, Value value);
  // Removes key; returns whether it was present.
  bool remove(std::string_view key);
  // Removes every listed key that is present and ignores the others; returns how many were removed.
  std::size_t removeObjectsForKeys(const std::vector<std::string>& keys);
  void clear();
  void reserve(std::size_t count);

  // Entries in order; iterate with `for (auto& [key, value] : dictionary)`.
  DictionaryEntry* begin();
  DictionaryEntry* end();
  const DictionaryEntry* begin() const;
  const DictionaryEntry* end() const;

  // Same keys with equal values; order is not compared.
  friend bool operator==(const Dictionary& a, const Dictionary& b);
  // Identifies the shared storage (nullptr when empty and never written to); copies that share
  // storage have the same identity.
  const void* identity() const { return storage_; }

 private:
  struct Storage;
  struct Borrowing {};
  Dictionary(const Dictionary& other, Borrowing);
  friend Value detail::borrowForReading(const Dictionary& dictionary);
  friend bool detail::isSharedStorage(const Dictionary& dictionary);
  friend class detail::DictionaryBuilder;
  Storage& mutableStorage();
  Storage& mutableStorageFor(std::size_t count);
  Storage* storage_ = nullptr;  // counted references; entries follow the header in one block
};

// An ordered sequence of values.
class Array {
 public:
  Array() = default;
  Array(std::initializer_list<Value> values);
  Array(const Array& other);
  Array(Array&& other) noexcept : storage_(std::exchange(other.storage_, nullptr)) {}
  Array& operator=(const Array& other);
  Array& operator=(Array&& other) noexcept;
  ~Array();

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  Value& operator[](std::size_t index);
  const Value& operator[](std::size_t index) const;

  void push_back(Value value);
  void insert(std::size_t index, Value value);
  void erase(std::size_t index);
  void clear();
  void reserve(std::size_t count);

  Value* begin();
  Value* end();
  const Value* begin() const;
  const Value* end() const;

  friend bool operator==(const Array& a, const Array& b);
  const void* identity() const { return storage_; }

 private:
  friend bool detail::isSharedStorage(const Array& array);
  struct Storage;
  Storage& mutableStorage();
  Storage& mutableStorageFor(std::size_t count);
  Storage* storage_ = nullptr;  // as Dictionary's
};

// One property-list value of any kind, in 16 bytes: a domain holds hundreds of thousands.
// A default-constructed Value is an empty dictionary.
class Value {
 public:
  Value() : kind_(Kind::Dictionary) { new (&dictionary_) Dictionary(); }
  Value(Dictionary dictionary) : kind_(Kind::Dictionary) { new (&dictionary_) Dictionary(std::move(dictionary)); }
  Value(Array array) : kind_(Kind::Array) { new (&array_) Array(std::move(array)); }
  Value(const std::string& text) : Value(detail::SharedText(text)) {}
  Value(std::string_view text) : Value(detail::SharedText(text)) {}
  Value(const char* text) : Value(detail::SharedText(text)) {}
  explicit Value(detail::SharedText text) : kind_(Kind::String) { new (&text_) detail::SharedText(std::move(text)); }
  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
  Value(T integer)
      : Value(std::is_signed_v<T> ? Integer(static_cast<std::int64_t>(integer))
                                  : Integer::fromUnsigned(static_cast<std::uint64_t>(integer))) {}
  Value(Integer integer) : bits_(integer.bits()), kind_(Kind::Integer), largeInteger_(!integer.toInt64()) {}
  Value(double real) : real_(real), kind_(Kind::Real) {}
  Value(bool boolean) : boolean_(boolean), kind_(Kind::Boolean) {}
  Value(Date date) : date_(date), kind_(Kind::Date) {}
  Value(Data data) : kind_(Kind::Data) { new (&data_) Data(std::move(data)); }
  Value(Uid uid) : uid_(uid), kind_(Kind::Uid) {}

  Value(const Value& other);
  Value(Value&& other) noexcept;
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept;
  ~Value() { destroy(); }

  Kind kind() const { return kind_; }
  bool isDictionary() const { return kind() == Kind::Dictionary; }
  bool isArray() const { return kind() == Kind::Array; }
  bool isString() const { return kind() == Kind::String; }
  bool isInteger() const { return kind() == Kind::Integer; }
  bool isReal() const { return kind() == Kind::Real; }
  bool isBoolean() const { return kind() == Kind::Boolean; }
  bool isDate() const { return kind() == Kind::Date; }
  bool isData() const { return kind() == Kind::Data; }
  bool isUid() const { return kind() == Kind::Uid; }

  // Each accessor returns nullptr / nothing when the value is of another kind.
  Dictionary* asDictionary() { return isDictionary() ? &dictionary_ : nullptr; }
  const Dictionary* asDictionary() const { return isDictionary() ? &dictionary_ : nullptr; }
  Array* asArray() { return isArray() ? &array_ : nullptr; }
  const Array* asArray() const { return isArray() ? &array_ : nullptr; }
  const std::string* asString() const { return isString() ? &text_.text() : nullptr; }
  std::optional<Integer> asInteger() const {
    if (!isInteger()) return std::nullopt;
    return largeInteger_ ? Integer::fromUnsigned(bits_) : Integer(static_cast<std::int64_t>(bits_));
  }
  std::optional<double> asReal() const { return isReal() ? std::optional<double>(real_) : std::nullopt; }
  std::optional<bool> asBoolean() const { return isBoolean() ? std::optional<bool>(boolean_) : std::nullopt; }
  std::optional<Date> asDate() const { return isDate() ? std::optional<Date>(date_) : std::nullopt; }
  const Data* asData() const { return isData() ? &data_ : nullptr; }
  std::optional<Uid> asUid() const { return isUid() ? std::optional<Uid>(uid_) : std::nullopt; }

  // The shared text of a string (with its hash), or nullptr.
  const detail::SharedText* sharedText() const { return isString() ? &text_ : nullptr; }

  // Identifies shared storage of containers, strings and data (nullptr for other kinds).
  const void* identity() const;

  // Deep comparison; reals compare by value, with NaN equal to NaN.
  friend bool operator==(const Value& a, const Value& b);

 private:
  void destroy() noexcept;
  void constructFrom(const Value& other);
  void constructFrom(Value&& other) noexcept;
  void copyScalar(const Value& other) noexcept;

  union {
    Dictionary dictionary_;
    Array array_;
    detail::SharedText text_;
    Data data_;
    std::uint64_t bits_;  // an integer's two's-complement bits
    double real_;
    bool boolean_;
    Date date_;
    Uid uid_;
  };
  Kind kind_;
  bool largeInteger_ = false;  // bits_ is an unsigned value above INT64_MAX
};

class DictionaryEntry {
 public:
  const std::string& key() const { return key_.text(); }
  // The key's shared text (with its hash), for the codecs.
  const detail::SharedText& sharedKey() const { return key_; }
  Value& value() { return value_; }
  const Value& value() const { return value_; }

  DictionaryEntry(const std::string& key, Value value) : key_(key), value_(std::move(value)) {}
  DictionaryEntry(detail::SharedText key, Value value) : key_(std::move(key)), value_(std::move(value)) {}

  template <std::size_t I>
  decltype(auto) get() & {
    if constexpr (I == 0) return key(); else return (value_);
  }
  template <std::size_t I>
  decltype(auto) get() const& {
    if constexpr (I == 0) return key(); else return (value_);
  }

 private:
  friend class Dictionary;
  friend class detail::DictionaryBuilder;
  detail::SharedText key_;
  Value value_;
};

namespace detail {
// Builds a dictionary of a known number of keys in its final storage, as a reader finds them:
// every key, then every value. A repeated key keeps its first position and takes its last
// value; repeats are found once all keys are in, before the values take memory.
class DictionaryBuilder {
 public:
  explicit DictionaryBuilder(std::size_t count);
  void addKey(SharedText key);
  void keysAdded();
  // The value of the keyIndex-th key added.
  void setValue(std::size_t keyIndex, Value value);
  Dictionary finish() &&;

 private:
  Dictionary dictionary_;
  std::vector<std::uint32_t> positions_;  // each key's entry, when some key repeated
};
}  // namespace detail

static_assert(sizeof(Value) == 16);
static_assert(sizeof(DictionaryEntry) == 24);

}  // namespace plist

template <>
struct std::tuple_size<plist::DictionaryEntry> : std::integral_constant<std::size_t, 2> {};
template <>
struct std::tuple_element<0, plist::DictionaryEntry> { using type = const std::string; };
template <>
struct std::tuple_element<1, plist::DictionaryEntry> { using type = plist::Value; };
