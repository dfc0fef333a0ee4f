// Number readers shared by the map-archive member readers: the leading number
// of an attribute or element text, as scanf's "%d" and "%lf" read it (blanks
// skipped, trailing characters ignored), but without scanf's undefined
// behaviour on overflow. A number beyond int is unreadable rather than wrapped,
// and nan and inf are refused: no map value means anything with them, and they
// would poison every sum computed from it.
#pragma once

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <system_error>

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
  // Plain short decimals ("-12.345"), nearly every number of a map, by
  // from_chars: it rounds correctly, as glibc's strtod does, so the bits are
  // the same, at a fraction of the cost. The length bound keeps such a text
  // far from overflow and underflow. Anything else (blanks, a plus sign, an
  // exponent, hexadecimal, inf, trailing text) is read by strtod.
  {
    const char* p = text;
    if (*p == '-') ++p;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') ++p;
    bool any = p != digits;
    if (*p == '.') {
      const char* fraction = ++p;
      while (*p >= '0' && *p <= '9') ++p;
      any = any || p != fraction;
    }
    if (any && *p == '\0' && p - text <= 40) {
      double v = 0.0;
      const std::from_chars_result r = std::from_chars(text, p, v);
      if (r.ec == std::errc() && r.ptr == p) {
        value = v;
        return true;
      }
    }
  }
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || !std::isfinite(v)) return false;
  value = v;
  return true;
}
