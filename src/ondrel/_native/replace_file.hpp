// Saving a whole document to a path so that readers, crashes and failures see the old
// document or the new one, never a part: the new text goes to a new file beside the target,
// which is then renamed over it. Plain POSIX, no Python: callers may drop the GIL around it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondrel::files {

struct SaveResult {
  enum Stage : uint8_t {
    kDone,
    kOpen,     // the file could not be opened or made; `err` is not reported
    kWrite,    // writing, syncing, closing or renaming failed with `err`
    kDirSync,  // the new document is in place; syncing its directory failed with `err`
    kNoMemory,
  } stage;
  int err;
};

// Writes data[0 .. size) as the whole content of `path`.
// - A regular file, or a path that does not exist: replaced by rename. The target is the
//   file a symbolic link finally points to (the link stays); a replaced file keeps its
//   permission bits, and its owner and group where the process may set them; a new file gets
//   0666 less the umask. Every failure before the rename removes the new file and leaves the old
//   one whole; kDirSync comes after it.
// - Anything else (FIFO, device, socket), or a target whose directory takes no new file
//   (EACCES, EPERM, EROFS): truncated and written in place; a failed write leaves it empty.
// `durable`: the file is synced before the rename and its directory after it.
SaveResult save_whole_file(const char* path, const char* data, size_t size, bool durable);

}  // namespace ondrel::files
