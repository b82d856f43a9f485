// Unit tests of the UTF-8 census and fixed-width decoder; no Python, no framework.
#include "check.hpp"
#include "ondrel/_native/utf8.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace ondrel;

namespace {

// Decodes into a vector one unit longer than the census asks, so a write past the count shows.
template <typename T>
bool decodes_to(const std::string& in, const std::vector<uint32_t>& want) {
  const utf8::Census c = utf8::census(in.data(), in.size());
  if (c.chars != want.size()) return false;
  std::vector<T> out(c.chars + 1, T(0x5A));
  if (!utf8::decode(in.data(), in.size(), out.data(), c.chars)) return false;
  if (out[c.chars] != T(0x5A)) return false;
  for (size_t i = 0; i < want.size(); ++i)
    if (out[i] != T(want[i])) return false;
  return true;
}

template <typename T>
bool refuses(const std::string& in) {
  const utf8::Census c = utf8::census(in.data(), in.size());
  std::vector<T> out(c.chars + 1, T(0));
  return !utf8::decode(in.data(), in.size(), out.data(), c.chars);
}

void test_census() {
  CHECK(utf8::census("", 0).chars == 0 && utf8::census("", 0).width == 0);
  CHECK(utf8::census("abc", 3).width == 0);
  std::string s = "\xC3\xBF";  // U+00FF
  CHECK(utf8::census(s.data(), s.size()).width == 1 && utf8::census(s.data(), s.size()).chars == 1);
  s = "\xC4\x80";  // U+0100
  CHECK(utf8::census(s.data(), s.size()).width == 2);
  s = "\xEF\xBF\xBF";  // U+FFFF
  CHECK(utf8::census(s.data(), s.size()).width == 2 && utf8::census(s.data(), s.size()).chars == 1);
  s = "a\xF0\x9F\x98\x80z";  // U+1F600
  CHECK(utf8::census(s.data(), s.size()).width == 4 && utf8::census(s.data(), s.size()).chars == 3);
}

// Long inputs: every block size and the point where the lane counters are summed.
void test_census_long() {
  const char* seqs[] = {"a", "\xC3\xA9", "\xE6\x9D\xB1", "\xF0\x9F\x98\x80"};
  for (size_t len : {15u, 16u, 17u, 4079u, 4080u, 4081u, 9000u}) {
    for (int widest = 0; widest < 4; ++widest) {
      std::string in;
      size_t chars = 0;
      for (size_t k = 0; in.size() < len; ++k, ++chars) in += seqs[(k * 7 % 5) % (widest + 1)];
      const utf8::Census c = utf8::census(in.data(), in.size());
      const unsigned want = widest == 0 ? 0 : widest == 1 ? 1 : widest == 2 ? 2 : 4;
      CHECK(c.chars == chars && c.width == want);
    }
  }
}

void test_decode() {
  // Runs longer than the 16- and 8-byte blocks, with the wide character at every offset of a block.
  for (size_t at = 0; at < 40; ++at) {
    std::string ascii(at, 'q');
    std::vector<uint32_t> base(at, 'q');
    auto with = [&](const std::string& seq, uint32_t cp) {
      std::string in = ascii + seq + std::string(21, 'r');
      std::vector<uint32_t> w = base;
      w.push_back(cp);
      w.insert(w.end(), 21, 'r');
      return std::make_pair(in, w);
    };
    auto [l1, w1] = with("\xC3\xA9", 0xE9);
    CHECK(decodes_to<uint8_t>(l1, w1) && decodes_to<uint16_t>(l1, w1) &&
          decodes_to<uint32_t>(l1, w1));
    auto [l2, w2] = with("\xE6\x9D\xB1", 0x6771);
    CHECK(decodes_to<uint16_t>(l2, w2) && decodes_to<uint32_t>(l2, w2));
    auto [l4, w4] = with("\xF4\x8F\xBF\xBF", 0x10FFFF);
    CHECK(decodes_to<uint32_t>(l4, w4));
    // The census sees the widest lead byte at every offset of a block.
    CHECK(utf8::census(l1.data(), l1.size()).width == 1 &&
          utf8::census(l2.data(), l2.size()).width == 2 &&
          utf8::census(l4.data(), l4.size()).width == 4);
  }
  CHECK(decodes_to<uint8_t>("", {}));
  CHECK(decodes_to<uint8_t>(std::string("a\0b", 3), {'a', 0, 'b'}));
  CHECK(decodes_to<uint16_t>("\xC2\x80\xDF\xBF\xE0\xA0\x80", {0x80, 0x7FF, 0x800}));
  CHECK(decodes_to<uint32_t>("\xF0\x90\x80\x80\x7F", {0x10000, 0x7F}));
  // Runs past ASCII, to the end or back to ASCII.
  CHECK(decodes_to<uint16_t>("\xCE\x95\xCE\xBB\xE6\x9D\xB1x", {0x395, 0x3BB, 0x6771, 'x'}));
  CHECK(decodes_to<uint32_t>("\xC3\xA9\xF0\x9F\x98\x80", {0xE9, 0x1F600}));
}

// Text long enough for the vector steps, with sequences of every length at every offset of
// a step: decoded as the code points it was made from, and every one-byte change or loss is
// refused exactly when the text stops being valid or fits no longer, else decoded again.
std::string encode(uint32_t c) {
  std::string s;
  if (c < 0x80) return s += static_cast<char>(c), s;
  const int len = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  s += static_cast<char>((0xF00 >> len) | (c >> (6 * (len - 1))));
  for (int k = len - 2; k >= 0; --k) s += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  return s;
}

template <typename T>
void check_against_reference(const std::string& in) {
  const utf8::Census c = utf8::census(in.data(), in.size());
  std::vector<T> out(c.chars + 1, T(0x5A));
  const bool ok = utf8::decode(in.data(), in.size(), out.data(), c.chars);
  std::vector<uint32_t> want;  // by re-encoding: only valid text round-trips
  bool fits = utf8::valid(in.data(), in.size());
  for (size_t i = 0; fits && i < in.size(); ++i) {
    if ((in[i] & 0xC0) == 0x80) continue;
    uint32_t cp = static_cast<unsigned char>(in[i]);
    const int len = cp < 0x80 ? 1 : cp < 0xE0 ? 2 : cp < 0xF0 ? 3 : 4;
    cp &= 0xFFu >> (len == 1 ? 1 : len + 1);
    for (int k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(in[i + k]) & 0x3F);
    fits = cp <= (sizeof(T) == 1 ? 0xFFu : sizeof(T) == 2 ? 0xFFFFu : 0x10FFFFu);
    want.push_back(cp);
  }
  CHECK(ok == fits && out[c.chars] == T(0x5A));
  if (ok && fits) CHECK(std::equal(want.begin(), want.end(), out.begin()));
}

void test_decode_long() {
  uint32_t state = 29;  // xorshift: the same text on every run
  const auto rng = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  const uint32_t pool[] = {'a',   '"',    0x7F,   0x80,   0xE9,   0xFF,    0x100,   0x3B1,   0x7FF,
                           0x800, 0x6771, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  for (int round = 0; round < 60; ++round) {
    const int widest = round % 3;  // pool ends: Latin-1, BMP, all
    const size_t top = widest == 0 ? 6 : widest == 1 ? 14 : 17;
    std::string in;
    while (in.size() < 150u + round % 7) {
      const bool ascii_run = rng() % 3 == 0;
      for (unsigned k = ascii_run ? rng() % 70 : 1; k > 0; --k)
        in += ascii_run ? std::string(1, 'q') : encode(pool[rng() % top]);
    }
    check_against_reference<uint8_t>(in);
    check_against_reference<uint16_t>(in);
    check_against_reference<uint32_t>(in);
    for (size_t at = 0; at < in.size(); ++at) {
      for (const char b :
           {'A', '\x80', '\xBF', '\xC1', '\xC4', '\xE0', '\xED', '\xF0', '\xF4', '\xF5'}) {
        std::string bad = in;
        bad[at] = b;
        check_against_reference<uint32_t>(bad);
        if (widest < 2) check_against_reference<uint16_t>(bad);
        if (widest == 0) check_against_reference<uint8_t>(bad);
      }
      check_against_reference<uint32_t>(in.substr(0, at) + in.substr(at + 1));
    }
  }
}

// A block handed over whole keeps back only a last sequence that runs past its end.
void test_whole_sequences() {
  for (const std::string seq : {"a", "\xC3\xA9", "\xE6\x9D\xB1", "\xF0\x9F\x98\x80"}) {
    const std::string in = "ab" + seq;
    for (size_t cut = 0; cut <= seq.size(); ++cut) {
      const size_t n = 2 + cut;
      CHECK(utf8::whole_sequences(in.data(), n) == (cut == seq.size() || cut == 0 ? n : 2));
    }
  }
  CHECK(utf8::whole_sequences("", 0) == 0 && utf8::whole_sequences("\x80\x80", 2) == 2);
}

void test_refusals() {
  CHECK(refuses<uint8_t>("\xC4\x80"));           // too wide for one byte
  CHECK(refuses<uint16_t>("\xF0\x9F\x98\x80"));  // too wide for two bytes
  CHECK(refuses<uint32_t>("\x80"));              // stray continuation byte
  CHECK(refuses<uint32_t>("ab\xC3"));            // cut off at the end
  CHECK(refuses<uint32_t>("\xE6\x9D"));          // cut off at the end
  CHECK(refuses<uint32_t>("\xC3(x"));            // lead without continuation
  CHECK(refuses<uint32_t>("\xC0\x80"));          // overlong
  CHECK(refuses<uint32_t>("\xE0\x80\x80"));      // overlong
  CHECK(refuses<uint32_t>("\xED\xA0\x80"));      // surrogate
  CHECK(refuses<uint32_t>("\xF5\x80\x80\x80"));  // beyond U+10FFFF
  // The same inside a run past ASCII.
  for (const char* bad : {"\xC3\xA9\xC3(\xC3\xA9", "\xC3\xA9\xED\xA0\x80", "\xC3\xA9\xC3"})
    CHECK(refuses<uint32_t>(bad));
  for (const char* bad :
       {"\x80", "ab\xC3", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF0\x80\x80\x80",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "abcdefgh\xE6\x9D"})
    CHECK(!utf8::valid(bad, std::strlen(bad)));
  for (const char* good : {"", "abcdefghijk", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF",
                           "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF plain ascii tail"})
    CHECK(utf8::valid(good, std::strlen(good)));
  // A count smaller than the text never writes past it.
  std::string in(40, 'x');
  std::vector<uint32_t> out(11, 7);
  CHECK(!utf8::decode(in.data(), in.size(), out.data(), 10) && out[10] == 7);
  std::string run;  // nor in a run past ASCII
  for (int i = 0; i < 20; ++i) run += "\xC3\xA9";
  CHECK(!utf8::decode(run.data(), run.size(), out.data(), 10) && out[10] == 7);
}

}  // namespace

int main() {
  test_census();
  test_census_long();
  test_decode();
  test_decode_long();
  test_whole_sequences();
  test_refusals();
  return native_test::finish("test_utf8");
}
