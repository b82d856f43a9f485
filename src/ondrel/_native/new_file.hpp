// The new file of a save, from creation beside its target to the rename that commits it,
// and the small file helpers the save shares. Plain POSIX, no Python.
#pragma once

#include <cstddef>
#include <string>

#include "ondrel/_native/replace_file.hpp"

namespace ondrel::files {

std::string dir_of(const std::string& path);

// 0 or the errno of a failed write; a signal's EINTR asks `interrupted` whether to go on
// (false: *stopped is set and EINTR returned).
int write_all(int fd, const char* data, size_t size, bool (*interrupted)(void*), void* context,
              bool* stopped);

// The rename lives in the directory: without this sync a power cut may undo it.
SaveResult sync_dir(const std::string& dir);

// Removed on every path that does not reach the rename or link, which is the commit point.
class NewFile {
 public:
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { discard(); }

  // 0, or the errno of the last attempt. A hidden unique name beside `target`, mode 0666 less
  // the umask; O_EXCL never opens another writer's file.
  int create(const std::string& target);
  int fd() const { return fd_; }
  // The whole content, synced when options.durable, then closed: 0 or an errno.
  int write(const char* data, size_t size, const SaveOptions& options, bool* stopped);
  // Renamed over `target` (0, or the errno; the new file stays until discarded).
  int rename_over(const std::string& target);
  // Given the name `target` only if no file has it (EEXIST otherwise).
  int link_as(const std::string& target);
  // Closes and removes the new file unless the rename took it; again, nothing.
  void discard();

 private:
  int fd_ = -1;
  std::string name_;
};

}  // namespace ondrel::files
