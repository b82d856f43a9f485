// How a large fresh block's pages come in. Plain POSIX, no Python.
#pragma once

#include <cstddef>

namespace ondrel::pages {

constexpr size_t kPrefaultMin = size_t{1} << 20;

// A fresh block's pages fault in one at a time as they are first written: a trap each, half
// of encoding a 72 MB str. For a block of 1 MiB or more that will be written whole, one
// madvise faults them in together, 40% faster. Memory the allocator reuses is resident
// already, and there the advice would cost a third of a microsecond a page for nothing: a
// page in the middle says which it is. Best effort, errno kept: a kernel before 5.14 refuses
// the advice, and the pages then fault in as before.
void prefault(void* p, size_t n);

}  // namespace ondrel::pages
