// The store locks that open_store handles of this process hold, by file and thread. A save
// on a file this thread's handle has locked goes on under that lock; any other save takes the
// lock itself (an flock on its own descriptor), and so waits for the handle's block to end.
#pragma once

#include <sys/types.h>

namespace ondrel::files {

// The calling thread holds (or stops holding) the lock of the file (dev, ino).
void note_held(dev_t dev, ino_t ino);
void note_dropped(dev_t dev, ino_t ino);

enum class Holder : unsigned char { kNone, kThisThread, kOtherThread };
// Which of this process's store handles hold (or wait for) the lock of (dev, ino).
Holder handle_holding(dev_t dev, ino_t ino);

// Whether this process holds an flock on (dev, ino) (/proc/locks): a caller's own lock around
// its save, which the save must not wait for.
bool flocked_by_this_process(dev_t dev, ino_t ino);

}  // namespace ondrel::files
