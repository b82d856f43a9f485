// The last descriptor of a file that a save has renamed a new file over: closing it makes the
// kernel release the old file's pages and blocks there and then (0.5 to 0.8 ms a MB on ext4),
// after the new document is already in place. A large one is closed on a short-lived thread
// instead, so the save returns without that wait.
#pragma once

#include <sys/types.h>

namespace ondrel::files {

// Closes `fd`, a descriptor whose file no name leads to any more and which holds no lock, now
// or on a thread of its own when `size` makes that worth it. A fork waits for those threads
// (the child gets no half-closed descriptor, and the process is single-threaded again).
void close_replaced(int fd, off_t size);

}  // namespace ondrel::files
