#include "plist/value.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>

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

std::size_t detail::hashText(std::string_view text) { return std::hash<std::string_view>{}(text); }

detail::SharedText::SharedText(std::string_view text) {
  static_assert(alignof(Block) <= alignof(std::max_align_t));
  void* memory = ::operator new(sizeof(Block) + text.size());
  block_ = new (memory) Block{{1}, hashText(text), text.size(), {nullptr}};
  std::memcpy(static_cast<char*>(memory) + sizeof(Block), text.data(), text.size());
}

void detail::SharedText::destroy(Block* block) noexcept {
  delete block->text.load(std::memory_order_acquire);
  block->~Block();
  ::operator delete(block);
}

const std::string& detail::SharedText::makeText() const {
  auto* made = new std::string(view());
  const std::string* expected = nullptr;
  // Two threads holding copies may race here: the first one's string is kept.
  if (!block_->text.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
    delete made;
    return *expected;
  }
  return *made;
}

// ---------------------------------------------------------------------------------------------
// Dictionary: entries in order plus, above a few entries, an open-addressing hash index of
// positions into the entries. Keys carry their hash, and each slot keeps the hash's high half
// beside the position, so probing seldom touches an entry and rebuilding never rehashes.

struct Dictionary::Storage {
  static constexpr std::size_t kLinearScanLimit = 8;
  static constexpr std::uint64_t kEmptySlot = 0;  // slots hold (hash high half << 32) | position + 1

  std::vector<DictionaryEntry> entries;
  std::vector<std::uint64_t> slots;  // empty while entries are few enough to scan
  // Set when a mutable pointer or iterator into this storage was handed out: copies of the
  // owning Dictionary then take their own storage so that later edits through those pointers
  // cannot show through the copy.
  bool leaked = false;

  static std::uint64_t tagOf(std::size_t hash) { return static_cast<std::uint64_t>(hash) & 0xFFFFFFFF00000000ULL; }

  std::ptrdiff_t indexOf(std::string_view key, std::size_t hash) const {
    if (slots.empty()) {
      for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].key_.hash() == hash && entries[i].key_.view() == key) return static_cast<std::ptrdiff_t>(i);
      return -1;
    }
    const std::size_t mask = slots.size() - 1;
    const std::uint64_t tag = tagOf(hash);
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const std::uint64_t held = slots[slot];
      if (held == kEmptySlot) return -1;
      if ((held & 0xFFFFFFFF00000000ULL) != tag) continue;
      const std::size_t position = (held & 0xFFFFFFFF) - 1;
      if (entries[position].key_.view() == key) return static_cast<std::ptrdiff_t>(position);
    }
  }
  std::ptrdiff_t indexOf(std::string_view key) const { return indexOf(key, detail::hashText(key)); }

  void indexEntry(std::size_t position) {
    const std::size_t mask = slots.size() - 1;
    const std::size_t hash = entries[position].key_.hash();
    std::size_t slot = hash & mask;
    while (slots[slot] != kEmptySlot) slot = (slot + 1) & mask;
    slots[slot] = tagOf(hash) | (position + 1);
  }

  void rebuildIndex(std::size_t forCount) {
    slots.clear();
    if (forCount <= kLinearScanLimit) return;
    std::size_t capacity = 16;
    while (capacity < forCount * 2) capacity *= 2;
    slots.assign(capacity, kEmptySlot);
    for (std::size_t i = 0; i < entries.size(); ++i) indexEntry(i);
  }

  // Indexes all entries in one pass, which keeps several probes in flight at once instead of
  // one per insertion. A repeated key hands its value to the first entry with that key and is
  // dropped.
  void indexAllMergingRepeats() {
    slots.clear();
    if (entries.size() <= kLinearScanLimit) {
      for (std::size_t i = 1; i < entries.size(); ++i) {
        const std::ptrdiff_t first = indexOfAmong(i, entries[i].key_);
        if (first >= 0) return mergeRepeats();
      }
      return;
    }
    std::size_t capacity = 16;
    while (capacity < entries.size() * 2) capacity *= 2;
    slots.assign(capacity, kEmptySlot);
    const std::size_t mask = capacity - 1;
    for (std::size_t position = 0; position < entries.size(); ++position) {
      const detail::SharedText& key = entries[position].key_;
      const std::uint64_t tag = tagOf(key.hash());
      std::size_t slot = key.hash() & mask;
      for (; slots[slot] != kEmptySlot; slot = (slot + 1) & mask) {
        if ((slots[slot] & 0xFFFFFFFF00000000ULL) == tag && entries[(slots[slot] & 0xFFFFFFFF) - 1].key_ == key)
          return mergeRepeats();
      }
      slots[slot] = tag | (position + 1);
    }
  }

  // The first of entries[0, end) with this key, or -1.
  std::ptrdiff_t indexOfAmong(std::size_t end, const detail::SharedText& key) const {
    for (std::size_t i = 0; i < end; ++i)
      if (entries[i].key_ == key) return static_cast<std::ptrdiff_t>(i);
    return -1;
  }

  // The rare path: rebuilds the entries one by one with the ordinary rules.
  void mergeRepeats() {
    std::vector<DictionaryEntry> all = std::move(entries);
    entries.clear();
    entries.reserve(all.size());
    rebuildIndex(all.size());
    for (DictionaryEntry& entry : all) {
      const std::ptrdiff_t index = indexOf(entry.key_.view(), entry.key_.hash());
      if (index >= 0) {
        entries[index].value_ = std::move(entry.value_);
      } else {
        append(std::move(entry.key_), std::move(entry.value_));
      }
    }
  }

  void append(detail::SharedText key, Value value) {
    entries.emplace_back(std::move(key), std::move(value));
    const std::size_t count = entries.size();
    if (slots.empty() && count <= kLinearScanLimit) return;  // small: found by scanning
    if (slots.size() < count * 2) {
      rebuildIndex(count);  // amortised: capacity doubles
    } else {
      indexEntry(count - 1);  // the index exists (built early by reserve) and has room
    }
  }
};

Dictionary::Dictionary() = default;

Dictionary::Dictionary(std::initializer_list<std::pair<std::string, Value>> entries) {
  reserve(entries.size());
  for (const auto& [key, value] : entries) set(key, value);
}

Dictionary Dictionary::fromEntries(std::vector<DictionaryEntry> entries) {
  Dictionary dictionary;
  if (entries.empty()) return dictionary;
  Storage& storage = dictionary.mutableStorage();
  storage.entries = std::move(entries);
  storage.indexAllMergingRepeats();
  return dictionary;
}

Value detail::borrowForReading(const Dictionary& dictionary) {
  return Value(Dictionary(dictionary, Dictionary::Borrowing{}));
}

Dictionary::Dictionary(const Dictionary& other) : storage_(other.storage_) {
  if (storage_ && storage_->leaked) {
    auto copy = std::make_shared<Storage>(*storage_);
    copy->leaked = false;
    storage_ = std::move(copy);
  }
}
Dictionary::Dictionary(Dictionary&& other) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary& other) {
  if (this != &other) *this = Dictionary(other);
  return *this;
}
Dictionary& Dictionary::operator=(Dictionary&& other) noexcept = default;
Dictionary::~Dictionary() = default;

Dictionary::Storage& Dictionary::mutableStorage() {
  if (!storage_) {
    storage_ = std::make_shared<Storage>();
  } else if (storage_.use_count() > 1) {
    auto copy = std::make_shared<Storage>(*storage_);
    copy->leaked = false;
    storage_ = std::move(copy);
  }
  return *storage_;
}

std::size_t Dictionary::size() const { return storage_ ? storage_->entries.size() : 0; }

Value* Dictionary::find(std::string_view key) {
  if (!storage_) return nullptr;
  const std::ptrdiff_t index = storage_->indexOf(key);
  if (index < 0) return nullptr;
  Storage& storage = mutableStorage();  // a copy keeps the order, so the position holds
  storage.leaked = true;
  return &storage.entries[index].value();
}

const Value* Dictionary::find(std::string_view key) const { return get(key); }

const Value* Dictionary::get(std::string_view key) const {
  if (!storage_) return nullptr;
  const std::ptrdiff_t index = storage_->indexOf(key);
  return index < 0 ? nullptr : &storage_->entries[index].value();
}

void Dictionary::set(std::string key, Value value) { set(detail::SharedText(key), std::move(value)); }

void Dictionary::set(detail::SharedText key, Value value) {
  Storage& storage = mutableStorage();
  const std::ptrdiff_t index = storage.indexOf(key.view(), key.hash());
  if (index >= 0) {
    storage.entries[index].value() = std::move(value);
  } else {
    storage.append(std::move(key), std::move(value));
  }
}

bool Dictionary::remove(std::string_view key) {
  if (!storage_) return false;
  const std::ptrdiff_t index = storage_->indexOf(key);
  if (index < 0) return false;
  Storage& storage = mutableStorage();
  storage.entries.erase(storage.entries.begin() + index);
  storage.rebuildIndex(storage.entries.size());
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
  std::size_t kept = 0;
  auto next = doomed.begin();
  for (std::size_t i = 0; i < storage.entries.size(); ++i) {
    if (next != doomed.end() && *next == i) {
      ++next;
      continue;
    }
    if (kept != i) storage.entries[kept] = std::move(storage.entries[i]);
    ++kept;
  }
  storage.entries.erase(storage.entries.begin() + kept, storage.entries.end());
  storage.rebuildIndex(storage.entries.size());
  return doomed.size();
}

void Dictionary::clear() {
  if (size() == 0) return;
  storage_.reset();
}

void Dictionary::reserve(std::size_t count) {
  Storage& storage = mutableStorage();
  storage.entries.reserve(count);
  if (count > Storage::kLinearScanLimit && storage.slots.size() < count * 2) storage.rebuildIndex(count);
}

DictionaryEntry* Dictionary::begin() {
  if (!storage_) return nullptr;
  Storage& storage = mutableStorage();
  storage.leaked = true;
  return storage.entries.data();
}
DictionaryEntry* Dictionary::end() {
  if (!storage_) return nullptr;
  return begin() + storage_->entries.size();
}
const DictionaryEntry* Dictionary::begin() const {
  return storage_ ? storage_->entries.data() : nullptr;
}
const DictionaryEntry* Dictionary::end() const {
  return storage_ ? storage_->entries.data() + storage_->entries.size() : nullptr;
}

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
// Array

struct Array::Storage {
  std::vector<Value> values;
  bool leaked = false;  // as for Dictionary::Storage
};

Array::Array() = default;
Array::Array(std::initializer_list<Value> values) {
  mutableStorage().values.assign(values.begin(), values.end());
}
Array::Array(const Array& other) : storage_(other.storage_) {
  if (storage_ && storage_->leaked) {
    auto copy = std::make_shared<Storage>(*storage_);
    copy->leaked = false;
    storage_ = std::move(copy);
  }
}
Array::Array(Array&& other) noexcept = default;
Array& Array::operator=(const Array& other) {
  if (this != &other) *this = Array(other);
  return *this;
}
Array& Array::operator=(Array&& other) noexcept = default;
Array::~Array() = default;

Array::Storage& Array::mutableStorage() {
  if (!storage_) {
    storage_ = std::make_shared<Storage>();
  } else if (storage_.use_count() > 1) {
    auto copy = std::make_shared<Storage>(*storage_);
    copy->leaked = false;
    storage_ = std::move(copy);
  }
  return *storage_;
}

std::size_t Array::size() const { return storage_ ? storage_->values.size() : 0; }

Value& Array::operator[](std::size_t index) {
  Storage& storage = mutableStorage();
  storage.leaked = true;
  return storage.values[index];
}
const Value& Array::operator[](std::size_t index) const { return storage_->values[index]; }

void Array::push_back(Value value) { mutableStorage().values.push_back(std::move(value)); }
void Array::insert(std::size_t index, Value value) {
  auto& values = mutableStorage().values;
  values.insert(values.begin() + static_cast<std::ptrdiff_t>(std::min(index, values.size())),
                std::move(value));
}
void Array::erase(std::size_t index) {
  if (index >= size()) return;
  auto& values = mutableStorage().values;
  values.erase(values.begin() + static_cast<std::ptrdiff_t>(index));
}
void Array::clear() { storage_.reset(); }
void Array::reserve(std::size_t count) { mutableStorage().values.reserve(count); }

Value* Array::begin() {
  if (!storage_) return nullptr;
  Storage& storage = mutableStorage();
  storage.leaked = true;
  return storage.values.data();
}
Value* Array::end() {
  if (!storage_) return nullptr;
  return begin() + storage_->values.size();
}
const Value* Array::begin() const { return storage_ ? storage_->values.data() : nullptr; }
const Value* Array::end() const {
  return storage_ ? storage_->values.data() + storage_->values.size() : nullptr;
}

bool operator==(const Array& a, const Array& b) {
  if (a.storage_ == b.storage_) return true;
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!(std::as_const(a)[i] == std::as_const(b)[i])) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Value

const void* Value::identity() const {
  switch (kind()) {
    case Kind::Dictionary: return std::get<Dictionary>(v_).identity();
    case Kind::Array: return std::get<Array>(v_).identity();
    case Kind::String: return std::get<detail::SharedText>(v_).identity();
    case Kind::Data: return std::get<Data>(v_).identity();
    default: return nullptr;
  }
}

bool operator==(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  if (a.kind() == Kind::Real) {
    const double x = std::get<double>(a.v_), y = std::get<double>(b.v_);
    return x == y || (std::isnan(x) && std::isnan(y));
  }
  if (a.kind() == Kind::Date) {
    const double x = std::get<Date>(a.v_).secondsSinceReferenceDate;
    const double y = std::get<Date>(b.v_).secondsSinceReferenceDate;
    return x == y || (std::isnan(x) && std::isnan(y));
  }
  return a.v_ == b.v_;
}

}  // namespace plist
