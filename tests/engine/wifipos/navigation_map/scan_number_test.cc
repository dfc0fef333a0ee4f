// The shared number readers against the C library reading they stand in for:
// the same acceptance and, for doubles, the same bits.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "wifipos/navigation_map/scan_number.h"

namespace {

// strtod as the readers document it: leading number, trailing text ignored,
// nan and inf refused.
bool referenceDouble(const char* text, double& value) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || !std::isfinite(v)) return false;
  value = v;
  return true;
}

void expectSameDouble(const std::string& text) {
  SCOPED_TRACE("text \"" + text + "\"");
  double want = -7.0, got = -7.0;
  const bool wantOk = referenceDouble(text.c_str(), want);
  const bool gotOk = ScanDouble(text.c_str(), got);
  ASSERT_EQ(gotOk, wantOk);
  if (!wantOk) {
    EXPECT_EQ(got, -7.0);  // untouched
    return;
  }
  std::uint64_t a, b;
  std::memcpy(&a, &want, sizeof a);
  std::memcpy(&b, &got, sizeof b);
  EXPECT_EQ(b, a) << got << " vs " << want;
}

TEST(ScanNumber, DoublesReadAsStrtodReadsThem) {
  const char* cases[] = {
      "0.1", "-0.0", "0", "-0", "00012.50", ".5", "-.5", "5.", "-", ".", "", "-.",
      "0.30000000000000004", "2.2250738585072011e-308", "1e5", " 2.5", "\t-3.25", "+3",
      "0x1p3", "inf", "-inf", "nan", "1.5abc", "1.5 ", "12,5", "1..2", "--1",
      "179769313486231570000000000000000000000.0",  // near the 40-character bound
      "0.0000000000000000000000000000000000000001",  // 42 characters
      "123456789012345678901234567890.123456789",   // exactly 40
      "9007199254740993", "9007199254740993.0000000001", "0.1000000000000000055511151231257827",
      "4.35", "0.005214", "41.98", "-59", "2437"};
  for (const char* text : cases) expectSameDouble(text);
}

TEST(ScanNumber, SeededDecimalTextsReadAsStrtodReadsThem) {
  std::mt19937_64 rng(20261207);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (pick(4) == 0) text += '-';
    const int whole = pick(22);
    for (int k = 0; k < whole; ++k) text += static_cast<char>('0' + pick(10));
    if (pick(3) != 0) {
      text += '.';
      const int fraction = pick(24);
      for (int k = 0; k < fraction; ++k) text += static_cast<char>('0' + pick(10));
    }
    // Now and then a tail the fast reading must not take: an exponent, a
    // letter, a blank, a second point.
    switch (pick(12)) {
      case 0: text += "e" + std::to_string(pick(700) - 350); break;
      case 1: text += 'x'; break;
      case 2: text += ' '; break;
      case 3: text += ".5"; break;
      default: break;
    }
    expectSameDouble(text);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
