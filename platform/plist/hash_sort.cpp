#include "plist/hash_sort.h"

#include <cstddef>

namespace plist::detail {

void sortByHash(std::vector<std::uint64_t>& pairs) {
  constexpr unsigned kBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  std::vector<std::uint64_t> other(pairs.size());
  std::vector<std::size_t> next(kBuckets + 1);
  for (unsigned shift = 32; shift < 64; shift += kBits) {
    next.assign(kBuckets + 1, 0);
    for (const std::uint64_t pair : pairs) ++next[((pair >> shift) & (kBuckets - 1)) + 1];
    for (std::size_t b = 1; b <= kBuckets; ++b) next[b] += next[b - 1];
    for (const std::uint64_t pair : pairs) other[next[(pair >> shift) & (kBuckets - 1)]++] = pair;
    pairs.swap(other);
  }
}

}  // namespace plist::detail
