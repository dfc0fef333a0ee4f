// Number readers shared by the map-archive member readers: the leading number
// of an attribute or element text, as scanf's "%d" and "%lf" read it (blanks
// skipped, trailing characters ignored), but without scanf's undefined
// behaviour on overflow. A number beyond int is unreadable rather than wrapped,
// and nan and inf are refused: no map value means anything with them, and they
// would poison every sum computed from it.
#pragma once

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

inline bool ScanInt(const char* text, int& value) {
  if (!text) return false;
  // Plain short numbers, by far the most common, without the library call.
  {
    const char* p = text;
    const bool negative = *p == '-';
    if (negative) ++p;
    int v = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 9; ++p, ++digits) v = v * 10 + (*p - '0');
    if (digits > 0 && *p == '\0') {
      value = negative ? -v : v;
      return true;
    }
  }
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

inline bool ScanDouble(const char* text, double& value) {
  if (!text) return false;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || !std::isfinite(v)) return false;
  value = v;
  return true;
}
