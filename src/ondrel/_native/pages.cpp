#include "ondrel/_native/pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>

namespace ondrel::pages {

void prefault(void* p, size_t n) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (n < kPrefaultMin) return;
  // Page bounds as offsets from p, so that every pointer is p's own.
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t misalign = reinterpret_cast<uintptr_t>(p) & (page - 1);
  const size_t lead = misalign == 0 ? 0 : page - misalign;
  if (n < lead + page) return;
  const size_t count = (n - lead) / page;
  char* const first = static_cast<char*>(p) + lead;
  const int saved = errno;
  unsigned char resident = 1;
  if (mincore(first + count / 2 * page, page, &resident) == 0 && (resident & 1) == 0)
    (void)madvise(first, count * page, MADV_POPULATE_WRITE);
  errno = saved;
#else
  (void)p;
  (void)n;
#endif
}

}  // namespace ondrel::pages
