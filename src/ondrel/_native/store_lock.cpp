// The process's record of the store locks its handles hold (store_lock.hpp).
#include "ondrel/_native/store_lock.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace ondrel::files {

namespace {

struct Held {
  dev_t dev;
  ino_t ino;
  pthread_t thread;
};

// Few handles are open at once: a vector under a mutex (saves may run without the GIL).
std::mutex held_mutex;
std::vector<Held>& held() {
  static std::vector<Held>* locks = new std::vector<Held>();  // outlives every thread
  return *locks;
}

}  // namespace

void note_held(dev_t dev, ino_t ino) {
  const std::lock_guard<std::mutex> guard(held_mutex);
  held().push_back({dev, ino, pthread_self()});
}

void note_dropped(dev_t dev, ino_t ino) {
  const std::lock_guard<std::mutex> guard(held_mutex);
  auto& locks = held();
  const pthread_t me = pthread_self();
  const auto it = std::find_if(locks.begin(), locks.end(), [&](const Held& h) {
    return h.dev == dev && h.ino == ino && pthread_equal(h.thread, me);
  });
  if (it != locks.end()) locks.erase(it);
}

bool held_by_this_thread(dev_t dev, ino_t ino) {
  const std::lock_guard<std::mutex> guard(held_mutex);
  const pthread_t me = pthread_self();
  return std::any_of(held().begin(), held().end(), [&](const Held& h) {
    return h.dev == dev && h.ino == ino && pthread_equal(h.thread, me);
  });
}

}  // namespace ondrel::files
