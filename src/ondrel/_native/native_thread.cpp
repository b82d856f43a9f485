#include "ondrel/_native/native_thread.hpp"

#include <sched.h>
#include <signal.h>

#include <cstddef>

namespace ondrel::threads {

bool start(pthread_t* thread, void* (*run)(void*), void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setstacksize(&attr, size_t{64} << 10);
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const bool ok = pthread_create(thread, &attr, run, arg) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);
  return ok;
}

bool many_cpus() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) > 1;
}

}  // namespace ondrel::threads
