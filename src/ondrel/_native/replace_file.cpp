// The save of a whole document: the kernel opens the path, the open file decides between a
// new file renamed over its name and a write in place (see replace_file.hpp).
#include "ondrel/_native/replace_file.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "ondrel/_native/closer.hpp"
#include "ondrel/_native/file_attrs.hpp"
#include "ondrel/_native/new_file.hpp"
#include "ondrel/_native/store_lock.hpp"

namespace ondrel::files {

namespace {

constexpr int kMaxLinks = 40;     // as the kernel's own limit
constexpr int kMaxReopens = 100;  // the name kept changing under us: give up with EAGAIN

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Retries a call that a signal interrupted, as open() does (PEP 475), unless the caller's
// signal check says stop. -1 with errno, or the call's result.
template <typename Call>
int retrying(const SaveOptions& options, bool* stopped, Call call) {
  for (;;) {
    const int rc = call();
    if (rc >= 0 || errno != EINTR) return rc;
    if (options.interrupted != nullptr && !options.interrupted(options.context)) {
      *stopped = true;
      return -1;
    }
  }
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // 0, or the errno of a failed close (EINTR still closed the descriptor).
  int close() {
    const int rc = ::close(std::exchange(fd_, -1));
    return rc != 0 && errno != EINTR ? errno : 0;
  }

 private:
  int fd_;
};

// The name that a path opened as a regular file is known by: the path itself, or the file its
// chain of links ends at. Empty when the file has no such name (a link in /proc: a descriptor,
// /dev/stdout, a deleted file, a memfd); *moved when the path no longer leads to the file
// opened, because another saver renamed its file over the name since.
std::string name_of(const char* path, const struct stat& opened, bool* moved) {
  *moved = false;
  std::string name = path;
  struct stat st{};
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    if (::lstat(name.c_str(), &st) != 0) return *moved = true, std::string();
    if (!S_ISLNK(st.st_mode)) {
      if (S_ISREG(st.st_mode) && same_file(st, opened)) return name;
      return *moved = true, std::string();
    }
    std::string dir = dir_of(name);
    struct statfs fs{};
    if (::statfs(dir.c_str(), &fs) != 0 || fs.f_type == PROC_SUPER_MAGIC) return {};
    std::string to(256, '\0');
    for (;;) {
      const ssize_t n = ::readlink(name.c_str(), to.data(), to.size());
      if (n < 0) return *moved = true, std::string();
      if (static_cast<size_t>(n) < to.size()) {
        to.resize(static_cast<size_t>(n));
        break;
      }
      to.resize(to.size() * 2);
    }
    name = !to.empty() && to[0] == '/' ? std::move(to) : std::move(dir.append("/").append(to));
  }
  return {};
}

// The rename is not ours to make in a sticky folder that neither we nor the file own; root
// (CAP_FOWNER) is told by the rename itself.
bool sticky_elsewhere(const std::string& name, const struct stat& file) {
  struct stat dir{};
  if (::stat(dir_of(name).c_str(), &dir) != 0) return false;
  const uid_t me = ::geteuid();
  return (dir.st_mode & S_ISVTX) != 0 && me != 0 && file.st_uid != me && dir.st_uid != me;
}

// As "wb" writes: truncated, then written; emptied again when the write fails (a cut-off
// document could still parse, with records missing).
SaveResult write_in_place(Fd& fd, const struct stat& st, const char* data, size_t size,
                          const SaveOptions& options) {
  const bool regular = S_ISREG(st.st_mode);
  bool stopped = false;
  if (regular && ::ftruncate(fd.get(), 0) != 0) return {SaveResult::kWrite, errno, {}};
  int err = write_all(fd.get(), data, size, options.interrupted, options.context, &stopped);
  if (err != 0 && regular) {
    [[maybe_unused]] const int cut = ::ftruncate(fd.get(), 0);
  }
  if (stopped) return {SaveResult::kInterrupted, EINTR, {}};
  // FIFOs, sockets and most devices cannot sync (EINVAL): there is nothing to keep.
  if (err == 0 && options.durable && ::fsync(fd.get()) != 0 && errno != EINVAL) err = errno;
  const int closed = fd.close();
  if (err == 0) err = closed;
  if (err != 0) return {SaveResult::kWrite, err, {}};
  return {};
}

enum class Step : uint8_t { kSaved, kReopen };

// A regular file opened as `fd`, known by `name`: locked, then replaced by a new file beside
// it (or written in place where it cannot be). kReopen: the name now leads elsewhere.
Step replace(Fd& fd, const struct stat& st, const std::string& name, const char* data, size_t size,
             const SaveOptions& options, SaveResult* result) {
  bool stopped = false;
  struct stat now{};
  const Holder holder = handle_holding(st.st_dev, st.st_ino);
  if (holder != Holder::kThisThread) {
    int err = ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    // Taken elsewhere: wait, unless it is this process's own lock around its save (a handle of
    // another thread is waited for), which would never be released to us.
    if (err == EWOULDBLOCK &&
        (holder == Holder::kOtherThread || !flocked_by_this_process(st.st_dev, st.st_ino))) {
      err =
          retrying(options, &stopped, [&] { return ::flock(fd.get(), LOCK_EX); }) == 0 ? 0 : errno;
      if (stopped) return *result = {SaveResult::kInterrupted, EINTR, {}}, Step::kSaved;
    }
    // Where the file system has no such locks, the save goes on unlocked, as before.
    if (err != 0 && err != EWOULDBLOCK && err != ENOLCK && err != EOPNOTSUPP && err != EINVAL)
      return *result = {SaveResult::kOpen, err, {}}, Step::kSaved;
    // A saver before us renamed a new file over the name while we waited.
    if (::lstat(name.c_str(), &now) != 0 || !same_file(now, st)) return Step::kReopen;
  }
  if (sticky_elsewhere(name, st))
    return *result = write_in_place(fd, st, data, size, options), Step::kSaved;
  NewFile file;
  const int err = file.create(name);
  // No new file can be made beside the target: write in place, as "wb" would.
  if (err == EACCES || err == EPERM || err == EROFS)
    return *result = write_in_place(fd, st, data, size, options), Step::kSaved;
  if (err != 0) return *result = {SaveResult::kOpen, err, {}}, Step::kSaved;
  CarryResult carried = carry_attributes(fd.get(), st, file.fd());
  if (carried.outcome == CarryResult::kOwner) {
    file.discard();  // the file keeps its owner: only an in-place write can give it that
    return *result = write_in_place(fd, st, data, size, options), Step::kSaved;
  }
  if (carried.outcome == CarryResult::kAttribute)
    return *result = {SaveResult::kAttribute, carried.err, std::move(carried.name)}, Step::kSaved;
  const int written = file.write(data, size, options, &stopped);
  if (stopped) return *result = {SaveResult::kInterrupted, EINTR, {}}, Step::kSaved;
  if (written != 0) return *result = {SaveResult::kWrite, written, {}}, Step::kSaved;
  // The name must still be the file opened: a writer that takes no lock may have replaced it.
  if (::lstat(name.c_str(), &now) != 0 || !same_file(now, st)) return Step::kReopen;
  const int renamed = file.rename_over(name);
  // A file mounted on its own (EBUSY, EXDEV), or a sticky folder that root may not rename in.
  if (renamed == EBUSY || renamed == EXDEV || renamed == EPERM) {
    file.discard();
    return *result = write_in_place(fd, st, data, size, options), Step::kSaved;
  }
  if (renamed != 0) return *result = {SaveResult::kWrite, renamed, {}}, Step::kSaved;
  // Waiters for the lock see the new file at once; the old one's pages go with its last
  // descriptor, which may take a while for a large file.
  if (holder != Holder::kThisThread) ::flock(fd.get(), LOCK_UN);
  close_replaced(fd.release(), st.st_size);
  *result = options.durable ? sync_dir(dir_of(name)) : SaveResult{};
  return Step::kSaved;
}

// A name that does not exist yet: a new file beside it, linked in only if the name is still
// free (a handle may have made it meanwhile to lock it). kReopen: it exists now.
Step create(const char* path, const char* data, size_t size, const SaveOptions& options,
            SaveResult* result) {
  NewFile file;
  const int err = file.create(path);
  if (err != 0) return *result = {SaveResult::kOpen, err, {}}, Step::kSaved;
  bool stopped = false;
  const int written = file.write(data, size, options, &stopped);
  if (stopped) return *result = {SaveResult::kInterrupted, EINTR, {}}, Step::kSaved;
  if (written != 0) return *result = {SaveResult::kWrite, written, {}}, Step::kSaved;
  const int linked = file.link_as(path);
  if (linked == EEXIST) return Step::kReopen;
  if (linked != 0) return *result = {SaveResult::kWrite, linked, {}}, Step::kSaved;
  *result = options.durable ? sync_dir(dir_of(path)) : SaveResult{};
  return Step::kSaved;
}

SaveResult save(const char* path, const char* data, size_t size, const SaveOptions& options) {
  for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
    SaveResult result;
    struct stat st{};
    // A name that is not there at all (not even a dangling link) is made by rename; anything
    // else is opened by the kernel, with O_CREAT so that protected_regular and
    // protected_fifos apply as they do to "wb" (a dangling link's target is made there).
    if (::lstat(path, &st) != 0 && errno == ENOENT) {
      if (create(path, data, size, options, &result) == Step::kSaved) return result;
      continue;
    }
    bool stopped = false;
    Fd fd(retrying(options, &stopped,
                   [&] { return ::open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666); }));
    if (stopped) return {SaveResult::kInterrupted, EINTR, {}};
    if (fd.get() < 0) return {SaveResult::kOpen, errno, {}};
    if (::fstat(fd.get(), &st) != 0) return {SaveResult::kOpen, errno, {}};
    bool moved = false;
    const std::string name = S_ISREG(st.st_mode) ? name_of(path, st, &moved) : "";
    // Written in place, the file opened would be one that readers may hold and that no name
    // leads to any more: they would see it cut, and the save would be lost. Open the name
    // again instead.
    if (moved) continue;
    if (name.empty()) return write_in_place(fd, st, data, size, options);
    if (replace(fd, st, name, data, size, options, &result) == Step::kSaved) return result;
  }
  return {SaveResult::kOpen, EAGAIN, {}};
}

}  // namespace

SaveResult save_whole_file(const char* path, const char* data, size_t size,
                           const SaveOptions& options) {
  try {
    return save(path, data, size, options);
  } catch (const std::bad_alloc&) {
    return {SaveResult::kNoMemory, ENOMEM, {}};
  }
}

}  // namespace ondrel::files
