// Unit tests of the buffer and TOML escaping header; no Python, no framework.
#include "check.hpp"
#include "ondrel/_native/checked_copy.hpp"
#include "ondrel/_native/common.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace ondrel::common;

namespace {

std::string_view content(const Buffer* b) { return {b->data, b->pos}; }

// Escapes `in` into a fresh buffer and returns the text.
std::string escaped(std::string_view in, size_t initial = 16) {
  Buffer* b = buf_new(initial);
  bool ok = escape_toml_to_buf(b, in.data(), in.size());
  std::string out = ok ? std::string(content(b)) : std::string("<fail>");
  buf_free(b);
  return out;
}

void test_growth() {
  Buffer* b = buf_new(10);
  CHECK(b != nullptr && b->pos == 0 && b->capacity == 10);

  char* before = b->data;
  CHECK(buf_write(b, "", 0));
  CHECK(b->pos == 0 && b->capacity == 10 && b->data == before);

  CHECK(buf_write(b, "01234567", 8));
  CHECK(buf_write(b, "89", 2));  // exact fill
  CHECK(b->pos == 10 && b->capacity == 10);
  CHECK(buf_write(b, "x", 1));  // one more: (capacity + 1) * 2
  CHECK(b->capacity == 22 && content(b) == "0123456789x");
  buf_free(b);

  // capacity 10, pos 8, 5 more bytes: twice the required size.
  b = buf_new(10);
  CHECK(buf_write(b, "abcdefgh", 8));
  CHECK(buf_ensure(b, 5) && b->capacity == 26 && b->pos == 8);
  CHECK(content(b) == "abcdefgh");
  buf_free(b);

  // Embedded NUL bytes are copied, never treated as an end.
  b = buf_new(1);
  CHECK(buf_write(b, "a\0b", 3) && b->pos == 3 && std::memcmp(b->data, "a\0b", 3) == 0);
  buf_free(b);

  // A zero-capacity buffer is usable.
  b = buf_new(0);
  CHECK(b != nullptr && b->capacity == 0);
  CHECK(buf_write(b, "hi", 2) && b->capacity == 4 && content(b) == "hi");
  buf_free(b);

  buf_free(nullptr);
}

void test_overflow_leaves_buffer_intact() {
  Buffer* b = buf_new(4);
  CHECK(buf_write(b, "abc", 3));
  char* data = b->data;
  // pos + needed overflows.
  CHECK(!buf_ensure(b, SIZE_MAX));
  CHECK(b->data == data && b->pos == 3 && b->capacity == 4);
  // (pos + needed) * 2 overflows.
  CHECK(!buf_ensure(b, SIZE_MAX / 2));
  CHECK(b->data == data && b->pos == 3 && b->capacity == 4);
  // realloc failure (a request no allocator grants).
  CHECK(!buf_ensure(b, SIZE_MAX / 4));
  CHECK(b->data == data && b->pos == 3 && content(b) == "abc");
  CHECK(!buf_write(b, "x", SIZE_MAX / 4));
  CHECK(b->pos == 3);
  buf_free(b);
  Buffer* huge = buf_new(SIZE_MAX / 2);
  CHECK(huge == nullptr);
  if (huge != nullptr) buf_free(huge);
}

void test_escape_table() {
  struct Case {
    uint32_t code;
    const char* esc;
  };
  const Case cases[] = {{0x08, "\\b"}, {0x09, "\\t"},  {0x0A, "\\n"}, {0x0C, "\\f"},
                        {0x0D, "\\r"}, {0x22, "\\\""}, {0x5C, "\\\\"}};
  for (const Case& c : cases) {
    const char* got = get_toml_escape(c.code);
    CHECK(got != nullptr && std::strcmp(got, c.esc) == 0);
    CHECK(escaped(std::string(1, static_cast<char>(c.code))) == c.esc);
  }
  int with_short = 0;
  for (uint32_t code = 0; code < 0x200; ++code) with_short += get_toml_escape(code) != nullptr;
  CHECK(with_short == 7);

  for (uint32_t code = 0; code < 0x20; ++code) CHECK(needs_unicode_escape(code));
  CHECK(needs_unicode_escape(0x7F));
  CHECK(!needs_unicode_escape(0x20) && !needs_unicode_escape(0x7E) && !needs_unicode_escape(0x80) &&
        !needs_unicode_escape(0xE9));

  // Every C0 control without a short escape becomes \u00XX, upper-case hex.
  for (uint32_t code = 0; code < 0x20; ++code) {
    if (get_toml_escape(code) != nullptr) continue;
    char expect[8];
    std::snprintf(expect, sizeof expect, "\\u%04X", code);
    CHECK(escaped(std::string(1, static_cast<char>(code))) == expect);
  }
  CHECK(escaped(std::string_view("\0", 1)) == "\\u0000");
  CHECK(escaped("\x0B") == "\\u000B");
  CHECK(escaped("\x1B") == "\\u001B");
  CHECK(escaped("\x1F") == "\\u001F");
  CHECK(escaped("\x7F") == "\\u007F");
}

void test_escape_text() {
  CHECK(escaped("") == "");
  CHECK(escaped("a\"b\\c") == "a\\\"b\\\\c");
  CHECK(escaped("a\"b\\c").size() == 7);
  CHECK(escaped("\t") == "\\t");
  CHECK(escaped("\r\n") == "\\r\\n");
  CHECK(escaped("it's a/b ~") == "it's a/b ~");
  // Escapes at both ends and back to back, through a one-byte buffer.
  CHECK(escaped("\"x\"", 1) == "\\\"x\\\"");
  CHECK(escaped("\n\n\x01", 1) == "\\n\\n\\u0001");
  std::string longer(1000, 'z');
  longer[500] = '\t';
  std::string expect = std::string(500, 'z') + "\\t" + std::string(499, 'z');
  CHECK(escaped(longer, 1) == expect);
}

void test_utf8_passthrough() {
  const char* samples[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                           "a\xC3\xA9\"\xE2\x82\xAC\\\xF0\x9F\x98\x80z"};
  CHECK(escaped(samples[0]) == samples[0]);
  CHECK(escaped(samples[1]) == samples[1]);
  CHECK(escaped(samples[2]) == samples[2]);
  CHECK(escaped(samples[3]) == "a\xC3\xA9\\\"\xE2\x82\xAC\\\\\xF0\x9F\x98\x80z");
  // U+0080..U+009F (C1 controls) and U+2028 are legal raw in TOML and stay as they are.
  CHECK(escaped("\xC2\x85\xE2\x80\xA8") == "\xC2\x85\xE2\x80\xA8");
}

void test_truncated_input_not_overread() {
  // Each input sits at the very end of an exactly sized heap block, so a read past the end
  // is caught by the sanitizer build; the output must be the bytes given, unchanged.
  const char* truncated[] = {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xF0", "ab\xF0\x9F", "\x80"};
  for (const char* t : truncated) {
    size_t n = std::strlen(t);
    char* block = static_cast<char*>(std::malloc(n));
    std::memcpy(block, t, n);
    CHECK(escaped(std::string_view(block, n)) == std::string_view(t, n));
    std::free(block);
  }
  // A quote after a truncated lead byte is still escaped, so the string stays closed.
  CHECK(escaped("\xC3\"") == "\xC3\\\"");
}

}  // namespace

size_t raw_error(std::string_view s) { return raw_basic_string_error(s.data(), s.size()); }

void test_raw_string_check() {
  CHECK(raw_error("") == kRawOk);
  CHECK(raw_error("plain text, tab\t and \xC3\xA9 \xC2\x85") == kRawOk);
  CHECK(raw_error("a\"b") == 1);
  CHECK(raw_error("ab\x7F") == 2);
  CHECK(raw_error("\n") == 0);
  // TOML 1.0 escapes pass, with their hex digits and as Unicode scalar values only.
  CHECK(raw_error("\\b\\t\\n\\f\\r\\\"\\\\ \\u00e9 \\U0010FFFF \\uD7FF \\uE000") == kRawOk);
  CHECK(raw_error("x\\") == 1);
  CHECK(raw_error("\\e") == 0);
  CHECK(raw_error("\\x41") == 0);
  CHECK(raw_error("\\u12G4") == 0);
  CHECK(raw_error("\\u123") == 0);
  CHECK(raw_error("\\uD800") == 0);
  CHECK(raw_error("\\uDFFF") == 0);
  CHECK(raw_error("ab\\U00110000") == 2);
  CHECK(raw_error("\\\\u") == kRawOk);  // an escaped backslash, then a plain u
  // What a reader makes of raw text: the keys "a" and "\u0061" are the same key.
  const auto reads = [](std::string_view s) {
    std::string out(s.size(), '\0');
    const size_t n = read_raw_escapes(s.data(), s.size(), out.data());
    return n == kRawOk ? std::string("<bad>") : out.substr(0, n);
  };
  CHECK(reads("\\u0061") == "a");
  CHECK(reads("x\\U0001F600\\t\\\"\\\\") == "x\xF0\x9F\x98\x80\t\"\\");
  CHECK(reads("\\u00e9\\u20AC") == "\xC3\xA9\xE2\x82\xAC");
  CHECK(reads("\\uD800") == "<bad>");
  CHECK(reads("end\\") == "<bad>");
  // The word-wide pass never misses: one bad or suspect byte at every position of strings
  // of every length around the word sizes gives the byte-wise verdict.
  const unsigned char probes[] = {0x00, 0x08, 0x09, 0x0A, 0x1F, 0x20, 0x21, 0x22, 0x23,
                                  0x5B, 0x5C, 0x5D, 0x7E, 0x7F, 0x80, 0xA2, 0xDC, 0xFF};
  for (size_t n = 1; n <= 40; ++n) {
    for (size_t at = 0; at < n; ++at) {
      for (unsigned char probe : probes) {
        std::string text(n, 'a');
        text[at] = static_cast<char>(probe);
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        CHECK(raw_error(text) == detail::raw_string_error_from(p, 0, n));
        const bool bad =
            probe == 0x22 || probe == 0x5C || probe == 0x7F || (probe < 0x20 && probe != 0x09);
        CHECK(raw_error(text) == (bad ? at : kRawOk));
      }
    }
  }
}

#if defined(__x86_64__) || defined(__aarch64__)
// The reader's stops: the quote, a backslash in a basic string, a control byte or DEL.
template <typename U>
bool is_stop(U c, bool basic, U quote) {
  return c == quote || (basic && c == '\\') || c < 0x20 || c == 0x7F;
}

// Each vector kernel against a byte-wise reference at every level this CPU has: strings of
// every length around the block sizes with one probe byte at every position (after a byte past
// ASCII or not), read from a block of exactly their size (ASan sees an over-read) and written
// before guard bytes.
void test_vector_kernels() {
  namespace simd = ondrel::simd;
#if defined(__x86_64__)
  using ondrel::simd::Level;
  const Level top = simd::best();
#endif
  const unsigned char probes[] = {0x00, 0x09, 0x1F, 0x20, 0x22, 0x27, 0x5C, 0x7E, 0x7F, 0x80, 0xFF};
  for (size_t n = 0; n <= 100; ++n) {
    for (size_t at = 0; at <= n; ++at) {
      for (unsigned char probe : probes) {
        for (int lead = 0; lead < 2; ++lead) {
          std::string text(n, 'a');
          if (at < n) text[at] = static_cast<char>(probe);
          if (lead && at > 0) text[at - 1] = static_cast<char>(0xE9);
          std::vector<char> in(text.begin(), text.end());
          const auto* p = reinterpret_cast<const unsigned char*>(in.data());
          bool suspect = false, ascii = true;
          for (unsigned char c : text) {
            suspect |= is_stop<unsigned char>(c, true, '"');
            ascii &= c < 0x80;
          }
          // Copy: the exact bytes, nothing past them, and the suspect verdict.
          const auto copied = [&](auto kernel) {
            std::string out(n + 8, '#');
            const bool hit = kernel(out.data(), in.data(), n);
            return hit == suspect && out == text + "########";
          };
          // The reader's stop, finished byte by byte as its caller does, in a basic string
          // and in a literal one.
          const auto scanned = [&](auto kernel, bool basic, unsigned char quote) {
            size_t stop = 0;
            uint32_t high = 0, h = 0;
            while (stop < n && !is_stop(p[stop], basic, quote)) high |= p[stop++] & 0x80;
            const unsigned char* q = p;
            const unsigned char* found = kernel(q, p + n, quote, h);
            if (found != nullptr) {
              q = found;
            } else {
              while (q < p + n && !is_stop(*q, basic, quote)) h |= *q++ & 0x80;
            }
            return static_cast<size_t>(q - p) == stop && h == high;
          };
          // ASCII: a copied prefix is ASCII and exact; all of the text when the text is ASCII.
          // The kernel that only checks (for text already in place) says the same.
          const auto ascii_copied = [&](auto kernel, auto check, size_t block) {
            std::string out(n + 8, '#');
            const size_t r = kernel(out.data(), in.data(), n);
            if (check(nullptr, in.data(), n) != r) return false;
            if (r == simd::kNotAscii) return !ascii;
            bool prefix_ascii = true;
            for (size_t i = 0; i < r && i < n; ++i) prefix_ascii &= p[i] < 0x80;
            return r <= n && n - r < block && prefix_ascii && out.compare(0, r, text, 0, r) == 0 &&
                   out.substr(n) == "########";
          };
#if defined(__x86_64__)
          if (n >= 16) CHECK(copied(simd::copy_checked_sse2));
          if (top >= Level::kAvx512) CHECK(copied(simd::copy_checked_avx512));
          CHECK(scanned(simd::find_stop_sse2<true>, true, '"'));
          CHECK(scanned(simd::find_stop_sse2<false>, false, '\''));
          CHECK(ascii_copied(simd::copy_ascii_sse2<true>, simd::copy_ascii_sse2<false>, 64));
          if (top >= Level::kAvx2)
            CHECK(ascii_copied(simd::copy_ascii_avx2<true>, simd::copy_ascii_avx2<false>, 64));
          if (top >= Level::kAvx512)
            CHECK(ascii_copied(simd::copy_ascii_avx512<true>, simd::copy_ascii_avx512<false>, 1));
#else
          if (n >= 16) CHECK(copied(simd::copy_checked_neon));
          CHECK(scanned(simd::find_stop_neon<true>, true, '"'));
          CHECK(scanned(simd::find_stop_neon<false>, false, '\''));
          CHECK(ascii_copied(simd::copy_ascii_neon<true>, simd::copy_ascii_neon<false>, 16));
#endif
        }
      }
    }
  }
}
#endif

#if defined(__aarch64__)
// The reader's skip over a str's own two- and four-byte units: it stops no later than the
// first stop unit, and the caller's unit-by-unit finish gives the reference stop and OR.
template <typename U, bool kBasic>
void check_unit_skips(const std::vector<uint32_t>& probes) {
  const U quote = kBasic ? '"' : '\'';
  for (size_t n = 0; n <= 40; ++n) {
    for (size_t at = 0; at <= n; ++at) {
      for (uint32_t probe : probes) {
        for (int lead = 0; lead < 2; ++lead) {
          std::vector<U> text(n, U{'a'});
          if (at < n) text[at] = static_cast<U>(probe);
          if (lead && at > 0) text[at - 1] = static_cast<U>(probes.back());
          const U* p = text.data();
          size_t stop = 0;
          uint32_t want = 0, got = 0;
          while (stop < n && !is_stop<U>(p[stop], kBasic, quote)) want |= p[stop++];
          const U* q = ondrel::simd::skip_plain_units_neon<U, kBasic>(p, p + n, quote, got);
          const bool early = q <= p + stop;
          while (q < p + n && !is_stop<U>(*q, kBasic, quote)) got |= *q++;
          CHECK(early && static_cast<size_t>(q - p) == stop && got == want);
        }
      }
    }
  }
}

void test_unit_skips() {
  const std::vector<uint32_t> narrow = {0x00, 0x1F, 0x20,  0x22,   0x27,   0x5C,
                                        0x7F, 0x80, 0x100, 0x2022, 0xFF5C, 0xFFFF};
  std::vector<uint32_t> wide = narrow;
  wide.insert(wide.end(), {0x10022, 0x10FFFF});
  check_unit_skips<uint16_t, true>(narrow);
  check_unit_skips<uint16_t, false>(narrow);
  check_unit_skips<uint32_t, true>(wide);
  check_unit_skips<uint32_t, false>(wide);
}
#endif

int main() {
  test_growth();
  test_overflow_leaves_buffer_intact();
  test_escape_table();
  test_escape_text();
  test_utf8_passthrough();
  test_truncated_input_not_overread();
  test_raw_string_check();
#if defined(__x86_64__) || defined(__aarch64__)
  test_vector_kernels();
#endif
#if defined(__aarch64__)
  test_unit_skips();
#endif
  return native_test::finish("test_common");
}
