#include "wifipos/motion/step_calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "wifipos/motion/pedometer.h"

namespace {

using steplength::Calibration;

struct Case {
  double walkerGain;  // the walker's true step over the model's at a gain of one
  double fixNoise;    // m, per axis
  double lag;         // s the fixes trail the walker
  double stand;       // s standing at each corner
  double tolerance;   // of the gain, once settled
};

// A walker going round a 40 m x 20 m block at 1.3 m/s with steps of 0.7 m
// whose model lengths are off by the walker's gain; the cloud moves by the
// steps at the learnt gain, and a radio fix every 0.1 s, noisy and trailing
// the walker, pulls it a tenth of the way. After 120 m the gain is the
// walker's, up to what the fixes' noise leaves over 30 m, and stays there.
TEST(StepCalibrationTest, GainComesToTheWalkersOnALongWalk) {
  for (const Case c : {Case{1.0, 1.5, 0.0, 0.0, 0.08}, Case{1.25, 1.5, 0.5, 0.0, 0.08},
                       Case{0.8, 1.5, 0.5, 0.0, 0.08}, Case{1.5, 0.5, 0.5, 5.0, 0.04},
                       Case{0.7, 2.5, 0.7, 5.0, 0.15}}) {
    std::mt19937_64 rng(91);
    std::normal_distribution<double> noise(0.0, c.fixNoise);
    Calibration cal;
    const double speed = 1.3, step = 0.7, period = step / speed, tick = 0.1;
    const double legs[4][2] = {{40, M_PI / 2}, {20, 0}, {40, -M_PI / 2}, {20, M_PI}};
    double x = 0.0, y = 0.0, cx = 0.0, cy = 0.0, t = 0.0, walked = 0.0, worst = 0.0;
    std::vector<std::pair<double, std::pair<double, double>>> track = {{0.0, {0.0, 0.0}}};
    const auto fixesFor = [&](double seconds) {
      for (double end = t + seconds; t < end - 1e-9; t += tick) {
        auto it = std::lower_bound(track.begin(), track.end(), t - c.lag,
                                   [](const auto& p, double v) { return p.first < v; });
        if (it == track.end()) --it;
        const double dx = 0.1 * (it->second.first + noise(rng) - cx);
        const double dy = 0.1 * (it->second.second + noise(rng) - cy);
        cx += dx;
        cy += dy;
        cal.addDrag(dx, dy);
      }
    };
    while (walked < 1500.0) {
      for (const auto& leg : legs) {
        for (double d = 0.0; d + step <= leg[0]; d += step) {
          x += step * std::sin(leg[1]);
          y += step * std::cos(leg[1]);
          track.push_back({t + period, {x, y}});
          const double gain = cal.gain();
          const double applied = step / c.walkerGain * gain;
          cx += applied * std::sin(leg[1]);
          cy += applied * std::cos(leg[1]);
          cal.addStep(applied, gain, leg[1], t);
          fixesFor(period);
          walked += step;
          if (walked > 120.0) worst = std::max(worst, std::fabs(cal.gain() / c.walkerGain - 1.0));
        }
        track.push_back({t + c.stand, {x, y}});
        fixesFor(c.stand);
      }
    }
    EXPECT_LT(worst, c.tolerance) << c.walkerGain << " noise " << c.fixNoise << " lag " << c.lag << " stand "
                           << c.stand << " gain " << cal.gain();
    EXPECT_GT(cal.counted(), 1000.0);
  }
}

// Steps of 0.7 m along `heading`, two a second, after each a drag of
// `drag` m along the heading.
void Stroll(Calibration& cal, double& t, int steps, double heading, double drag) {
  for (int i = 0; i < steps; ++i, t += 0.5) {
    cal.addStep(0.7 * cal.gain(), cal.gain(), heading, t);
    cal.addDrag(drag * std::sin(heading), drag * std::cos(heading));
  }
}

// Drags during the first seconds of walking, around corners, at stops and
// across the heading say nothing; undefined input is ignored; a wild drag
// moves the gain by a bounded share, however far it pulls.
TEST(StepCalibrationTest, OnlySettledStraightWalkingCounts) {
  struct Walk {
    const char* what;
    int steps;
    double turn;   // rad between steps
    double drag;   // m along the heading after each step
    double across; // m across it
    double gap;    // s between steps
  };
  for (const Walk w : {Walk{"settling", 6, 0.0, -0.5, 0.0, 0.5}, Walk{"corners", 40, 0.6, -0.5, 0.0, 0.5},
                       Walk{"stops", 20, 0.0, -0.5, 0.0, 2.0}, Walk{"across", 40, 0.0, 0.0, 3.0, 0.5}}) {
    Calibration cal;
    double t = 100.0, heading = 0.3;
    for (int i = 0; i < w.steps; ++i, t += w.gap, heading += w.turn) {
      cal.addStep(0.7, 1.0, heading, t);
      cal.addDrag(w.drag * std::sin(heading) + w.across * std::cos(heading),
                  w.drag * std::cos(heading) - w.across * std::sin(heading));
    }
    EXPECT_EQ(cal.gain(), 1.0) << w.what;
  }

  Calibration cal;
  double t = 0.0;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Stroll(cal, t, 10, 0.0, 0.0);
  cal.addDrag(nan, 0.0);
  cal.addStep(nan, 1.0, 0.0, t);
  cal.addStep(0.7, 1.0, nan, t);
  cal.addStep(0.7, 1.0, 0.0, nan);
  Stroll(cal, t, 10, 0.0, 0.0);
  EXPECT_EQ(cal.gain(), 1.0);

  // One fix 30 m behind: less than 5 % shorter steps.
  Calibration wrong;
  t = 0.0;
  Stroll(wrong, t, 10, 0.0, 0.0);
  wrong.addStep(0.7, 1.0, 0.0, t);
  wrong.addDrag(0.0, -30.0);
  t += 0.5;
  Stroll(wrong, t, 1, 0.0, 0.0);
  EXPECT_LT(wrong.gain(), 1.0);
  EXPECT_GT(wrong.gain(), 0.95);
  // A radio that says "much longer" for ever brings the gain to its bound only.
  Stroll(wrong, t, 2000, 0.0, 5.0);
  EXPECT_EQ(wrong.gain(), Calibration::kMaxGain);
  Stroll(wrong, t, 2000, 0.0, -5.0);
  EXPECT_EQ(wrong.gain(), Calibration::kMinGain);
}

// Steps off the walker's usual pace (a stair flight, a jog) are not level
// strides: the radio dragging the cloud back from them leaves the gain be,
// until the walker keeps the new pace for good.
TEST(StepCalibrationTest, StepsOffTheUsualPaceLeaveTheGainBe) {
  struct Flight {
    double gap;    // s between steps
    int steps;
    bool counts;
  };
  for (const Flight f : {Flight{0.8, 16, false}, Flight{0.35, 16, false}, Flight{0.6, 16, true},
                         Flight{0.8, 80, true}}) {
    Calibration cal;
    double t = 0.0;
    Stroll(cal, t, 40, 0.0, 0.0);
    for (int i = 0; i < f.steps; ++i, t += f.gap) {
      cal.addStep(0.7 * cal.gain(), cal.gain(), 0.0, t);
      cal.addDrag(0.0, -0.3);
    }
    Stroll(cal, t, 3, 0.0, 0.0);
    if (f.counts) {
      EXPECT_LT(cal.gain(), 0.97) << f.gap << " s x " << f.steps;
    } else {
      EXPECT_EQ(cal.gain(), 1.0) << f.gap << " s x " << f.steps;
    }
  }
}

// Early on, the last steps' drags lengthen or shorten the next steps at once,
// where they stand clear of the radio's scatter across the heading; where
// they do not, the gain is the slow sums' alone.
TEST(StepCalibrationTest, EarlyOnClearDragsActAtOnce) {
  // A walker 0.7 m x `walkerGain` a step, whose cloud each step is pulled a
  // third of the way towards it, with drags across the heading of `across`,
  // to alternate sides unless `steady`: the gain after `steps` steps.
  const auto walk = [](double walkerGain, double across, int steps, bool steady = false) {
    Calibration cal;
    double t = 0.0;
    const double heading = 0.6;
    for (int i = 0; i < steps; ++i, t += 0.5) {
      const double applied = 0.7 * cal.gain();
      cal.addStep(applied, cal.gain(), heading, t);
      const double a = (0.7 * walkerGain - applied) / 3.0, c = steady || i % 2 ? across : -across;
      cal.addDrag(a * std::sin(heading) + c * std::cos(heading), a * std::cos(heading) - c * std::sin(heading));
    }
    return cal.gain();
  };
  struct Row {
    double walkerGain;
    double across;  // m
    bool steady;
    bool pulls;
  };
  for (const Row r : {Row{1.3, 0.0, false, true}, Row{1.3, 0.02, true, true}, Row{1.3, 0.3, false, false},
                      Row{0.7, 0.0, false, true}, Row{0.7, 0.3, false, false}}) {
    const double slow = walk(r.walkerGain, 1.0, 24);  // scattered too widely to pull
    const double gain = walk(r.walkerGain, r.across, 24, r.steady);
    if (r.pulls) {
      EXPECT_LT(std::fabs(gain - r.walkerGain), std::fabs(slow - r.walkerGain) - 0.03) << r.walkerGain << " " << r.across;
    } else {
      EXPECT_EQ(gain, slow) << r.walkerGain << " " << r.across;
    }
    // Once tens of metres have counted, the recent drags no longer speak.
    EXPECT_NEAR(walk(r.walkerGain, r.across, 400, r.steady), walk(r.walkerGain, 1.0, 400), 0.01);
  }
}

// The pedometer takes the calibrated gain for its next steps, but not with
// classic defaults.
TEST(StepCalibrationTest, PedometerFollowsItsCalibration) {
  for (bool classic : {false, true}) {
    Pedometer p(classic ? EngineBehaviour::original() : EngineBehaviour::kit());
    double t = 10.0;
    for (int i = 0; i < 80; ++i, t += 0.5) {
      p.noteStepTaken(0.7 * p.getStepGain(), 0.0, t);
      p.noteRadioDrag(0.0, 0.2);
    }
    if (classic) {
      EXPECT_EQ(p.getStepGain(), 1.0);
    } else {
      EXPECT_GT(p.getStepGain(), 1.1);
    }
  }
}

}  // namespace
