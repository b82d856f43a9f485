// Growable byte buffer and TOML basic-string escaping. Plain bytes only, no Python, so it
// builds and is tested on its own.
//
// Failure rule: buf_new returns null and buf_ensure/buf_write/escape_toml_to_buf return false
// when memory runs out or a size would overflow. The buffer is then left exactly as it was
// (content, pos and capacity intact), nothing is written, and the caller reports the error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace ondrel::common {

struct Buffer {
  char* data;  // `capacity` bytes; content is data[0 .. pos), never NUL-terminated
  size_t pos;
  size_t capacity;
};

namespace detail {

// A large block faults in page by page; huge pages cut that cost by a wide margin. Only whole
// 2 MiB pages inside [data, data + size) are advised, so no neighbour is touched. Advice
// only: a failure changes nothing.
inline void advise_huge_pages(char* data, size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr size_t kHuge = size_t{2} << 20;
  if (size < 4 * kHuge) return;
  const size_t misalign = reinterpret_cast<uintptr_t>(data) & (kHuge - 1);
  const size_t lead = misalign == 0 ? 0 : kHuge - misalign;
  const size_t span = (size - lead) & ~(kHuge - 1);
  if (span > 0) madvise(data + lead, span, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace detail

// Record and block in one call; null when either allocation fails.
[[nodiscard]] inline Buffer* buf_new(size_t initial_capacity) {
  auto* buf = static_cast<Buffer*>(std::malloc(sizeof(Buffer)));
  if (buf == nullptr) return nullptr;
  // malloc(0) may legitimately return null; one spare byte keeps "null" meaning failure.
  buf->data = static_cast<char*>(std::malloc(initial_capacity ? initial_capacity : 1));
  if (buf->data == nullptr) {
    std::free(buf);
    return nullptr;
  }
  buf->pos = 0;
  buf->capacity = initial_capacity;
  detail::advise_huge_pages(buf->data, initial_capacity);
  return buf;
}

inline void buf_free(Buffer* buf) {
  if (buf == nullptr) return;
  if (buf->data != nullptr) std::free(buf->data);
  std::free(buf);
}

namespace detail {

// Grows to twice the size actually required. Kept out of line: the fast path is one compare.
[[nodiscard, gnu::noinline, gnu::cold]] inline bool buf_grow(Buffer* buf, size_t needed) {
  size_t required, new_capacity;
  if (__builtin_add_overflow(buf->pos, needed, &required)) return false;
  if (__builtin_mul_overflow(required, size_t{2}, &new_capacity)) return false;
  void* grown = std::realloc(buf->data, new_capacity);
  if (grown == nullptr) return false;
  buf->data = static_cast<char*>(grown);
  buf->capacity = new_capacity;
  advise_huge_pages(buf->data, new_capacity);
  return true;
}

}  // namespace detail

// Room for `needed` more bytes after pos. An exact fit does not grow.
[[nodiscard]] inline bool buf_ensure(Buffer* buf, size_t needed) {
  // pos <= capacity always holds, so the subtraction cannot wrap.
  if (needed <= buf->capacity - buf->pos) [[likely]]
    return true;
  return detail::buf_grow(buf, needed);
}

[[nodiscard]] inline bool buf_write(Buffer* buf, const char* s, size_t length) {
  if (!buf_ensure(buf, length)) return false;
  if (length != 0) std::memcpy(buf->data + buf->pos, s, length);
  buf->pos += length;
  return true;
}

// The two-character escape of a code point, or null.
constexpr const char* get_toml_escape(uint32_t code) {
  switch (code) {
    case 0x08: return "\\b";
    case 0x09: return "\\t";
    case 0x0A: return "\\n";
    case 0x0C: return "\\f";
    case 0x0D: return "\\r";
    case 0x22: return "\\\"";
    case 0x5C: return "\\\\";
    default: return nullptr;
  }
}

// Code points without a short escape that a TOML basic string cannot hold raw: the C0
// controls and DEL.
constexpr bool needs_unicode_escape(uint32_t code) { return code < 0x20 || code == 0x7F; }

namespace detail {

// Per byte: 0 = copy, 1 = short escape, 2 = \uXXXX. Only ASCII code points are ever escaped,
// and in UTF-8 a byte below 0x80 is always a whole code point, so a byte scan sees exactly
// the code points that need escaping and never has to decode (or trust) multi-byte sequences.
struct EscapeClass {
  uint8_t cls[256];
  constexpr EscapeClass() : cls{} {
    for (uint32_t b = 0; b < 0x80; ++b)
      cls[b] = get_toml_escape(b) != nullptr ? 1 : needs_unicode_escape(b) ? 2 : 0;
  }
};
inline constexpr EscapeClass kEscapeClass{};
inline constexpr char kHexUpper[] = "0123456789ABCDEF";

}  // namespace detail

// Appends `input_len` bytes of UTF-8 escaped for a TOML basic string, without quotes. Clean
// runs are copied in one block. Never reads outside input[0 .. input_len); bytes of malformed
// sequences are copied unchanged.
[[nodiscard]] inline bool escape_toml_to_buf(Buffer* buf, const char* input, size_t input_len) {
  const auto* p = reinterpret_cast<const unsigned char*>(input);
  const unsigned char* const end = p + input_len;
  const unsigned char* run = p;
  for (;;) {
    while (p != end && detail::kEscapeClass.cls[*p] == 0) ++p;
    const size_t run_len = static_cast<size_t>(p - run);
    if (p == end) return buf_write(buf, reinterpret_cast<const char*>(run), run_len);
    // run_len < input_len, so adding the 6 escape bytes cannot overflow.
    if (!buf_ensure(buf, run_len + 6)) return false;
    char* out = buf->data + buf->pos;
    if (run_len != 0) std::memcpy(out, run, run_len);
    out += run_len;
    const unsigned char c = *p;
    if (detail::kEscapeClass.cls[c] == 1) {
      const char* esc = get_toml_escape(c);
      out[0] = esc[0];
      out[1] = esc[1];
      out += 2;
    } else {
      out[0] = '\\';
      out[1] = 'u';
      out[2] = '0';
      out[3] = '0';
      out[4] = detail::kHexUpper[c >> 4];
      out[5] = detail::kHexUpper[c & 0xF];
      out += 6;
    }
    buf->pos = static_cast<size_t>(out - buf->data);
    run = ++p;
  }
}

}  // namespace ondrel::common
