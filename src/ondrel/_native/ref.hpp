// One owner type for strong references to Python objects.
//
// Rules of use:
//  - A Ref owns exactly one strong reference, or nothing (null).
//  - Ref::steal(p) takes over a reference the caller already owns (a "new reference" result);
//    Ref::borrow(p) adds one. Both accept null.
//  - Refs move, never copy. release() hands the reference back to the caller.
//  - Borrowed references stay plain PyObject*. Before any call that can run Python code
//    (__str__, __eq__, __hash__, a validator, an override), own what you still need with borrow().
#pragma once

#include <Python.h>

#include <utility>

namespace ondrel {

class Ref {
 public:
  Ref() noexcept : p_(nullptr) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
  [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }  // borrowed
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // Drops the held reference; the old object is released after the field is updated so a
  // destructor that looks at this Ref sees a consistent state.
  void reset(Ref&& other = Ref()) noexcept { *this = std::move(other); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_;
};

}  // namespace ondrel
