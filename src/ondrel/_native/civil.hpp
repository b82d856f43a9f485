// Proleptic Gregorian dates as whole days since 1970-01-01 and back (Howard Hinnant's
// algorithms), shared by the reader's Arrow columns and the writer's date text.
#pragma once

#include <cstdint>

namespace ondrel::civil {

struct Date {
  int64_t year;
  unsigned month;
  unsigned day;
};

inline int64_t floor_div(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

inline int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

inline Date civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return Date{static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

}  // namespace ondrel::civil
