#include "plist/memory.h"

#include <malloc.h>

namespace plist {

void keepFreedMemoryForReuse() {
  // Blocks up to glibc's largest threshold (32 MB on 64-bit machines) come from the heap,
  // which is reused, rather than from their own mapping, which is unmapped when freed.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  // Free memory at the top of the heap stays mapped...
  mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
  // ...and the heap grows in steps that save one system call per few pages.
  mallopt(M_TOP_PAD, 4 * 1024 * 1024);
}

}  // namespace plist
