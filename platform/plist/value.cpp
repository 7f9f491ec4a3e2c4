#include "plist/value.h"

#include "plist/hash_sort.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <unordered_map>

namespace plist {

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Dictionary: return "dictionary";
    case Kind::Array: return "array";
    case Kind::String: return "string";
    case Kind::Integer: return "integer";
    case Kind::Real: return "real";
    case Kind::Boolean: return "boolean";
    case Kind::Date: return "date";
    case Kind::Data: return "data";
    case Kind::Uid: return "UID";
  }
  return "unknown";
}

std::string Integer::toString() const {
  return large_ ? std::to_string(bits_) : std::to_string(static_cast<std::int64_t>(bits_));
}

namespace {
const detail::SharedText& emptyBytes() {
  static const detail::SharedText empty{std::string_view()};
  return empty;
}
}  // namespace

Data::Data() : bytes_(emptyBytes()) {}

namespace {
std::uint64_t load64(const char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}
std::uint32_t load32(const char* at) {
  std::uint32_t word;
  std::memcpy(&word, at, 4);
  return word;
}
// Both halves of a 128-bit product, folded: every input bit reaches every output bit.
std::uint64_t foldedProduct(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}
}  // namespace

// Texts are hashed where they are needed rather than kept with each one, so hashing must be
// cheap for the short keys of a domain: sixteen bytes per multiplication, a key of up to
// sixteen bytes in one, read as (possibly overlapping) words.
std::uint32_t detail::hashText(std::string_view text) {
  constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL, k1 = 0xe7037ed1a0b428dbULL, k2 = 0x8ebc6af09c88c6e3ULL;
  const char* at = text.data();
  std::size_t left = text.size();
  std::uint64_t seed = k0 ^ foldedProduct(text.size() ^ k1, k2);
  for (; left > 16; at += 16, left -= 16) seed = foldedProduct(load64(at) ^ k1, load64(at + 8) ^ seed);
  std::uint64_t a = 0, b = 0;
  if (left >= 8) {
    a = load64(at);
    b = load64(at + left - 8);
  } else if (left >= 4) {
    a = load32(at);
    b = load32(at + left - 4);
  } else if (left > 0) {
    a = (std::uint64_t{static_cast<unsigned char>(at[0])} << 16) |
        (std::uint64_t{static_cast<unsigned char>(at[left / 2])} << 8) | static_cast<unsigned char>(at[left - 1]);
  }
  const std::uint64_t hash = foldedProduct(k1 ^ left, foldedProduct(a ^ k1, b ^ seed));
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

namespace detail {

SharedText::SharedText(std::string_view text) {
  static_assert(sizeof(Header) == 2 && sizeof(Own) % alignof(Own) == 0 && alignof(Header) <= alignof(Own));
  void* memory = ::operator new(sizeof(Own) + sizeof(Header) + text.size());
  auto* own = new (memory) Own{{1}, text.size(), hashText(text), {nullptr}};
  header_ = new (own + 1) Header{kOwnSize};
  std::memcpy(const_cast<char*>(header_->characters()), text.data(), text.size());
}

SharedText::SharedText(std::string_view text, TextArena& arena) {
  if (text.size() > kLargestInArena) {
    header_ = nullptr;
    *this = SharedText(text);
    return;
  }
  void* memory = arena.allocate(sizeof(Header) + text.size());
  header_ = new (memory) Header{static_cast<std::uint16_t>(text.size())};
  std::memcpy(const_cast<char*>(header_->characters()), text.data(), text.size());
  arena.retain();
}

void SharedText::destroy(Header* header) noexcept {
  Own* own = reinterpret_cast<Own*>(header) - 1;
  delete own->text.load(std::memory_order_acquire);
  header->~Header();
  own->~Own();
  ::operator delete(own);
}

const std::string& SharedText::text() const {
  if (!isOwn()) return TextArena::owning(header_)->textOf(header_, view());
  auto& made = own()->text;
  if (const std::string* text = made.load(std::memory_order_acquire)) return *text;
  auto* text = new std::string(view());
  const std::string* expected = nullptr;
  // Two threads holding copies may race here: the first one's string is kept.
  if (!made.compare_exchange_strong(expected, text, std::memory_order_acq_rel, std::memory_order_acquire)) {
    delete text;
    return *expected;
  }
  return *text;
}

// The std::string forms of texts in the arena, made when asked for: keyed by the text's header.
struct TextArena::Made {
  std::mutex mutex;
  std::unordered_map<const void*, std::string> texts;
};

TextArena* TextArena::create() { return new TextArena(); }

// Texts lie within one segment, two-byte aligned for their headers, after the segment's
// first word: the arena's address. Chunks double from one segment to sixteen, so that a small
// document takes little and a large one few allocations.
void* TextArena::allocate(std::size_t bytes) {
  static_assert(alignof(TextArena*) % alignof(std::uint16_t) == 0);
  bytes = (bytes + alignof(std::uint16_t) - 1) & ~(alignof(std::uint16_t) - 1);
  if (static_cast<std::size_t>(segmentEnd_ - free_) < bytes) {
    if (segmentEnd_ == chunkEnd_) {
      const std::size_t size = nextChunkSegments_ * kSegmentSize;
      void* chunk = ::operator new(size, std::align_val_t{kSegmentSize});
      chunks_.push_back(chunk);
      nextChunkSegments_ = std::min<std::size_t>(2 * nextChunkSegments_, 16);
      segmentEnd_ = static_cast<char*>(chunk);
      chunkEnd_ = segmentEnd_ + size;
    }
    free_ = segmentEnd_;
    segmentEnd_ += kSegmentSize;
    TextArena* self = this;
    std::memcpy(free_, &self, sizeof self);
    free_ += sizeof self;
  }
  void* memory = free_;
  free_ += bytes;
  return memory;
}

const std::string& TextArena::textOf(const void* header, std::string_view view) {
  Made* made = made_.load(std::memory_order_acquire);
  if (!made) {
    auto* fresh = new Made();
    if (made_.compare_exchange_strong(made, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
      made = fresh;
    } else {
      delete fresh;
    }
  }
  std::lock_guard lock(made->mutex);
  return made->texts.try_emplace(header, view).first->second;  // nodes stay where they are
}

void TextArena::destroy(TextArena* arena) noexcept {
  for (void* chunk : arena->chunks_) ::operator delete(chunk, std::align_val_t{kSegmentSize});
  delete arena->made_.load(std::memory_order_acquire);
  delete arena;
}

}  // namespace detail

namespace {
// Containers keep their header and their elements in one block, with a count of the
// Dictionary, Array and Value objects that share it.
template <typename Storage>
Storage* retained(Storage* storage) {
  if (storage) storage->references.fetch_add(1, std::memory_order_relaxed);
  return storage;
}
template <typename Storage>
void release(Storage* storage) noexcept {
  if (!storage || storage->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  std::destroy_n(storage->elements(), storage->size);
  storage->~Storage();
  ::operator delete(storage);
}

// A new block with room for newCapacity elements, holding copies of these (or, when the
// block has no other owner, these themselves, moved).
template <typename Storage>
Storage* copy(Storage& from, std::size_t newCapacity, bool moveElements) {
  Storage* other = Storage::allocate(std::max<std::size_t>(newCapacity, from.size));
  if (moveElements) {
    std::uninitialized_move_n(from.elements(), from.size, other->elements());
  } else {
    std::uninitialized_copy_n(from.elements(), from.size, other->elements());
  }
  other->size = from.size;
  return other;
}

// What a copy of a container shares: its storage, unless pointers into that were handed
// out (then later edits through them must not show through the copy).
template <typename Storage>
Storage* storageForCopy(Storage* storage) {
  return storage && storage->leaked ? copy(*storage, storage->size, false) : retained(storage);
}

// The container's own storage, with room for count elements: copied if shared, grown
// (doubling) if full.
template <typename Storage>
Storage& ownStorage(Storage*& storage, std::size_t count) {
  if (!storage) {
    storage = Storage::allocate(count);
  } else {
    const bool shared = storage->references.load(std::memory_order_acquire) > 1;
    if (shared || count > storage->capacity) {
      const std::size_t doubled = std::min<std::size_t>(2 * std::size_t{storage->capacity}, Storage::kMaxCapacity);
      const std::size_t capacity = count > storage->capacity ? std::max(count, doubled) : storage->capacity;
      release(std::exchange(storage, copy(*storage, capacity, !shared)));
    }
  }
  return *storage;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Dictionary: entries in order and, above a few entries, an open-addressing index of their
// positions, all in one block sized for `capacity` entries. A slot holds position + 1 in its
// low `slotBits` bits and the rest of the key's hash above them, so probing seldom touches an
// entry, and a slot is four bytes.
//
// The index is built by the first lookup, not when the dictionary is made: a program that
// reads a large domain only to write or check it never looks a key up, and the index's part of
// the block is then never touched and takes no memory.

namespace {
// The slots of a dictionary's index. With up to 2^31 entries, a slot count may reach 2^32:
// tags are shifted as 64-bit values.
class PositionSlots {
 public:
  PositionSlots(std::uint32_t* slots, unsigned bits) : slots_(slots), bits_(bits) {}

  // log2 of the slot count for count keys: at most half full.
  static unsigned bitsFor(std::size_t count) {
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < count * 2) ++bits;
    return bits;
  }
  std::size_t count() const { return std::size_t{1} << bits_; }

  // The position whose key (keyAt(position)) equals key, or -1.
  template <typename KeyAt>
  std::ptrdiff_t find(std::string_view key, std::uint32_t hash, KeyAt keyAt) const {
    const std::size_t mask = count() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t held = slots_[slot];
      if (held == 0) return -1;
      if ((std::uint64_t{held} >> bits_) != (std::uint64_t{hash} >> bits_)) continue;
      const std::size_t position = (held & mask) - 1;
      if (keyAt(position) == key) return static_cast<std::ptrdiff_t>(position);
    }
  }
  // For a key known to be absent.
  void insert(std::uint32_t hash, std::size_t position) {
    const std::size_t mask = count() - 1;
    std::size_t slot = hash & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<std::uint32_t>(((std::uint64_t{hash} >> bits_) << bits_) | (position + 1));
  }

 private:
  std::uint32_t* slots_;
  unsigned bits_;
};
}  // namespace

struct Dictionary::Storage {
  static constexpr std::size_t kLinearScanLimit = 8;
  // Positions and the slot count must fit a slot's 32 bits.
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 31;
  enum : std::uint8_t { kUnindexed, kIndexing, kIndexed };

  std::atomic<std::uint32_t> references{1};
  // Set when a mutable pointer or iterator into this storage was handed out: copies of the
  // owning Dictionary then take their own storage so that later edits through those pointers
  // cannot show through the copy.
  bool leaked = false;
  std::uint8_t slotBits = 0;  // log2 of the slot count; 0: no index, entries are scanned
  // Copies in two threads may look up at once: one builds the index, the other scans.
  mutable std::atomic<std::uint8_t> indexState{kUnindexed};
  std::uint32_t size = 0;
  std::uint32_t capacity = 0;

  DictionaryEntry* entries() { return reinterpret_cast<DictionaryEntry*>(this + 1); }
  const DictionaryEntry* entries() const { return reinterpret_cast<const DictionaryEntry*>(this + 1); }
  DictionaryEntry* elements() { return entries(); }
  // The index follows the entries; it is written only through slots(), by the thread that
  // builds it or by the storage's sole owner.
  std::uint32_t* slotMemory() const {
    return const_cast<std::uint32_t*>(reinterpret_cast<const std::uint32_t*>(entries() + capacity));
  }
  PositionSlots slots() const { return {slotMemory(), slotBits}; }

  static Storage* allocate(std::size_t capacity) {
    if (capacity > kMaxCapacity) throw std::length_error("plist::Dictionary: too many entries");
    static_assert(sizeof(Storage) == 16 && sizeof(Storage) % alignof(DictionaryEntry) == 0);
    const unsigned bits = capacity > kLinearScanLimit ? PositionSlots::bitsFor(capacity) : 0;
    const std::size_t slotBytes = bits ? (std::size_t{1} << bits) * sizeof(std::uint32_t) : 0;
    void* memory = ::operator new(sizeof(Storage) + capacity * sizeof(DictionaryEntry) + slotBytes);
    auto* storage = new (memory) Storage;
    storage->capacity = static_cast<std::uint32_t>(capacity);
    storage->slotBits = static_cast<std::uint8_t>(bits);
    return storage;
  }

  std::ptrdiff_t indexOf(std::string_view key) const {
    if (slotBits && indexed())
      return slots().find(key, detail::hashText(key), [this](std::size_t i) { return entries()[i].key_.view(); });
    for (std::size_t i = 0; i < size; ++i)
      if (entries()[i].key_.view() == key) return static_cast<std::ptrdiff_t>(i);
    return -1;
  }

  // Whether the index can be used, building it if nobody is: a thread that finds another
  // building it scans the entries meanwhile.
  bool indexed() const {
    std::uint8_t state = indexState.load(std::memory_order_acquire);
    if (state == kIndexed) return true;
    if (state == kIndexing ||
        !indexState.compare_exchange_strong(state, kIndexing, std::memory_order_acq_rel, std::memory_order_acquire))
      return state == kIndexed;
    PositionSlots index = slots();
    std::memset(slotMemory(), 0, index.count() * sizeof(std::uint32_t));
    for (std::size_t i = 0; i < size; ++i) index.insert(entries()[i].key_.hash(), i);
    indexState.store(kIndexed, std::memory_order_release);
    return true;
  }
  // After an edit that moved entries: the next lookup indexes them again.
  void unindex() { indexState.store(kUnindexed, std::memory_order_relaxed); }

  void append(detail::SharedText key, Value value) {
    new (entries() + size) DictionaryEntry(std::move(key), std::move(value));
    if (slotBits && indexState.load(std::memory_order_relaxed) == kIndexed) slots().insert(entries()[size].key_.hash(), size);
    ++size;
  }

  void eraseAt(std::size_t position) {
    std::move(entries() + position + 1, entries() + size, entries() + position);
    std::destroy_at(entries() + --size);
    unindex();
  }
};

Dictionary::Dictionary(std::initializer_list<std::pair<std::string, Value>> entries) {
  reserve(entries.size());
  for (const auto& [key, value] : entries) set(key, value);
}

detail::DictionaryBuilder::DictionaryBuilder(std::size_t count) {
  if (count) dictionary_.storage_ = Dictionary::Storage::allocate(count);
}

void detail::DictionaryBuilder::addKey(SharedText key) {
  Dictionary::Storage& storage = *dictionary_.storage_;
  new (storage.entries() + storage.size++) DictionaryEntry(std::move(key), Value());
}

void detail::DictionaryBuilder::keysAdded() {
  if (!dictionary_.storage_) return;
  Dictionary::Storage& storage = *dictionary_.storage_;
  DictionaryEntry* entries = storage.entries();
  const std::size_t count = storage.size;
  // Each key's first occurrence, made only when some key repeats.
  std::vector<std::uint32_t> firstOf;
  auto repeats = [&](std::size_t later, std::size_t earlier) {
    if (firstOf.empty())
      for (std::size_t i = 0; i < count; ++i) firstOf.push_back(static_cast<std::uint32_t>(i));
    firstOf[later] = static_cast<std::uint32_t>(earlier);
  };
  if (count <= Dictionary::Storage::kLinearScanLimit) {
    for (std::size_t later = 1; later < count; ++later)
      for (std::size_t earlier = 0; earlier < later; ++earlier)
        if (entries[earlier].key_.view() == entries[later].key_.view()) {
          repeats(later, earlier);
          break;
        }
  } else {
    std::vector<std::uint64_t> sorted(count);
    for (std::size_t i = 0; i < count; ++i) sorted[i] = (std::uint64_t{entries[i].key_.hash()} << 32) | i;
    sortByHash(sorted);
    for (std::size_t run = 0, end; run < count; run = end) {
      const std::uint64_t hash = sorted[run] >> 32;
      for (end = run + 1; end < count && sorted[end] >> 32 == hash; ++end) {
        const std::size_t later = static_cast<std::uint32_t>(sorted[end]);
        for (std::size_t k = run; k < end; ++k) {
          const std::size_t earlier = static_cast<std::uint32_t>(sorted[k]);
          if (entries[earlier].key_.view() == entries[later].key_.view()) {
            repeats(later, earlier);
            break;
          }
        }
      }
    }
  }
  if (firstOf.empty()) return;
  // Repeats are dropped and the others close up; each key's value goes to its first entry.
  positions_.resize(count);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (firstOf[i] != i) {
      positions_[i] = positions_[firstOf[i]];
      continue;
    }
    if (kept != i) entries[kept] = std::move(entries[i]);
    positions_[i] = static_cast<std::uint32_t>(kept++);
  }
  std::destroy(entries + kept, entries + count);
  storage.size = static_cast<std::uint32_t>(kept);
}

void detail::DictionaryBuilder::setValue(std::size_t keyIndex, Value value) {
  const std::size_t position = positions_.empty() ? keyIndex : positions_[keyIndex];
  // Replaced in place (value is not a part of what it replaces): one move, where assignment
  // takes two.
  Value& entry = dictionary_.storage_->entries()[position].value_;
  std::destroy_at(&entry);
  new (&entry) Value(std::move(value));
}

Dictionary detail::DictionaryBuilder::finish() && { return std::move(dictionary_); }

Value detail::borrowForReading(const Dictionary& dictionary) {
  return Value(Dictionary(dictionary, Dictionary::Borrowing{}));
}

bool detail::isSharedStorage(const Dictionary& dictionary) {
  return dictionary.storage_ && dictionary.storage_->references.load(std::memory_order_acquire) > 1;
}

Dictionary::Dictionary(const Dictionary& other, Borrowing) : storage_(retained(other.storage_)) {}

Dictionary::Dictionary(const Dictionary& other) : storage_(storageForCopy(other.storage_)) {}
Dictionary& Dictionary::operator=(const Dictionary& other) {
  if (this != &other) *this = Dictionary(other);
  return *this;
}
Dictionary& Dictionary::operator=(Dictionary&& other) noexcept {
  // other may live inside this dictionary's storage: it is taken before that is released.
  release(std::exchange(storage_, std::exchange(other.storage_, nullptr)));
  return *this;
}
Dictionary::~Dictionary() { release(storage_); }

Dictionary::Storage& Dictionary::mutableStorage() { return mutableStorageFor(size()); }

Dictionary::Storage& Dictionary::mutableStorageFor(std::size_t count) { return ownStorage(storage_, count); }

std::size_t Dictionary::size() const { return storage_ ? storage_->size : 0; }

Value* Dictionary::find(std::string_view key) {
  if (!storage_) return nullptr;
  const std::ptrdiff_t index = storage_->indexOf(key);
  if (index < 0) return nullptr;
  Storage& storage = mutableStorage();  // a copy keeps the order, so the position holds
  storage.leaked = true;
  return &storage.entries()[index].value();
}

const Value* Dictionary::find(std::string_view key) const { return get(key); }

const Value* Dictionary::get(std::string_view key) const {
  if (!storage_) return nullptr;
  const std::ptrdiff_t index = storage_->indexOf(key);
  return index < 0 ? nullptr : &storage_->entries()[index].value();
}

void Dictionary::set(std::string key, Value value) { set(detail::SharedText(key), std::move(value)); }

void Dictionary::set(detail::SharedText key, Value value) {
  const std::ptrdiff_t index = storage_ ? storage_->indexOf(key.view()) : -1;
  if (index >= 0) {
    mutableStorage().entries()[index].value() = std::move(value);
  } else {
    mutableStorageFor(size() + 1).append(std::move(key), std::move(value));
  }
}

bool Dictionary::remove(std::string_view key) {
  if (!storage_) return false;
  const std::ptrdiff_t index = storage_->indexOf(key);
  if (index < 0) return false;
  mutableStorage().eraseAt(static_cast<std::size_t>(index));
  return true;
}

std::size_t Dictionary::removeObjectsForKeys(const std::vector<std::string>& keys) {
  if (!storage_ || keys.empty()) return 0;
  std::vector<std::size_t> doomed;
  for (const std::string& key : keys) {
    const std::ptrdiff_t index = storage_->indexOf(key);
    if (index >= 0) doomed.push_back(static_cast<std::size_t>(index));
  }
  if (doomed.empty()) return 0;
  std::sort(doomed.begin(), doomed.end());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());

  Storage& storage = mutableStorage();
  DictionaryEntry* entries = storage.entries();
  std::size_t kept = 0;
  auto next = doomed.begin();
  for (std::size_t i = 0; i < storage.size; ++i) {
    if (next != doomed.end() && *next == i) {
      ++next;
      continue;
    }
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  std::destroy(entries + kept, entries + storage.size);
  storage.size = static_cast<std::uint32_t>(kept);
  storage.unindex();
  return doomed.size();
}

void Dictionary::clear() { release(std::exchange(storage_, nullptr)); }

void Dictionary::reserve(std::size_t count) { mutableStorageFor(std::max(count, size())); }

DictionaryEntry* Dictionary::begin() {
  if (!storage_) return nullptr;
  Storage& storage = mutableStorage();
  storage.leaked = true;
  return storage.entries();
}
DictionaryEntry* Dictionary::end() {
  if (!storage_) return nullptr;
  return begin() + storage_->size;
}
const DictionaryEntry* Dictionary::begin() const { return storage_ ? storage_->entries() : nullptr; }
const DictionaryEntry* Dictionary::end() const { return storage_ ? storage_->entries() + storage_->size : nullptr; }

bool operator==(const Dictionary& a, const Dictionary& b) {
  if (a.storage_ == b.storage_) return true;
  if (a.size() != b.size()) return false;
  for (const DictionaryEntry& entry : std::as_const(a)) {
    const Value* other = b.get(entry.sharedKey().view());
    if (!other || !(*other == entry.value())) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Array: the values follow the header in one block.

struct Array::Storage {
  static constexpr std::size_t kMaxCapacity = 0xFFFFFFFF;

  std::atomic<std::uint32_t> references{1};
  bool leaked = false;  // as for Dictionary::Storage
  std::uint32_t size = 0;
  std::uint32_t capacity = 0;

  Value* values() { return reinterpret_cast<Value*>(this + 1); }
  const Value* values() const { return reinterpret_cast<const Value*>(this + 1); }
  Value* elements() { return values(); }

  static Storage* allocate(std::size_t capacity) {
    static_assert(sizeof(Storage) == 16 && sizeof(Storage) % alignof(Value) == 0);
    if (capacity > kMaxCapacity) throw std::length_error("plist::Array: too many values");
    auto* storage = new (::operator new(sizeof(Storage) + capacity * sizeof(Value))) Storage;
    storage->capacity = static_cast<std::uint32_t>(capacity);
    return storage;
  }
};

Array::Array(std::initializer_list<Value> values) {
  Storage& storage = mutableStorageFor(values.size());
  std::uninitialized_copy(values.begin(), values.end(), storage.values());
  storage.size = static_cast<std::uint32_t>(values.size());
}
bool detail::isSharedStorage(const Array& array) {
  return array.storage_ && array.storage_->references.load(std::memory_order_acquire) > 1;
}

Array::Array(const Array& other) : storage_(storageForCopy(other.storage_)) {}
Array& Array::operator=(const Array& other) {
  if (this != &other) *this = Array(other);
  return *this;
}
Array& Array::operator=(Array&& other) noexcept {
  release(std::exchange(storage_, std::exchange(other.storage_, nullptr)));
  return *this;
}
Array::~Array() { release(storage_); }

Array::Storage& Array::mutableStorage() { return mutableStorageFor(size()); }

Array::Storage& Array::mutableStorageFor(std::size_t count) { return ownStorage(storage_, count); }

std::size_t Array::size() const { return storage_ ? storage_->size : 0; }

Value& Array::operator[](std::size_t index) {
  Storage& storage = mutableStorage();
  storage.leaked = true;
  return storage.values()[index];
}
const Value& Array::operator[](std::size_t index) const { return storage_->values()[index]; }

void Array::push_back(Value value) {
  Storage& storage = mutableStorageFor(size() + 1);
  new (storage.values() + storage.size) Value(std::move(value));
  ++storage.size;
}
void Array::insert(std::size_t index, Value value) {
  Storage& storage = mutableStorageFor(size() + 1);
  Value* values = storage.values();
  index = std::min<std::size_t>(index, storage.size);
  if (index == storage.size) {
    new (values + storage.size) Value(std::move(value));
  } else {
    new (values + storage.size) Value(std::move(values[storage.size - 1]));
    std::move_backward(values + index, values + storage.size - 1, values + storage.size);
    values[index] = std::move(value);
  }
  ++storage.size;
}
void Array::erase(std::size_t index) {
  if (index >= size()) return;
  Storage& storage = mutableStorage();
  std::move(storage.values() + index + 1, storage.values() + storage.size, storage.values() + index);
  std::destroy_at(storage.values() + --storage.size);
}
void Array::clear() { release(std::exchange(storage_, nullptr)); }
void Array::reserve(std::size_t count) { mutableStorageFor(std::max(count, size())); }

Value* Array::begin() {
  if (!storage_) return nullptr;
  Storage& storage = mutableStorage();
  storage.leaked = true;
  return storage.values();
}
Value* Array::end() {
  if (!storage_) return nullptr;
  return begin() + storage_->size;
}
const Value* Array::begin() const { return storage_ ? storage_->values() : nullptr; }
const Value* Array::end() const { return storage_ ? storage_->values() + storage_->size : nullptr; }

bool operator==(const Array& a, const Array& b) {
  if (a.storage_ == b.storage_) return true;
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!(std::as_const(a)[i] == std::as_const(b)[i])) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Value

void Value::destroy() noexcept {
  switch (kind_) {
    case Kind::Dictionary: dictionary_.~Dictionary(); break;
    case Kind::Array: array_.~Array(); break;
    case Kind::String: text_.~SharedText(); break;
    case Kind::Data: data_.~Data(); break;
    default: break;
  }
}

void Value::constructFrom(const Value& other) {
  kind_ = other.kind_;
  largeInteger_ = other.largeInteger_;
  switch (other.kind_) {
    case Kind::Dictionary: new (&dictionary_) Dictionary(other.dictionary_); break;
    case Kind::Array: new (&array_) Array(other.array_); break;
    case Kind::String: new (&text_) detail::SharedText(other.text_); break;
    case Kind::Data: new (&data_) Data(other.data_); break;
    default: copyScalar(other); break;
  }
}

void Value::copyScalar(const Value& other) noexcept {
  switch (other.kind_) {
    case Kind::Integer: bits_ = other.bits_; break;
    case Kind::Real: real_ = other.real_; break;
    case Kind::Boolean: boolean_ = other.boolean_; break;
    case Kind::Date: date_ = other.date_; break;
    case Kind::Uid: uid_ = other.uid_; break;
    default: break;
  }
}

void Value::constructFrom(Value&& other) noexcept {
  kind_ = other.kind_;
  largeInteger_ = other.largeInteger_;
  switch (other.kind_) {
    case Kind::Dictionary: new (&dictionary_) Dictionary(std::move(other.dictionary_)); break;
    case Kind::Array: new (&array_) Array(std::move(other.array_)); break;
    case Kind::String: new (&text_) detail::SharedText(std::move(other.text_)); break;
    case Kind::Data: new (&data_) Data(std::move(other.data_)); break;
    default: copyScalar(other); break;
  }
}

Value::Value(const Value& other) { constructFrom(other); }
Value::Value(Value&& other) noexcept { constructFrom(std::move(other)); }
Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value copy(other);  // other may live inside this value
    destroy();
    constructFrom(std::move(copy));
  }
  return *this;
}
Value& Value::operator=(Value&& other) noexcept {
  if (this != &other) {
    Value taken(std::move(other));
    destroy();
    constructFrom(std::move(taken));
  }
  return *this;
}

const void* Value::identity() const {
  switch (kind()) {
    case Kind::Dictionary: return dictionary_.identity();
    case Kind::Array: return array_.identity();
    case Kind::String: return text_.identity();
    case Kind::Data: return data_.identity();
    default: return nullptr;
  }
}

bool operator==(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Dictionary: return a.dictionary_ == b.dictionary_;
    case Kind::Array: return a.array_ == b.array_;
    case Kind::String: return a.text_ == b.text_;
    case Kind::Data: return a.data_ == b.data_;
    case Kind::Integer: return a.bits_ == b.bits_ && a.largeInteger_ == b.largeInteger_;
    case Kind::Boolean: return a.boolean_ == b.boolean_;
    case Kind::Uid: return a.uid_ == b.uid_;
    case Kind::Real:
    case Kind::Date: {
      const double x = a.kind() == Kind::Real ? a.real_ : a.date_.secondsSinceReferenceDate;
      const double y = b.kind() == Kind::Real ? b.real_ : b.date_.secondsSinceReferenceDate;
      return x == y || (std::isnan(x) && std::isnan(y));
    }
  }
  return false;
}

}  // namespace plist
