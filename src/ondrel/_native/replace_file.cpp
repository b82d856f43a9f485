// The new-file-then-rename save of a whole document (see replace_file.hpp).
#include "ondrel/_native/replace_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

namespace ondrel::files {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit, then ELOOP

std::string dir_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool read_link(const std::string& path, std::string* out) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      *out = std::move(text);
      return true;
    }
    text.resize(text.size() * 2);
  }
}

// How a path is saved, decided once from what it is now.
struct Plan {
  enum Kind : uint8_t { kInPlace, kReplace, kCreate } kind = kInPlace;
  std::string target;  // the file replaced or made: a link's final target
  struct stat old{};   // kReplace: the file replaced
};

Plan plan_for(const char* path) {
  Plan plan;
  plan.target = path;
  struct stat st{};
  for (int hops = 0;; ++hops) {
    if (::lstat(plan.target.c_str(), &st) != 0) {
      // A path (or a dangling link's target) that does not exist yet is made; any other
      // failure is left to the open in place, which reports it as before.
      if (errno == ENOENT) plan.kind = Plan::kCreate;
      return plan;
    }
    if (S_ISREG(st.st_mode)) {
      plan.kind = Plan::kReplace;
      plan.old = st;
      return plan;
    }
    // Never replaced by a file: devices, FIFOs, sockets, directories.
    if (!S_ISLNK(st.st_mode) || hops == kMaxLinks) return plan;
    std::string to;
    if (!read_link(plan.target, &to)) return plan;
    plan.target = !to.empty() && to[0] == '/' ? to : dir_of(plan.target) + "/" + to;
  }
}

int write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

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

// The new file, from creation to the rename: removed on every path that does not reach the
// rename, which is the commit point.
class NewFile {
 public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { discard(); }

  // Closes and removes the new file unless the rename took it; again, nothing.
  void discard() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (!name_.empty()) ::unlink(name_.c_str());
    name_.clear();
  }

  // 0, or the errno of the last attempt. A hidden name beside the target; O_EXCL never
  // opens another writer's file.
  int create(const std::string& target) {
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

  // The old file's owner and group (where this process may set them) and permission bits.
  int keep_attributes(const struct stat& old) {
    struct stat now{};
    if (::fstat(fd_, &now) != 0) return errno;
    const bool owner_differs = now.st_uid != old.st_uid || now.st_gid != old.st_gid;
    if (owner_differs && ::fchown(fd_, old.st_uid, old.st_gid) != 0) {
      // EPERM for another owner; the group alone may still be ours to give.
      [[maybe_unused]] const int group_only = ::fchown(fd_, static_cast<uid_t>(-1), old.st_gid);
    }
    // After a change of owner (which clears set-id bits) or when the bits differ. A failure
    // would leave the document readable by more than before: refuse it.
    if ((owner_differs || (now.st_mode & 07777) != (old.st_mode & 07777)) &&
        ::fchmod(fd_, old.st_mode & 07777) != 0)
      return errno;
    return 0;
  }

  // kDone with `err` EBUSY or EXDEV: the target cannot be renamed over (a file mounted on its
  // own, as containers do), the new file is gone and the caller writes in place.
  SaveResult commit(const std::string& target, const char* data, size_t size, bool durable) {
    int err = write_all(fd_, data, size);
    if (err == 0 && durable && ::fsync(fd_) != 0) err = errno;
    if (err != 0) return {SaveResult::kWrite, err};
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0 && errno != EINTR) return {SaveResult::kWrite, errno};
    if (::rename(name_.c_str(), target.c_str()) != 0) {
      if (errno == EBUSY || errno == EXDEV) return {SaveResult::kDone, errno};
      return {SaveResult::kWrite, errno};
    }
    name_.clear();  // committed: the name is the target's now
    if (durable) return sync_dir(dir_of(target));
    return {SaveResult::kDone, 0};
  }

 private:
  // The rename lives in the directory: without this sync a power cut may undo it.
  static SaveResult sync_dir(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {SaveResult::kDirSync, errno};
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    // EINVAL: a file system that cannot sync a directory, and needs no such sync.
    if (rc != 0 && err != EINVAL) return {SaveResult::kDirSync, err};
    return {SaveResult::kDone, 0};
  }

  int fd_ = -1;
  std::string name_;
};

// As before this owner existed: truncated at open, one write, emptied again when the write
// fails (a cut-off document could still parse, with records missing).
SaveResult save_in_place(const char* path, const char* data, size_t size, bool durable) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return {SaveResult::kOpen, errno};
  int err = write_all(fd, data, size);
  if (err != 0) {
    [[maybe_unused]] const int cut = ::ftruncate(fd, 0);
  }
  // FIFOs, sockets and most devices cannot sync (EINVAL): there is nothing to keep.
  if (err == 0 && durable && ::fsync(fd) != 0 && errno != EINVAL) err = errno;
  if (err != 0) {
    ::close(fd);
    return {SaveResult::kWrite, err};
  }
  if (::close(fd) != 0 && errno != EINTR) return {SaveResult::kWrite, errno};
  return {SaveResult::kDone, 0};
}

SaveResult save(const char* path, const char* data, size_t size, bool durable) {
  const Plan plan = plan_for(path);
  if (plan.kind == Plan::kInPlace) return save_in_place(path, data, size, durable);
  // A file this process may not write stays as it is, as an open for writing would leave it.
  if (plan.kind == Plan::kReplace &&
      ::faccessat(AT_FDCWD, plan.target.c_str(), W_OK, AT_EACCESS) != 0)
    return {SaveResult::kOpen, errno};
  NewFile file;
  const int err = file.create(plan.target);
  // No new file can be made beside the target: write in place, so that saves that worked
  // before still do.
  if (err == EACCES || err == EPERM || err == EROFS)
    return save_in_place(path, data, size, durable);
  if (err != 0) return {SaveResult::kOpen, err};
  if (plan.kind == Plan::kReplace) {
    const int kept = file.keep_attributes(plan.old);
    if (kept != 0) return {SaveResult::kWrite, kept};
  }
  const SaveResult done = file.commit(plan.target, data, size, durable);
  if (done.stage == SaveResult::kDone && done.err != 0) {
    file.discard();
    return save_in_place(path, data, size, durable);
  }
  return done;
}

}  // namespace

SaveResult save_whole_file(const char* path, const char* data, size_t size, bool durable) {
  try {
    return save(path, data, size, durable);
  } catch (const std::bad_alloc&) {
    return {SaveResult::kNoMemory, ENOMEM};
  }
}

}  // namespace ondrel::files
