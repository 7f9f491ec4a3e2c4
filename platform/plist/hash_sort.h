#pragma once
// Finding equal items among many by sorting their hashes (internal).

#include <cstdint>
#include <vector>

namespace plist::detail {

// Sorts (hash << 32 | index) pairs by hash, indices in rising order among equal hashes, so that
// items with equal hashes lie next to one another. Three stable passes of eleven bits each,
// reading and writing memory in sequence: where a hash table of many items is probed at a
// random place per item and misses the cache each time, this costs a few passes.
void sortByHash(std::vector<std::uint64_t>& pairs);

}  // namespace plist::detail
