// The process's record of the store locks its handles hold (store_lock.hpp).
#include "ondrel/_native/store_lock.hpp"

#include <pthread.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

Holder handle_holding(dev_t dev, ino_t ino) {
  const std::lock_guard<std::mutex> guard(held_mutex);
  const pthread_t me = pthread_self();
  Holder found = Holder::kNone;
  for (const Held& h : held()) {
    if (h.dev != dev || h.ino != ino) continue;
    if (pthread_equal(h.thread, me)) return Holder::kThisThread;
    found = Holder::kOtherThread;
  }
  return found;
}

bool flocked_by_this_process(dev_t dev, ino_t ino) {
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return false;
  const unsigned long me = static_cast<unsigned long>(::getpid());
  char line[256];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5678 0 EOF"; waiters' lines hold "->".
    const char* fields[6] = {};
    int n = 0;
    char* save = nullptr;
    for (char* tok = strtok_r(line, " \t\n", &save); tok != nullptr && n < 6;
         tok = strtok_r(nullptr, " \t\n", &save))
      fields[n++] = tok;
    if (n < 6 || std::strcmp(fields[1], "FLOCK") != 0) continue;
    char* end = nullptr;
    if (std::strtoul(fields[4], &end, 10) != me || *end != '\0') continue;
    const unsigned long major_no = std::strtoul(fields[5], &end, 16);
    if (*end != ':') continue;
    const unsigned long minor_no = std::strtoul(end + 1, &end, 16);
    if (*end != ':') continue;
    const unsigned long long inode = std::strtoull(end + 1, &end, 10);
    found = *end == '\0' && major_no == major(dev) && minor_no == minor(dev) &&
            inode == static_cast<unsigned long long>(ino);
  }
  std::fclose(locks);
  return found;
}

}  // namespace ondrel::files
