#include "wifipos/motion/smoothing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

TEST(SmoothingTest, NoUndefinedValueComesOut) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Smoothing s;
  s.addData(0, 1.0, 1.0);
  s.addData(0, nan, 1.1);
  s.addData(0, HUGE_VAL, 1.2);
  s.addData(0, 2.0, nan);
  s.addData(0, 3.0, 2.0);
  EXPECT_TRUE(std::isfinite(s.getValue(0, 2.0)));
  EXPECT_TRUE(std::isfinite(s.getValue(0, nan)));
  // Equal times that are not neighbours leave a quadratic undetermined.
  SmoothingInfo c;
  c.setOrder(2);
  for (const auto& [v, t] : {std::pair{1.0, 5.0}, {2.0, 6.0}, {3.0, 5.0}}) c.addData(v, t);
  EXPECT_EQ(c.getLeastSquaresCoeff(), -1);
  EXPECT_TRUE(std::isfinite(c.getValue(6.0)));
  EXPECT_NEAR(c.getLeastSquaresSolution(6.0), 2.0, 1e-12);  // the mean
}

// With no more samples than the fit's order, the value is read off the
// polynomial through them, at the query time less the lag (0.7 s).
TEST(SmoothingTest, FewSamplesAreInterpolatedAtTheLag) {
  const struct {
    std::vector<std::pair<double, double>> samples;  // value, time
    double query, expected;
  } cases[] = {
      {{{5.0, 10.0}}, 12.0, 5.0},
      {{{1.0, 10.0}, {3.0, 11.0}}, 11.7, 3.0},
      {{{1.0, 10.0}, {3.0, 11.0}}, 11.2, 2.0},
      {{{1.0, 10.0}, {3.0, 11.0}}, 12.7, 5.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.samples.size() << " samples, query " << c.query);
    SmoothingInfo info;
    info.setOrder(2);
    for (const auto& [v, t] : c.samples) info.addData(v, t);
    EXPECT_NEAR(info.getValue(c.query), c.expected, 1e-9);
  }
}

TEST(SmoothingTest, FitStaysAccurateLateInALongSession) {
  SmoothingInfo c;
  const double t0 = 20000.0;
  for (int k = 0; k < 20; ++k) c.addData(2.0 * (t0 + 0.1 * k) + 1.0, t0 + 0.1 * k);
  EXPECT_NEAR(c.getLeastSquaresSolution(t0 + 1.9), 2.0 * (t0 + 1.2) + 1.0, 1e-4);
}

// A walker at 1.2 m/s whose fixes arrive at uneven spacings, the output read
// every 0.1 s (as the kit's positioning step does) or only with a new fix (as
// the original step did): how far the output trails the walker once
// settled, in seconds of walking.
double SettledLagSeconds(double trackingQ, const std::vector<double>& spacings,
                         bool everyTick = true) {
  Smoothing s;
  s.setTracking(trackingQ);
  const double speed = 1.2;
  double t = 10.0;
  double nextSample = t;
  size_t k = 0;
  double worst = 0.0;
  for (int tick = 0; tick < 600; ++tick, t += 0.1) {
    const bool fix = t >= nextSample - 1e-9;
    if (fix) {
      s.addData(0, speed * t, t);
      nextSample += spacings[k++ % spacings.size()];
    }
    if (!fix && !everyTick) continue;
    const double out = s.getValue(0, t);
    if (tick > 200) worst = std::max(worst, std::fabs(speed * t - out) / speed);
  }
  return worst;
}

TEST(SmoothingTest, TrackingKeepsUpWithTheWalkerWhateverTheCallSpacing) {
  const struct {
    const char* name;
    std::vector<double> spacings;
  } cases[] = {
      {"every tick", {0.1}},
      {"every window move", {0.9}},
      {"uneven", {0.1, 0.9, 0.3, 1.4, 0.5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Read ahead along the velocity for at most a second past a fix.
    EXPECT_LT(SettledLagSeconds(0.5, c.spacings), 0.45);
  }
  // The fit read 0.7 s in the past and blended 4:1 per call trails by
  // seconds once fixes come once per window move.
  EXPECT_GT(SettledLagSeconds(0.0, {0.9}, false), 3.0);
}

TEST(SmoothingTest, TrackingLearnsTheNoiseOfTheTrack) {
  // A phone lying still whose fixes scatter by 1 m: the output scatters far
  // less. The same tracker follows a clean walk closely (above).
  SmoothingInfo c;
  c.setTracking(0.05);
  uint64_t state = 12345;
  auto gauss = [&state]() {
    double sum = 0.0;  // Irwin-Hall: twelve uniforms, unit variance
    for (int i = 0; i < 12; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      sum += static_cast<double>(state >> 11) / 9007199254740992.0;
    }
    return sum - 6.0;
  };
  double sq = 0.0;
  int n = 0;
  for (int k = 0; k < 400; ++k) {
    const double t = 10.0 + 0.5 * k;
    c.addData(5.0 + gauss(), t);
    const double out = c.getValue(t);
    if (k > 100) {
      sq += (out - 5.0) * (out - 5.0);
      ++n;
    }
  }
  EXPECT_LT(std::sqrt(sq / n), 0.6);
  // Cleared, the track starts again from the next sample.
  c.clear();
  c.addData(-3.0, 300.0);
  EXPECT_EQ(c.getValue(300.0), -3.0);
}

}  // namespace

TEST(SmoothingTest, ReadAheadIsBoundedByItsSetting) {
  // A clean walk at 1 m/s sampled every second; asked half a second and two
  // seconds after the last sample, the output goes on along the velocity
  // for at most the read-ahead, and not at all with none.
  const struct {
    const char* name;
    double readAhead;
    double expectedAhead;  // seconds actually read ahead at +0.5 s and +2 s
    double expectedFar;
  } cases[] = {
      {"default", -1.0, 0.5, 1.0},
      {"half a second", 0.5, 0.5, 0.5},
      {"none", 0.0, 0.0, 0.0},
      {"beyond a second is a second", 5.0, 0.5, 1.0},
      {"undefined is the default", std::nan(""), 0.5, 1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SmoothingInfo s;
    s.setTracking(0.5);
    if (c.readAhead >= 0.0 || std::isnan(c.readAhead)) s.setReadAhead(c.readAhead);
    double last = 0.0;
    for (int k = 0; k <= 60; ++k) {
      s.addData(10.0 + k, 100.0 + k);
      last = s.getValue(100.0 + k);
    }
    EXPECT_NEAR(last, 70.0, 0.05);
    EXPECT_NEAR(s.getValue(160.5) - last, c.expectedAhead, 0.05);
    EXPECT_NEAR(s.getValue(162.0) - last, c.expectedFar, 0.05);
  }
}
