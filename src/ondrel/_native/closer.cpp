// Closing a replaced file's last descriptor on a thread of its own (see closer.hpp).
#include "ondrel/_native/closer.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstddef>

#include "ondrel/_native/native_thread.hpp"

namespace ondrel::files {

namespace {

// Below this the release takes a few tenths of a millisecond: not worth a thread a save.
constexpr off_t kWorthAThread = off_t{1} << 20;
// More closes than this still pending: the save pays its own, so that released files cannot
// pile up behind a writer that saves faster than the kernel frees.
constexpr size_t kMaxPending = 4;

pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
// A slot stays taken until its thread is joined, so the thread may read its descriptor there.
struct Slot {
  pthread_t thread;
  int fd;
  bool taken;
};
Slot g_slots[kMaxPending];

void* close_fd(void* slot) {
  ::close(static_cast<Slot*>(slot)->fd);
  return nullptr;
}

// Joins the threads whose close has ended (all of them when `wait`); g_mu held. A free slot,
// or nullptr when every slot's thread is still closing.
Slot* reap(bool wait) {
  Slot* free_slot = nullptr;
  for (Slot& slot : g_slots) {
    if (slot.taken)
      slot.taken = (wait ? pthread_join(slot.thread, nullptr)
                         : pthread_tryjoin_np(slot.thread, nullptr)) != 0;
    if (!slot.taken) free_slot = &slot;
  }
  return free_slot;
}

// A fork waits for every pending close, so the child inherits none of those descriptors and
// the parent is as single-threaded as before the save (Python warns on a fork with threads).
void before_fork() {
  pthread_mutex_lock(&g_mu);
  reap(true);
}

void after_fork() { pthread_mutex_unlock(&g_mu); }

bool started(Slot* slot, int fd) {
  slot->fd = fd;
  slot->taken = threads::start(&slot->thread, close_fd, slot);
  return slot->taken;
}

}  // namespace

void close_replaced(int fd, off_t size) {
  static const bool fork_safe = pthread_atfork(before_fork, after_fork, after_fork) == 0;
  if (size >= kWorthAThread && fork_safe) {
    pthread_mutex_lock(&g_mu);
    Slot* slot = reap(false);
    const bool handed = slot != nullptr && started(slot, fd);
    pthread_mutex_unlock(&g_mu);
    if (handed) return;
  }
  ::close(fd);
}

}  // namespace ondrel::files
