#include "wifipos/sensor_value.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

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
