// Growable malloc'd buffers of the column builders: bytes and bitmaps.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <utility>

namespace ondrel::decoder {

// A growable malloc'd byte buffer.
class Buf {
 public:
  Buf() = default;
  Buf(const Buf&) = delete;
  Buf& operator=(const Buf&) = delete;
  Buf(Buf&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  Buf& operator=(Buf&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~Buf() { std::free(data_); }

  unsigned char* data() const { return data_; }
  size_t size() const { return size_; }
  // Room for n more bytes; false with MemoryError set.
  bool reserve(size_t n) { return cap_ - size_ >= n || grow(n); }
  // Only after reserve().
  void put(const void* p, size_t n) {
    // reserve() made data_ non-null for any n > 0.
    if (n != 0)
      __builtin_memcpy(data_ + size_, p, n);  // NOLINT(clang-analyzer-unix.cstring.NullArg)
    size_ += n;
  }
  bool append(const void* p, size_t n) { return reserve(n) && (put(p, n), true); }
  template <class T>
  bool push(T v) {
    return append(&v, sizeof v);
  }
  bool zeros(size_t n);
  void clear() { size_ = 0; }
  void truncate(size_t n) { size_ = n; }
  // Hands the memory over (never null, so every exported buffer has an address).
  void* take();

 private:
  bool grow(size_t n);
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// A bitmap, least significant bit first.
class Bits {
 public:
  bool push(bool v) {
    if ((n_ & 7) == 0 && !buf_.push<unsigned char>(0)) return false;
    if (v) buf_.data()[n_ >> 3] |= static_cast<unsigned char>(1u << (n_ & 7));
    ++n_;
    return true;
  }
  bool get(size_t i) const { return (buf_.data()[i >> 3] >> (i & 7)) & 1; }
  void* take() { return buf_.take(); }
  void reset() { *this = Bits(); }

 private:
  Buf buf_;
  size_t n_ = 0;
};

}  // namespace ondrel::decoder
