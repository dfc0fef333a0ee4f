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
};

// A walker going round a 40 m x 20 m block at 1.3 m/s with steps of 0.7 m
// whose lengths the model gets wrong by the walker's gain; a radio fix each
// second. The calibrated gain ends within 4 % of the walker's after 1.5 km,
// at any fix noise and lag.
TEST(StepCalibrationTest, GainComesToTheWalkersOnALongWalk) {
  for (const Case c : {Case{1.0, 1.5, 0.0}, Case{1.18, 1.5, 0.0}, Case{0.82, 1.5, 3.0},
                       Case{1.12, 0.5, 2.0}, Case{0.9, 2.5, 0.0}}) {
    std::mt19937_64 rng(91);
    std::normal_distribution<double> noise(0.0, c.fixNoise);
    Calibration cal(steplength::kTypicalGain);
    const double speed = 1.3, step = 0.7, period = step / speed;
    const double legs[4][3] = {{40, 0, M_PI / 2}, {20, 0, 0}, {40, 0, -M_PI / 2}, {20, 0, M_PI}};
    double x = 0.0, y = 0.0, t = 0.0, nextFix = 0.0;
    // Truth positions by time, for the lagging fixes.
    std::vector<std::pair<double, std::pair<double, double>>> track = {{0.0, {0.0, 0.0}}};
    while (t < 1500.0 / speed) {
      for (const auto& leg : legs) {
        for (double d = 0.0; d + step <= leg[0]; d += step) {
          x += step * std::sin(leg[2]);
          y += step * std::cos(leg[2]);
          t += period;
          track.push_back({t, {x, y}});
          cal.addStep(step / c.walkerGain * cal.gain() / steplength::kTypicalGain, leg[2]);
          if (t >= nextFix) {
            nextFix += 1.0;
            auto it = std::lower_bound(track.begin(), track.end(), t - c.lag,
                                       [](const auto& p, double v) { return p.first < v; });
            if (it == track.end()) --it;
            cal.addFix(it->second.first + noise(rng), it->second.second + noise(rng), t);
          }
        }
      }
    }
    EXPECT_NEAR(cal.gain() / steplength::kTypicalGain, c.walkerGain, 0.04 * c.walkerGain)
        << c.walkerGain << " noise " << c.fixNoise << " lag " << c.lag;
    EXPECT_GT(cal.stretches(), 20);
  }
}

// Stretches that turn back on themselves, short ones and fixes that are
// undefined or go back in time say nothing about the steps.
TEST(StepCalibrationTest, OnlyLongStraightStretchesCount) {
  Calibration cal(0.8);
  cal.addFix(0, 0, 10);
  for (int i = 0; i < 40; ++i) cal.addStep(0.7, i % 2 ? 0.0 : M_PI);  // back and forth
  EXPECT_FALSE(cal.addFix(0, 14, 30));
  for (int i = 0; i < 10; ++i) cal.addStep(0.7, 0.0);  // 7 m only
  EXPECT_FALSE(cal.addFix(0, 30, 40));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(cal.addFix(nan, 3, 41));
  cal.addStep(nan, 0.0);
  cal.addStep(0.7, nan);
  EXPECT_FALSE(cal.addFix(0, 40, 20));  // earlier than the anchor: a new anchor
  for (int i = 0; i < 40; ++i) cal.addStep(0.7, 0.0);
  EXPECT_FALSE(cal.addFix(0, 80, 200));  // too long after: a new anchor
  for (int i = 0; i < 40; ++i) cal.addStep(0.7, 0.0);
  cal.restart();
  EXPECT_FALSE(cal.addFix(0, 200, 220));
  EXPECT_EQ(cal.gain(), 0.8);
  EXPECT_EQ(cal.stretches(), 0);
  // A wildly wrong stretch moves the gain by a bounded share only.
  for (int i = 0; i < 40; ++i) cal.addStep(0.7, 0.0);
  EXPECT_TRUE(cal.addFix(0, 200 + 28 * 5, 240));
  EXPECT_LE(cal.gain(), 0.8 * (1.0 + Calibration::kMaxDeviation / (Calibration::kPriorStretches + 1)) + 1e-12);
}

// The pedometer takes the calibrated gain for its next steps, but not with
// classic defaults.
TEST(StepCalibrationTest, PedometerFollowsItsCalibration) {
  for (bool classic : {false, true}) {
    Pedometer p;
    p.setClassicDefaults(classic);
    p.noteRadioFix(0, 0, 1);
    for (int i = 0; i < 40; ++i) p.noteStepTaken(0.7, 0.0);
    p.noteRadioFix(0, 28 * 1.2, 25);
    if (classic) {
      EXPECT_EQ(p.getStepGain(), steplength::kTypicalGain);
    } else {
      EXPECT_GT(p.getStepGain(), steplength::kTypicalGain * 1.02);
    }
  }
}

}  // namespace
