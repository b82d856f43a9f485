#include "ondrel/_native/pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "ondrel/_native/native_thread.hpp"

namespace ondrel::pages {

namespace {

constexpr size_t kHelpedMin = size_t{8} << 20;

// The Prefaults whose helper may still run, linked through next_. A fork waits for every
// helper, so the child inherits none and the parent is as single-threaded as before (Python
// warns on a fork with threads): a str builder's helper runs while the document is made, when
// Python code may run and fork.
pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
Prefault* g_helped = nullptr;

void after_fork() { pthread_mutex_unlock(&g_mu); }

// The whole pages of [p, p + n) when they are not resident yet (count 0 otherwise).
struct ColdPages {
  char* first = nullptr;
  size_t count = 0;
  size_t size = 0;
};

ColdPages cold_pages([[maybe_unused]] void* p, [[maybe_unused]] size_t n) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (n < kPrefaultMin) return {};
  // Page bounds as offsets from p, so that every pointer is p's own.
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t misalign = reinterpret_cast<uintptr_t>(p) & (page - 1);
  const size_t lead = misalign == 0 ? 0 : page - misalign;
  if (n < lead + page) return {};
  const size_t count = (n - lead) / page;
  char* const first = static_cast<char*>(p) + lead;
  unsigned char resident = 1;
  if (mincore(first + count / 2 * page, page, &resident) != 0 || (resident & 1) != 0) return {};
  return {first, count, page};
#else
  return {};
#endif
}

void advise([[maybe_unused]] char* p, [[maybe_unused]] size_t n) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  (void)madvise(p, n, MADV_POPULATE_WRITE);
#endif
}

}  // namespace

void prefault(void* p, size_t n) {
  const int saved = errno;
  const ColdPages cold = cold_pages(p, n);
  if (cold.count != 0) advise(cold.first, cold.count * cold.size);
  errno = saved;
}

void* Prefault::advise_rest(void* self) {
  const auto* pf = static_cast<const Prefault*>(self);
  advise(pf->rest_, pf->rest_size_);
  return nullptr;
}

Prefault::Prefault(void* p, size_t n, bool slow_writer) {
  const int saved = errno;
  const ColdPages cold = cold_pages(p, n);
  size_t now = cold.count;
  // The helper starts a third in: from a half, the caller's own share kept its writing
  // waiting; from a quarter, the writing overtook the helper (measured on a 74.6 MB str).
  // A slow writer leaves it all but the first slice (a 74.6 MB str decoded as the document
  // is made: 48 -> 45 ms with a third, 41 ms with a slice).
  static const bool fork_safe = pthread_atfork(join_all, after_fork, after_fork) == 0;
  if (cold.count * cold.size >= kHelpedMin && fork_safe && threads::many_cpus()) {
    const size_t own = slow_writer ? kPrefaultMin / cold.size : cold.count / 3;
    rest_ = cold.first + own * cold.size;
    rest_size_ = (cold.count - own) * cold.size;
    pthread_mutex_lock(&g_mu);
    helped_ = threads::start(&helper_, advise_rest, this);
    if (helped_) {
      next_ = g_helped;
      g_helped = this;
      linked_ = true;
      now = own;
    }
    pthread_mutex_unlock(&g_mu);
  }
  if (now != 0) advise(cold.first, now * cold.size);
  errno = saved;
}

Prefault::~Prefault() {
  if (!linked_) return;
  pthread_mutex_lock(&g_mu);
  if (helped_) pthread_join(helper_, nullptr);
  for (Prefault** at = &g_helped; *at != nullptr; at = &(*at)->next_) {
    if (*at == this) {
      *at = next_;
      break;
    }
  }
  pthread_mutex_unlock(&g_mu);
}

// Before a fork, with g_mu held until after it.
void Prefault::join_all() {
  pthread_mutex_lock(&g_mu);
  for (Prefault* p = g_helped; p != nullptr; p = p->next_) {
    if (p->helped_) pthread_join(p->helper_, nullptr);
    p->helped_ = false;
  }
}

void heap_block_next(size_t n) {
#if defined(__GLIBC__)
  void* volatile block = std::malloc(n);  // volatile: the pair must not be optimised away
  std::free(block);
#else
  (void)n;
#endif
}

}  // namespace ondrel::pages
