// Short-lived threads that run no Python and only wait on the kernel for a caller.
#pragma once

#include <pthread.h>

namespace ondrel::threads {

// Starts run(arg) on a joinable thread with a small stack and every signal blocked (Python's
// handlers expect signals on its own threads). False when no thread could be started.
bool start(pthread_t* thread, void* (*run)(void*), void* arg);

// Whether this thread may run on more than one CPU: work handed to a helper thread only
// overlaps the caller's where it can.
bool many_cpus();

}  // namespace ondrel::threads
