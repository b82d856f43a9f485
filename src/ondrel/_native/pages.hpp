// How a large fresh block's pages come in. Plain POSIX, no Python.
#pragma once

#include <pthread.h>

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

// Lets the next block of up to n bytes come from the heap instead of a fresh mapping. glibc maps
// each block past its mapping threshold afresh, so that every page of it faults in again, and it
// raises the threshold (up to 32 MiB) to the size of a mapped block once that is freed. One
// block of n allocated and freed here does that when n is past the threshold; otherwise it is
// a heap block's allocation and no more.
void heap_block_next(size_t n);

// prefault for a block that the caller writes from its start, right after. From 8 MiB of
// cold pages, where another CPU is free to help, only the first third comes in before the
// constructor returns; the rest comes in on a thread of its own while the caller writes, and
// the destructor waits for it. Pages the caller reaches first fault in as they are written.
// A slow writer (one that makes its text as it goes) leaves the helper all but the first MiB.
class Prefault {
 public:
  Prefault(void* p, size_t n, bool slow_writer = false);
  Prefault(const Prefault&) = delete;
  Prefault& operator=(const Prefault&) = delete;
  ~Prefault();

 private:
  static void* advise_rest(void* self);
  static void join_all();
  char* rest_ = nullptr;
  size_t rest_size_ = 0;
  pthread_t helper_{};
  bool helped_ = false;
  bool linked_ = false;       // among those whose helper a fork waits for
  Prefault* next_ = nullptr;  // the next of those
};

}  // namespace ondrel::pages
