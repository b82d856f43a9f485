// The new file of a save and the helpers it shares (new_file.hpp).
#include "ondrel/_native/new_file.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace ondrel::files {

namespace {

uint64_t name_salt() {
  static std::atomic<uint64_t> counter{0};
  uint64_t salt = 0;
  if (::getrandom(&salt, sizeof salt, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof salt)) {
    struct timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    salt = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 30);
  }
  return salt ^ (static_cast<uint64_t>(::getpid()) << 40) ^ counter.fetch_add(1);
}

}  // namespace

std::string dir_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int write_all(int fd, const char* data, size_t size, bool (*interrupted)(void*), void* context,
              bool* stopped) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno != EINTR) return errno;
      if (interrupted != nullptr && !interrupted(context)) {
        *stopped = true;
        return EINTR;
      }
      continue;
    }
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

SaveResult sync_dir(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {SaveResult::kDirSync, errno, {}};
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  // EINVAL: a file system that cannot sync a directory, and needs no such sync.
  if (rc != 0 && err != EINVAL) return {SaveResult::kDirSync, err, {}};
  return {};
}

int NewFile::create(const std::string& target) {
  const std::string dir = dir_of(target);
  const size_t slash = target.rfind('/');
  // Cut so that the name stays within NAME_MAX whatever the target's length.
  const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1, 100);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp",
                  static_cast<unsigned long long>(name_salt()));
    std::string name = dir;
    name.append("/.").append(base).append(suffix);
    // 0666: the umask applies, as for open(path, "wb").
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      name_ = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int NewFile::write(const char* data, size_t size, const SaveOptions& options, bool* stopped) {
  int err = write_all(fd_, data, size, options.interrupted, options.context, stopped);
  if (err == 0 && options.durable && ::fsync(fd_) != 0) err = errno;
  if (err != 0) return err;
  const int closed = ::close(std::exchange(fd_, -1));
  return closed != 0 && errno != EINTR ? errno : 0;
}

int NewFile::rename_over(const std::string& target) {
  if (::rename(name_.c_str(), target.c_str()) != 0) return errno;
  name_.clear();  // committed: the name is the target's now
  return 0;
}

int NewFile::link_as(const std::string& target) {
  if (::renameat2(AT_FDCWD, name_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    name_.clear();
    return 0;
  }
  // A file system without RENAME_NOREPLACE: a hard link refuses a taken name the same way.
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (::link(name_.c_str(), target.c_str()) != 0) return errno;
  return 0;  // discard() removes the temporary name
}

void NewFile::discard() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (!name_.empty()) ::unlink(name_.c_str());
  name_.clear();
}

}  // namespace ondrel::files
