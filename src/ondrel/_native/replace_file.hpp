// Saving a whole document to a path so that readers, crashes and failures see the old
// document or the new one, never a part. A save is permitted exactly when opening the path
// for writing would be: the kernel opens it (every link, permission, ACL, protected_* and LSM
// check applies), and what the open file is decides how it is written. Plain POSIX, no
// Python: callers drop the GIL around it and take it back only in `interrupted`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ondrel::files {

struct SaveResult {
  enum Stage : uint8_t {
    kDone,
    kOpen,         // the file could not be opened or made (`err`)
    kWrite,        // writing, syncing, closing or renaming failed with `err`
    kAttribute,    // `attribute` of the old file could not be carried over (`err`); untouched
    kDirSync,      // the new document is in place; syncing its directory failed with `err`
    kInterrupted,  // `interrupted` said stop: its exception is pending; untouched
    kNoMemory,
  } stage = kDone;
  int err = 0;
  std::string attribute;
};

struct SaveOptions {
  bool durable = false;  // sync the file before the rename and its directory after it
  // Called when a blocking call was interrupted by a signal; false stops the save.
  bool (*interrupted)(void* context) = nullptr;
  void* context = nullptr;
};

// Writes data[0 .. size) as the whole content of `path` (the bytes of the name).
// - A regular file with a name in a folder where a new file can be made and renamed over it:
//   under the store lock (an flock on the file, re-checked against the name), a new file
//   beside it gets the old one's owner, mode, ACLs and extended attributes and is renamed
//   over the name, which must still be the file that was opened. A link stays a link. Every
//   failure before the rename removes the new file and leaves the old one whole.
// - A name that does not exist: a new file is made beside it and linked in by rename (mode
//   0666 less the umask).
// - Anything else is written in place through the descriptor already open, as "wb" would:
//   pipes, FIFOs, devices, sockets, deleted files, memfds, /proc and /dev/fd links, a file
//   whose owner a new file cannot be given, a sticky folder where the rename is not ours, a
//   folder that takes no new file, a file that cannot be renamed over (mounted on its own).
SaveResult save_whole_file(const char* path, const char* data, size_t size,
                           const SaveOptions& options);

}  // namespace ondrel::files
