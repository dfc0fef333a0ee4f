#include "wifipos/sensor_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/server/log_capture.h"

namespace {

AccessPoint Parsed(const std::string& text, int* rc = nullptr) {
  AccessPoint ap;
  ap.setDistribution(text);
  int r = ap.parseDistributionString();
  if (rc) *rc = r;
  return ap;
}

TEST(AccessPointHistogram, RefusesUnusableTexts) {
  LogCapture log(13);
  int rc = 0;
  for (const char* bad : {"", "7:", "75 80 90"}) {
    Parsed(bad, &rc);
    EXPECT_EQ(rc, 9) << bad;
  }
  EXPECT_TRUE(log.contains("Bad distribution string 75 80 90 \n"));

  AccessPoint only127 = Parsed("127:5");
  EXPECT_EQ(only127.calculateMeanRssi(), 9);
  EXPECT_TRUE(only127.getHistogram().empty());
  EXPECT_TRUE(log.contains("ERROR: bad measurement in histogram == 127\n"));
  EXPECT_TRUE(log.contains("ERROR: Bad histogramm. nMeasurements == 0\n"));

  AccessPoint mixed = Parsed("0:4 -3:1 70:2");
  ASSERT_EQ(mixed.calculateMeanRssi(), 0);
  EXPECT_DOUBLE_EQ(mixed.getRssi(), -70.0);

  AccessPoint negative = Parsed("10:2 90:-1");  // the mean comes out positive
  EXPECT_EQ(negative.calculateMeanRssi(), 9);
  EXPECT_TRUE(
      log.contains("ERROR mean calculated from distribution >= 0\n"
                   "check distribution: 10:2 90:-1\n"));
  AccessPoint empty;
  EXPECT_EQ(empty.calculateVariance(), 0);
  EXPECT_TRUE(log.contains("nOfMeasurements in calc Variance == 0\n"));
}

// Histogram texts come from map archives: garbage must be refused or read,
// never crash or overflow (UBSan watches the conversions and sums).
TEST(AccessPointHistogram, MutatedTextsNeverCrash) {
  LogCapture quiet;
  std::mt19937 rng(99);
  const char pool[] = "0123456789: -+\t\x7f\x80x";
  for (int i = 0; i < 3000; ++i) {
    std::string text = "71:4 72:10 127:3 80:2147483647 99999999999:5 1:2147483647";
    for (int k = 0; k < 4 && !text.empty(); ++k) {
      size_t at = rng() % text.size();
      char c = pool[rng() % (sizeof pool - 1)];
      if (rng() % 3 == 0)
        text.resize(at);
      else if (rng() % 2)
        text[at] = c;
      else
        text.insert(at, 1, c);
    }
    int rc = 0;
    AccessPoint ap = Parsed(text, &rc);
    if (rc != 0) continue;
    if (ap.calculateMeanRssi() == 0) {
      EXPECT_LT(ap.getRssi(), 0.0);
    }
    EXPECT_EQ(ap.calculateVariance(), 0);
  }
}

// The histogram-text rules written out plainly: pairs split at the first
// colon and the next blank, each number read as strtol would (blanks, a
// sign, digits, the rest ignored) clamped to int, a later level replacing an
// earlier one, the count summed in 64 bits and clamped.
std::map<int, int> ReferenceBins(const std::string& text, int* count) {
  auto number = [](const std::string& piece) {
    size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || (piece[i] >= '\t' && piece[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) negative = piece[i++] == '-';
    long long v = 0;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) v = std::min(v * 10 + (piece[i] - '0'), 1LL << 40);
    if (negative) v = -v;
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
  };
  std::map<int, int> bins;
  long long total = 0;
  size_t p = 0;
  while (p < text.size()) {
    const size_t colon = text.find(':', p);
    if (colon == std::string::npos) break;
    const size_t blank = std::min(text.find(' ', colon + 1), text.size());
    const int c = number(text.substr(colon + 1, blank - colon - 1));
    bins[number(text.substr(p, colon - p))] = c;
    total += c;
    if (blank == text.size()) break;
    p = blank + 1;
  }
  *count = static_cast<int>(std::clamp<long long>(total, INT_MIN, INT_MAX));
  return bins;
}

// Sound texts take a shortcut through the reading; every text, sound or
// not, must be read as the plain rules read it.
TEST(AccessPointHistogram, ReadsTextsAsThePlainRules) {
  LogCapture quiet;
  std::vector<std::string> texts = {
      "71:4 72:10 75:1",
      "75:1 71:4 72:10 71:2",            // descending, a level repeated
      "70:1 71:2 72:3 72:9",             // ascending, then the last level again
      "70:1 72:2 74:3 71:4 75:5",        // ascending, one level out of order
      "123456789:1 1234567890:2 9:999999999 8:9999999999",  // nine digits and more
      "99999999999:5 1:2147483647 2:2147483647",
      "70: 5 71:+3 -72:4 \t73:2 74:x 75:6y 76 77:8",
      "70::3 :4 80:",
      "07:009 0000000071:1",
  };
  std::string many;  // beyond the bins gathered before the histogram is sized
  for (int i = 300; i > 0; --i) many += std::to_string(i % 140) + ":" + std::to_string(i) + " ";
  texts.push_back(many);
  std::mt19937 rng(4242);
  const char pool[] = "0123456789: -+\t";
  for (int i = 0; i < 2000; ++i) {
    std::string text = texts[i % texts.size()];
    for (int k = 0; k < 3; ++k) {
      const size_t at = rng() % (text.size() + 1);
      const char c = pool[rng() % (sizeof pool - 1)];
      if (rng() % 2 && at < text.size())
        text[at] = c;
      else
        text.insert(at, 1, c);
    }
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    int rc = 0;
    const AccessPoint ap = Parsed(text, &rc);
    if (text.size() < 3 || text.find(':') == std::string::npos) {
      EXPECT_EQ(rc, 9) << text;
      continue;
    }
    ASSERT_EQ(rc, 0) << text;
    int count = 0;
    const std::map<int, int> bins = ReferenceBins(text, &count);
    EXPECT_EQ(ap.getHistogram(), bins) << text;
    EXPECT_EQ(ap.getMeasurementCount(), count) << text;
  }
}

TEST(SensorValueTime, SetTimeNormalisesMilliseconds) {
  struct Case {
    int sec, ms;
    unsigned wantSec, wantMs;
  } cases[] = {{10, 999, 10, 999}, {10, 1000, 11, 0},   {10, 2500, 12, 500}, {10, -1, 9, 999},
               {10, -1000, 9, 0},  {10, -1500, 8, 500}, {1, -1000, 0, 0}};
  for (const Case& c : cases) {
    SensorValue v;
    v.setTime(c.sec, c.ms);
    EXPECT_EQ(v.time, SensorTime(c.wantSec, c.wantMs)) << c.sec << " " << c.ms;
  }
  LogCapture log(13);
  SensorValue v;
  v.time.ms = 123;
  v.setTime(1, -1500);  // borrows 2 s from 1 s: seconds stored, ms kept
  EXPECT_EQ(v.time, SensorTime(1u, 123u));
  EXPECT_TRUE(log.contains("ERROR: time diff = 2 > unixTime = 1"));
  v.setTime(5, INT_MIN);  // no overflow in the borrow
  EXPECT_EQ(v.time.sec, 5u);
}

TEST(SensorValueTime, SecondsConstructorAndDifferences) {
  EXPECT_EQ(SensorTime(12.3456), SensorTime(12u, 345u));
  EXPECT_EQ(SensorTime(4102444799.5).sec, 4102444799u);  // past 2038
  LogCapture log(13);
  EXPECT_EQ(SensorTime(-1.0), SensorTime());  // zero, not uninitialised
  EXPECT_TRUE(log.contains("ERROR: unix time < 0\n"));

  SensorTime a(10u, 100u), b(3u, 900u);
  EXPECT_EQ(a - b, SensorTime(6u, 200u));
  EXPECT_EQ(a.minusSeconds(10), SensorTime(0u, 100u));
  EXPECT_EQ(b - a, b);  // the later time cannot be subtracted
  EXPECT_TRUE(log.contains("ERROR: Other time is more than current."));
  EXPECT_EQ(a.minusSeconds(11), a);
  EXPECT_TRUE(log.contains("ERROR: Can't subtract time. Sec = 11d > mUnixTIme = 10d"));
}

}  // namespace
