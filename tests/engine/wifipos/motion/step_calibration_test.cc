#include "wifipos/motion/step_calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "wifipos/motion/pedometer.h"
#include "wifipos/motion/step_length.h"

namespace {

using steplength::Calibration;

struct Case {
  double walkerGain;  // the walker's true gain against the typical one
  double fixNoise;    // m, per axis
  double lag;         // s the fixes trail the walker
  double stand;       // s standing at each corner
};

// A walker going round a 40 m x 20 m block at 1.3 m/s with steps of 0.7 m
// whose lengths the model gets wrong by the walker's gain, standing at the
// corners or not; a radio fix each second, trailing the walker. The gain ends
// within 4 % of the walker's after some 3 km.
TEST(StepCalibrationTest, GainComesToTheWalkersOnALongWalk) {
  for (const Case c : {Case{1.0, 1.5, 0.0, 0.0}, Case{1.18, 1.5, 0.0, 0.0}, Case{0.82, 1.5, 3.0, 0.0},
                       Case{1.12, 0.5, 3.0, 8.0}, Case{0.9, 2.5, 4.0, 5.0}}) {
    std::mt19937_64 rng(91);
    std::normal_distribution<double> noise(0.0, c.fixNoise);
    Calibration cal(steplength::kTypicalGain);
    const double speed = 1.3, step = 0.7, period = step / speed;
    const double legs[4][2] = {{40, M_PI / 2}, {20, 0}, {40, -M_PI / 2}, {20, M_PI}};
    double x = 0.0, y = 0.0, t = 0.0, nextFix = 0.0;
    // Truth positions by time, for the trailing fixes.
    std::vector<std::pair<double, std::pair<double, double>>> track = {{0.0, {0.0, 0.0}}};
    const auto fixesUpTo = [&](double now) {
      for (; nextFix <= now; nextFix += 1.0) {
        auto it = std::lower_bound(track.begin(), track.end(), nextFix - c.lag,
                                   [](const auto& p, double v) { return p.first < v; });
        if (it == track.end()) --it;
        cal.addFix(it->second.first + noise(rng), it->second.second + noise(rng), nextFix);
      }
    };
    while (t * speed < 3000.0) {
      for (const auto& leg : legs) {
        for (double d = 0.0; d + step <= leg[0]; d += step) {
          x += step * std::sin(leg[1]);
          y += step * std::cos(leg[1]);
          t += period;
          track.push_back({t, {x, y}});
          cal.addStep(step / c.walkerGain * cal.gain() / steplength::kTypicalGain, leg[1]);
          fixesUpTo(t);
        }
        t += c.stand;
        track.push_back({t, {x, y}});
        fixesUpTo(t);
      }
    }
    EXPECT_NEAR(cal.gain() / steplength::kTypicalGain, c.walkerGain, 0.04 * c.walkerGain)
        << c.walkerGain << " noise " << c.fixNoise << " lag " << c.lag << " stand " << c.stand
        << " stretches " << cal.stretches();
    EXPECT_GT(cal.stretches(), 15);
  }
}

// Walks `steps` steps of 0.7 m along `heading` at two steps a second, a fix
// each second at `scale` times the true position. True when a fix moved the
// gain.
bool Stroll(Calibration& cal, double& t, double& y, int steps, double heading = 0.0,
            double scale = 1.0) {
  bool moved = false;
  for (int i = 0; i < steps; ++i) {
    cal.addStep(0.7, heading);
    y += 0.7 * std::cos(heading);
    t += 0.5;
    if (i % 2 == 1) moved = cal.addFix(0.0, y * scale, t) || moved;
  }
  return moved;
}

// Stretches that turn back and forth, short ones and ones ended by a stop
// say nothing; undefined fixes and steps are ignored; a stretch that says
// something wild moves the gain by a bounded share.
TEST(StepCalibrationTest, OnlyLongStraightWalkingCounts) {
  Calibration cal(0.8);
  double t = 100.0, y = 0.0;
  const auto stop = [&] {
    for (int k = 1; k <= 3; ++k) EXPECT_FALSE(cal.addFix(0.0, y, t + k));
    t += 3.0;
  };
  for (int i = 0; i < 30; ++i) EXPECT_FALSE(Stroll(cal, t, y, 2, i % 2 ? 0.0 : M_PI));
  stop();
  EXPECT_FALSE(Stroll(cal, t, y, 12 + 26));  // settling, then 18 m only
  stop();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(cal.addFix(nan, y, t + 0.5));
  cal.addStep(nan, 0.0);
  cal.addStep(0.7, nan);
  EXPECT_FALSE(Stroll(cal, t, y, 12 + 26));
  EXPECT_EQ(cal.stretches(), 0);

  Calibration wild(0.8);
  t = y = 0.0;
  EXPECT_TRUE(Stroll(wild, t, y, 12 + 30, 0.0, 2.0));
  EXPECT_NEAR(wild.gain(), 0.8 * (1.0 + Calibration::kMaxDeviation / (Calibration::kPriorStretches + 1)), 1e-12);
  Stroll(wild, t, y, 2000, 0.0, 2.0);
  EXPECT_NEAR(wild.gain(), 0.8 * (1.0 + Calibration::kMaxDeviation), 1e-12);
}

// The pedometer takes the calibrated gain for its next steps, but not with
// classic defaults.
TEST(StepCalibrationTest, PedometerFollowsItsCalibration) {
  for (bool classic : {false, true}) {
    Pedometer p;
    p.setBehaviour(classic ? EngineBehaviour::original() : EngineBehaviour::kit());
    double t = 10.0, y = 0.0;
    for (int i = 0; i < 60; ++i) {
      p.noteStepTaken(0.7, 0.0);
      y += 0.7;
      t += 0.5;
      if (i % 2 == 1) p.noteRadioFix(0.0, 1.2 * y, t);
    }
    if (classic) {
      EXPECT_EQ(p.getStepGain(), steplength::kTypicalGain);
    } else {
      EXPECT_GT(p.getStepGain(), steplength::kTypicalGain * 1.02);
    }
  }
}

}  // namespace
