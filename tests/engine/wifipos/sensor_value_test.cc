#include "wifipos/sensor_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include "engine/server/log_capture.h"

namespace {

AccessPoint WithDistribution(const std::string& text) {
  AccessPoint ap;
  ap.setDistribution(text);
  return ap;
}

TEST(AccessPointHistogram, ParsesPairsIntoHistogramMeanAndVariance) {
  AccessPoint ap = WithDistribution("75:3 80:1");
  ASSERT_EQ(ap.parseDistributionString(), 0);
  EXPECT_EQ(ap.getHistogram(), (std::map<int, int>{{75, 3}, {80, 1}}));
  EXPECT_EQ(ap.getMeasurementCount(), 4);
  ASSERT_EQ(ap.calculateMeanRssi(), 0);
  EXPECT_DOUBLE_EQ(ap.getRssi(), -76.25);
  ASSERT_EQ(ap.calculateVariance(), 0);
  // Levels 75,75,75,80: sample variance 25/4 * 4/3 ... = (22525 - 305^2/4) / 3.
  EXPECT_DOUBLE_EQ(ap.getVariance(), (3 * 75.0 * 75 + 80.0 * 80 - 305.0 * 305 / 4) / 3);

  // A repeated level overwrites the histogram bin but every count is counted.
  AccessPoint rep = WithDistribution("75:3 75:1");
  ASSERT_EQ(rep.parseDistributionString(), 0);
  EXPECT_EQ(rep.getHistogram(), (std::map<int, int>{{75, 1}}));
  EXPECT_EQ(rep.getMeasurementCount(), 4);

  // Leading blanks before a level are skipped like atoi does.
  AccessPoint spaced = WithDistribution(" 71:4  72:10 75:1");
  ASSERT_EQ(spaced.parseDistributionString(), 0);
  EXPECT_EQ(spaced.getHistogram(), (std::map<int, int>{{71, 4}, {72, 10}, {75, 1}}));
  EXPECT_EQ(spaced.getMeasurementCount(), 15);

  // Parsing again replaces, it does not accumulate.
  spaced.setDistribution("60:2");
  ASSERT_EQ(spaced.parseDistributionString(), 0);
  EXPECT_EQ(spaced.getHistogram(), (std::map<int, int>{{60, 2}}));
  EXPECT_EQ(spaced.getMeasurementCount(), 2);
  ASSERT_EQ(spaced.calculateVariance(), 0);
  EXPECT_EQ(spaced.getVariance(), 0.0);  // fewer than three samples
}

TEST(AccessPointHistogram, RefusesUnusableTexts) {
  LogCapture log(13);
  for (const char* bad : {"", "7:", "75 80 90"}) {
    AccessPoint ap = WithDistribution(bad);
    EXPECT_EQ(ap.parseDistributionString(), 9) << bad;
  }
  EXPECT_TRUE(log.contains("Bad distribution string 75 80 90 \n"));

  // Only impossible levels: they are dropped and nothing is left.
  AccessPoint only127 = WithDistribution("127:5");
  ASSERT_EQ(only127.parseDistributionString(), 0);
  EXPECT_EQ(only127.calculateMeanRssi(), 9);
  EXPECT_TRUE(only127.getHistogram().empty());
  EXPECT_TRUE(log.contains("ERROR: bad measurement in histogram == 127\n"));
  EXPECT_TRUE(log.contains("ERROR: Bad histogramm. nMeasurements == 0\n"));

  AccessPoint mixed = WithDistribution("0:4 -3:1 70:2");
  ASSERT_EQ(mixed.parseDistributionString(), 0);
  ASSERT_EQ(mixed.calculateMeanRssi(), 0);
  EXPECT_DOUBLE_EQ(mixed.getRssi(), -70.0);
  EXPECT_EQ(mixed.getHistogram().size(), 1u);

  // Negative counts can make the mean non-negative: refused.
  AccessPoint negative = WithDistribution("10:2 90:-1");
  ASSERT_EQ(negative.parseDistributionString(), 0);
  EXPECT_EQ(negative.calculateMeanRssi(), 9);
  EXPECT_TRUE(log.contains(
      "ERROR mean calculated from distribution >= 0\ncheck distribution: 10:2 90:-1\n"));

  AccessPoint empty;
  EXPECT_EQ(empty.calculateVariance(), 0);
  EXPECT_EQ(empty.getVariance(), 0.0);
  EXPECT_TRUE(log.contains("nOfMeasurements in calc Variance == 0\n"));
}

// Histogram texts come from map archives: garbage must be refused or read,
// never crash or overflow (UBSan watches the number conversions).
TEST(AccessPointHistogram, MutatedTextsNeverCrash) {
  LogCapture quiet;  // keeps the expected error flood out of the system log
  std::mt19937 rng(99);
  const std::string seed = "71:4 72:10 75:1 127:3 80:2147483647 99999999999:5";
  const char pool[] = "0123456789: -+\t\n\x7f\x80xyz";
  for (int i = 0; i < 3000; ++i) {
    std::string text = seed;
    for (int k = 0; k < 4 && !text.empty(); ++k) {
      size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0:
          text[at] = pool[rng() % (sizeof pool - 1)];
          break;
        case 1:
          text.resize(at);
          break;
        default:
          text.insert(at, 1, pool[rng() % (sizeof pool - 1)]);
          break;
      }
    }
    AccessPoint ap = WithDistribution(text);
    int rc = ap.parseDistributionString();
    ASSERT_TRUE(rc == 0 || rc == 9);
    if (rc != 0) continue;
    if (ap.calculateMeanRssi() == 0) {
      EXPECT_LT(ap.getRssi(), 0.0);
    }
    EXPECT_EQ(ap.calculateVariance(), 0);
  }
}

TEST(AccessPointBasics, DefaultsClearAndIdentity) {
  AccessPoint ap;
  EXPECT_EQ(ap.getType(), -1);
  ap.setBssid("b");
  ap.setType(2);
  ap.setRssi(-50);
  ap.setRefPointIndex(17);
  ap.setDistribution("50:1");
  ap.setTimeStamp(SensorTime(3u, 4u));
  ASSERT_EQ(ap.parseDistributionString(), 0);
  AccessPoint copy = ap;
  ap.clear();
  EXPECT_EQ(ap.getType(), 0);
  EXPECT_EQ(ap.getBssid(), "");
  EXPECT_TRUE(ap.getHistogram().empty());
  EXPECT_EQ(ap.getRssi(), 0.0);
  EXPECT_EQ(ap.getTimeStamp(), SensorTime());
  EXPECT_EQ(ap.getRefPointIndex(), 17);
  // The copy is deep.
  EXPECT_EQ(copy.getHistogram().size(), 1u);
  EXPECT_EQ(copy.getRssi(), -50.0);

  AccessPoint a, b;
  a.setBssid("ab");
  b.setBssid("abc");
  a.setRssi(-1);
  EXPECT_TRUE(a < b);
  EXPECT_FALSE(a > b);
  b.setBssid("ab");
  EXPECT_TRUE(a == b);

  LogCapture log(13);
  a.setType(0);
  a.setDistance(3.5);
  EXPECT_EQ(a.getDistance(), 3.5);
  EXPECT_TRUE(log.contains("Warning: there is no distance at non beacon AP type!\n"));
}

TEST(SensorValueTime, SetTimeNormalisesMilliseconds) {
  struct Case {
    int sec, ms;
    unsigned wantSec, wantMs;
  } cases[] = {{10, 0, 10, 0},   {10, 999, 10, 999}, {10, 1000, 11, 0},   {10, 2500, 12, 500},
               {10, -1, 9, 999}, {10, -1000, 9, 0},  {10, -1500, 8, 500}, {1, -1000, 0, 0}};
  for (const Case& c : cases) {
    SensorValue v;
    v.setTime(c.sec, c.ms);
    EXPECT_EQ(v.time.sec, c.wantSec) << c.sec << " " << c.ms;
    EXPECT_EQ(v.time.ms, c.wantMs) << c.sec << " " << c.ms;
  }
  LogCapture log(13);
  SensorValue v;
  v.time.ms = 123;
  v.setTime(1, -1500);  // borrows 2 s from 1 s
  EXPECT_EQ(v.time.sec, 1u);
  EXPECT_EQ(v.time.ms, 123u);
  EXPECT_TRUE(log.contains("ERROR: time diff = 2 > unixTime = 1"));
  v.setTime(5, INT_MIN);  // no overflow in the borrow
  EXPECT_EQ(v.time.sec, 5u);
}

TEST(SensorValueTime, SecondsConstructorAndArithmetic) {
  SensorTime t(12.3456);
  EXPECT_EQ(t.sec, 12u);
  EXPECT_EQ(t.ms, 345u);
  EXPECT_EQ(SensorTime(4102444799.5).sec, 4102444799u);  // past 2038
  {
    LogCapture log(13);
    SensorTime neg(-1.0);
    EXPECT_EQ(neg, SensorTime());
    EXPECT_TRUE(log.contains("ERROR: unix time < 0\n"));
  }

  SensorTime a(10u, 100u), b(3u, 900u);
  SensorTime d = a - b;
  EXPECT_EQ(d, SensorTime(6u, 200u));
  EXPECT_DOUBLE_EQ(d.getTimeInSeconds(), 6.2);
  EXPECT_EQ(a.minusSeconds(10), SensorTime(0u, 100u));
  {
    LogCapture log(13);
    EXPECT_EQ(b - a, b);  // the later time cannot be subtracted
    EXPECT_TRUE(log.contains("ERROR: Other time is more than current."));
    EXPECT_EQ(a.minusSeconds(11), a);
    EXPECT_TRUE(log.contains("ERROR: Can't subtract time. Sec = 11d > mUnixTIme = 10d"));
  }
  EXPECT_TRUE(b < a);
  EXPECT_FALSE(SensorTime(3u, 1u) > b);
  EXPECT_TRUE(SensorTime(3u, 901u) > b);
  EXPECT_TRUE(a >= a && a <= a);
}

TEST(SensorValueTime, SumCarriesMillisecondsAndKeepsLeftType) {
  SensorValue a, b;
  a.fillComponents(1, 2, 3);
  a.type = 101;
  a.setTime(10, 999);
  b.fillComponents(0.5, 0.5, 0.5);
  b.magnitude = 2;
  b.type = 101;
  b.setTime(5, 2);
  SensorValue s = a + b;
  EXPECT_EQ(s.time, SensorTime(16u, 1u));
  EXPECT_DOUBLE_EQ(s.x, 1.5);
  EXPECT_DOUBLE_EQ(s.z, 3.5);
  EXPECT_DOUBLE_EQ(s.magnitude, 2.0);
  EXPECT_EQ(s.type, 101);

  LogCapture log(13);
  b.type = 102;
  a += b;
  EXPECT_EQ(a.type, 101);
  EXPECT_EQ(a.time, SensorTime(16u, 1u));
  EXPECT_TRUE(log.contains("Error: can't concatinate measurements with different type."));

  // Division leaves the sample as it is (callers rely on the sum).
  SensorValue q = a / 4.0;
  EXPECT_EQ(q, a);
  q /= 2.0;
  EXPECT_DOUBLE_EQ(q.x, a.x);
}

TEST(SensorValueTime, EqualityOrderAndHelpers) {
  SensorValue a, b;
  a.fillComponents(3, 4, 0);
  b = a;
  a.type = 101;
  b.type = 103;
  b.quality = 7;
  EXPECT_TRUE(a == b);  // type, magnitude and quality take no part
  b.setTime(0, 1);
  EXPECT_TRUE(a != b);
  EXPECT_TRUE(a < b);
  EXPECT_TRUE(b >= a);
  EXPECT_DOUBLE_EQ(SensorValue::getAbsTimeDifInSec(a, b), 0.001);
  EXPECT_DOUBLE_EQ(SensorValue::getAbsTimeDifInSec(b, a), 0.001);
  a.calcMagnitude();
  EXPECT_DOUBLE_EQ(a.magnitude, 5.0);
  a.setTime(7, 8);
  EXPECT_NE(a.getSensorString().find("Sensor type=101 X=3.000000 Y=4.000000"), std::string::npos);
  EXPECT_NE(a.getSensorString().find("unixTime sec=7 millisec=8"), std::string::npos);
  a.clear();
  EXPECT_EQ(a.type, 0);
  EXPECT_EQ(a.magnitude, 0.0);
  EXPECT_EQ(a.time, SensorTime());
}

TEST(BeaconTypes, DefaultsOrderAndReadings) {
  BeaconMeas m;
  EXPECT_EQ(m.getRssi(), 1.0);
  EXPECT_EQ(m.getDistance(), 0.0);
  EXPECT_EQ(m.getPower(), 0.0);
  EXPECT_EQ(m.getBattery(), 0.0);

  Beacon beacon;
  beacon.fillData(1, 2, 0.1, 0.2, "(00001,00101,UUID)", "b1", "ignored");
  beacon.setBeaconName(nullptr);  // a null name is an empty one
  EXPECT_EQ(beacon.getName(), "");
  BeaconMeas r(&beacon, -70, 3);
  EXPECT_EQ(r.getBeaconId(), "(00001,00101,UUID)");
  EXPECT_EQ(r.getBeaconPtr(), &beacon);
  EXPECT_EQ(r.getPower(), 0.0);  // not left uninitialised
  EXPECT_EQ(r.getBattery(), 0.0);
  BeaconMeas unresolved(nullptr, -60, 1);
  EXPECT_EQ(unresolved.getBeaconId(), "");

  BeaconMeas weak(&beacon, -80, 1), near(&beacon, -70, 1), far(&beacon, -70, 5);
  EXPECT_TRUE(weak < near);
  EXPECT_TRUE(near < far);
  EXPECT_TRUE(far > near);
  EXPECT_TRUE(near > weak);
  EXPECT_TRUE(weak == far);  // same beacon

  std::vector<Beacon> list(3);
  list[0].setBeaconId("b");
  list[1].setBeaconId("ab");
  list[2].setBeaconId("a");
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list[0].getId(), "a");
  EXPECT_EQ(list[2].getId(), "b");
  EXPECT_TRUE(list[0] != list[1]);
}

TEST(NavPointMath, ComponentWise) {
  NavPoint p(1, 2), q(3, 5);
  EXPECT_EQ(p + q, NavPoint(4, 7));
  EXPECT_EQ(q - p, NavPoint(2, 3));
  EXPECT_EQ(p * 2, NavPoint(2, 4));
  EXPECT_EQ(q / 2, NavPoint(1.5, 2.5));
  p += q;
  p -= NavPoint(1, 1);
  p *= 2;
  p /= 4;
  EXPECT_EQ(p, NavPoint(1.5, 3));
  EXPECT_NE(p, NavPoint());
}

}  // namespace
