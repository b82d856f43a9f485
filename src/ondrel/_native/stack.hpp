// Recursion guard that also watches the C stack. Py_EnterRecursiveCall counts levels only, and
// a thread started with a small stack (threading.stack_size) runs out of bytes long before the
// count runs out; this guard raises RecursionError while a margin of the stack is still left.
#pragma once

#include <Python.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace ondrel::stack {

namespace detail {

// Room kept free below the guard for the callees of a guarded frame (a __str__, a __hash__).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr uintptr_t kMargin =
    uintptr_t{256} * 1024;  // instrumented frames are several times larger
#else
inline constexpr uintptr_t kMargin = uintptr_t{64} * 1024;
#endif

struct Bounds {
  uintptr_t base;   // lowest address of the thread's stack; 0 while not yet known
  uintptr_t limit;  // base + margin (at most half the stack): below it the guard trips
};
inline thread_local Bounds t_bounds{0, 0};

[[gnu::cold, gnu::noinline]] inline const Bounds& find_bounds() {
  Bounds b{1, 1};  // unknown: never trips
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr && size != 0) {
      const uintptr_t margin = size / 2 < kMargin ? size / 2 : kMargin;
      b.base = reinterpret_cast<uintptr_t>(addr);
      b.limit = b.base + margin;
    }
    pthread_attr_destroy(&attr);
  }
  t_bounds = b;
  return t_bounds;
}

}  // namespace detail

// True when the calling frame is inside the thread's stack and below its safety margin. A frame
// outside the known bounds (a coroutine library's own stack) is never refused.
inline bool exhausted() {
  const detail::Bounds& b = detail::t_bounds.base != 0 ? detail::t_bounds : detail::find_bounds();
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return here >= b.base && here < b.limit;
}

// Py_EnterRecursiveCall that also refuses when the C stack runs low; 0 on success, or -1 with
// RecursionError set. Pair a success with Py_LeaveRecursiveCall.
inline int enter_recursive_call(const char* where) {
  if (exhausted()) [[unlikely]] {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return -1;
  }
  return Py_EnterRecursiveCall(where);
}

// Scoped form of enter_recursive_call: leaves the interpreter's guard on every path out.
// `needed` false skips the guard (a caller that bounds its first levels itself); test the
// guard with `if (!guard)` and return with the RecursionError set.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where, bool needed = true)
      : entered_(needed && enter_recursive_call(where) == 0), ok_(entered_ || !needed) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  explicit operator bool() const { return ok_; }

 private:
  bool entered_;
  bool ok_;
};

}  // namespace ondrel::stack
