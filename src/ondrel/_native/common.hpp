// Growable byte buffer and TOML basic-string escaping. Plain bytes only, no Python, so it
// builds and is tested on its own.
//
// Failure rule: buf_new returns null and buf_ensure/buf_write/escape_toml_to_buf return false
// when memory runs out or a size would overflow. The buffer is then left exactly as it was
// (content, pos and capacity intact), nothing is written, and the caller reports the error.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace ondrel::common {

struct Buffer {
  char* data;  // `capacity` bytes; content is data[0 .. pos), never NUL-terminated
  size_t pos;
  size_t capacity;
  // Null for a malloc'ed block. Else the block is another's (a str's units, say): this makes
  // room for `required` bytes in all, setting data and capacity, or returns false with the
  // buffer as it was.
  bool (*regrow)(Buffer* buf, size_t required);
};

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
  buf->regrow = nullptr;
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
  if (buf->regrow != nullptr) return buf->regrow(buf, required);
  if (__builtin_mul_overflow(required, size_t{2}, &new_capacity)) return false;
  void* grown = std::realloc(buf->data, new_capacity);
  if (grown == nullptr) return false;
  buf->data = static_cast<char*>(grown);
  buf->capacity = new_capacity;
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

namespace detail {

// A high bit in each byte of `w` that is below 0x20, '"', '\\' or DEL, and possibly in a
// byte above such a byte (a borrow): never a miss, and a false hit only costs the exact check.
// Bytes from 0x80 up (UTF-8 beyond ASCII) never hit.
constexpr uint64_t raw_suspects(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  const uint64_t quote = w ^ (kOnes * 0x22);
  const uint64_t slash = w ^ (kOnes * 0x5C);
  const uint64_t del = w ^ (kOnes * 0x7F);
  return ((w - kOnes * 0x20) | (quote - kOnes) | (slash - kOnes) | (del - kOnes)) & ~w &
         (kOnes * 0x80);
}

inline uint64_t load64(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline uint64_t load32(const unsigned char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

}  // namespace detail

// Appends `input_len` bytes of UTF-8 escaped for a TOML basic string, without quotes. Clean
// runs are copied in one block. Never reads outside input[0 .. input_len); bytes of malformed
// sequences are copied unchanged.
[[nodiscard]] inline bool escape_toml_to_buf(Buffer* buf, const char* input, size_t input_len) {
  const auto* p = reinterpret_cast<const unsigned char*>(input);
  const unsigned char* const end = p + input_len;
  const unsigned char* run = p;
  for (;;) {
    // Clean words skipped whole: the lowest suspect byte of a word is always a real one.
    while (end - p >= 8) {
      const uint64_t hit = detail::raw_suspects(detail::load64(p));
      if (hit != 0) {
        p += std::countr_zero(hit) >> 3;
        break;
      }
      p += 8;
    }
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

// ---- text copied raw into a TOML basic string --------------------------------------------

inline constexpr size_t kRawOk = SIZE_MAX;

namespace detail {

// Per byte: 0 = may stand raw (tab included), 1 = backslash (a TOML 1.0 escape must follow),
// 2 = never raw: '"', the C0 controls other than tab, DEL. Bytes of multi-byte sequences are
// all 0: TOML 1.0 forbids only ASCII code points raw.
struct RawClass {
  uint8_t cls[256];
  constexpr RawClass() : cls{} {
    for (uint32_t b = 0; b < 0x20; ++b) cls[b] = 2;
    cls[0x09] = 0;
    cls[0x22] = 2;
    cls[0x5C] = 1;
    cls[0x7F] = 2;
  }
};
inline constexpr RawClass kRawClass{};

inline int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c |= 0x20;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Length of the \uXXXX or \UXXXXXXXX escape at p[0] (a backslash), or 0 when its digits are
// not hex or do not name a Unicode scalar value (readers refuse surrogates and > U+10FFFF).
inline size_t unicode_escape_length(const unsigned char* p, size_t left) {
  const size_t digits = p[1] == 'u' ? 4 : 8;
  if (left < 2 + digits) return 0;
  uint32_t code = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int d = hex_digit(p[2 + i]);
    if (d < 0) return 0;
    code = code << 4 | static_cast<uint32_t>(d);
  }
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return 2 + digits;
}

// The exact check from `i` on, once the fast pass has seen a byte it cannot pass.
[[gnu::noinline]] inline size_t raw_string_error_from(const unsigned char* p, size_t i, size_t n) {
  while (i < n) {
    const uint8_t cls = kRawClass.cls[p[i]];
    if (cls == 0) {
      ++i;
      continue;
    }
    if (cls == 2 || i + 1 == n) return i;
    size_t len = 0;
    switch (p[i + 1]) {
      case 'b':
      case 't':
      case 'n':
      case 'f':
      case 'r':
      case '"':
      case '\\': len = 2; break;
      case 'u':
      case 'U': len = unicode_escape_length(p + i, n - i); break;
      default: break;
    }
    if (len == 0) return i;
    i += len;
  }
  return kRawOk;
}

}  // namespace detail

// Offset of the first byte that keeps `s` from standing unchanged between the quotes of a
// TOML 1.0 basic string (an unescaped '"', a control character other than tab, DEL, or a
// backslash that starts no TOML 1.0 escape), or kRawOk. Valid escapes pass, so text escaped
// beforehand stays as it is. The fast pass reads whole words, overlapping at the end, so a
// short string costs one test and no loop; only a string with a suspect byte (a tab, a
// backslash) is walked byte by byte.
[[nodiscard]] inline size_t raw_basic_string_error(const char* s, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  uint64_t hit;
  if (n >= 8) {
    hit = 0;
    for (size_t i = 0; i + 8 < n; i += 8) hit |= detail::raw_suspects(detail::load64(p + i));
    hit |= detail::raw_suspects(detail::load64(p + n - 8));
  } else if (n >= 4) {
    hit = detail::raw_suspects(detail::load32(p) | detail::load32(p + n - 4) << 32);
  } else if (n > 0) {
    // The three bytes cover strings of one to three; the rest is a harmless 'a'.
    hit = detail::raw_suspects(0x6161616161000000ULL | p[0] | uint64_t{p[n >> 1]} << 8 |
                               uint64_t{p[n - 1]} << 16);
  } else {
    return kRawOk;
  }
  if (hit == 0) [[likely]]
    return kRawOk;
  return detail::raw_string_error_from(p, 0, n);
}

// The text a reader makes of `s` between the quotes of a basic string, for text that passed
// raw_basic_string_error (its escapes read, as UTF-8), into `out` (room for n: no escape
// reads longer than itself). Its length, or kRawOk when `s` holds an escape it cannot read.
// Raw keys that differ as written may read as the same key; this is how they are compared.
[[nodiscard]] inline size_t read_raw_escapes(const char* s, size_t n, char* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  size_t o = 0;
  for (size_t i = 0; i < n;) {
    if (p[i] != '\\') {
      out[o++] = s[i++];
      continue;
    }
    if (i + 1 == n) return kRawOk;
    char c = 0;
    switch (p[i + 1]) {
      case 'b': c = '\b'; break;
      case 't': c = '\t'; break;
      case 'n': c = '\n'; break;
      case 'f': c = '\f'; break;
      case 'r': c = '\r'; break;
      case '"': c = '"'; break;
      case '\\': c = '\\'; break;
      case 'u':
      case 'U': {
        const size_t len = detail::unicode_escape_length(p + i, n - i);
        if (len == 0) return kRawOk;
        uint32_t cp = 0;
        for (size_t k = 2; k < len; ++k)
          cp = cp << 4 | static_cast<uint32_t>(detail::hex_digit(p[i + k]));
        if (cp < 0x80) {
          out[o++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
          out[o++] = static_cast<char>(0xC0 | (cp >> 6));
          out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
          out[o++] = static_cast<char>(0xE0 | (cp >> 12));
          out[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          out[o++] = static_cast<char>(0xF0 | (cp >> 18));
          out[o++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
          out[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        i += len;
        continue;
      }
      default: return kRawOk;
    }
    out[o++] = c;
    i += 2;
  }
  return o;
}

}  // namespace ondrel::common
