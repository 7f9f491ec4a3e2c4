#pragma once
// The C library's malloc, tuned for a program whose work is reading and writing large
// property lists.

namespace plist {

// Keeps the memory that freed values and buffers held for the next ones, instead of handing
// it back to the kernel: glibc returns a large freed block (or the top of its heap) at once,
// and taking it back costs a page fault per 4 KB page, which was most of the time of reading
// a large domain a second time. Process-wide; call once at the start of main(), before any
// thread starts. The memory a program holds at its peak stays with it until it exits.
void keepFreedMemoryForReuse();

}  // namespace plist
