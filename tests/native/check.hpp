// The few lines of harness the native unit tests share: count checks, report failures, and
// print the closing "N passed, N failed" line.
#pragma once

#include <cstdio>

namespace native_test {

inline int g_passed = 0;
inline int g_failed = 0;

inline void check(bool ok, const char* what, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL line %d: %s\n", line, what);
  }
}

// Exit status of the test program.
inline int finish(const char* name) {
  std::printf("%s: %d passed, %d failed\n", name, g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}

}  // namespace native_test

#define CHECK(cond) ::native_test::check((cond), #cond, __LINE__)
