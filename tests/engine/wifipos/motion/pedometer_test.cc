#include "wifipos/motion/pedometer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>

#include "motion_test_util.h"

namespace {

using venuesim::GaitConfig;
using venuesim::WalkSegment;

SensorValue Acc(double t, double magnitude) {
  return motiontest::ToSensorValue({t, 0.0, 0.0, magnitude, 101});
}

// Vertical sinusoid at 2 Hz, 100 Hz sampling. The 0.2 s mean passes it with
// gain sinc(0.4 pi) and the 2.5 s mean removes it, so the band-passed swing
// is 2 * amplitude * gain.
void FeedSinusoid(Pedometer& p, double start, double seconds, double swing) {
  const double amplitude = swing / (2.0 * std::sin(0.4 * M_PI) / (0.4 * M_PI));
  for (int i = 0; i < seconds * 100; ++i) {
    SensorValue v = Acc(start + i * 0.01, 9.81 + amplitude * std::sin(4.0 * M_PI * i * 0.01));
    ASSERT_EQ(p.updateAccMeasurement(v), 0);
    if (i % 10 == 9) p.detectSteps();
  }
}

// The running band pass and window extremes against a plain rescan of the
// samples, on a stream with bursts of samples sharing one time stamp and
// with old samples dropped on the way.
TEST(PedometerTest, RunningWindowsMatchAPlainRescan) {
  std::mt19937 rng(77);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Pedometer p(EngineBehaviour::kit());
  p.setAutoDeleteOldMeasurements(true);
  std::vector<SensorValue> all;
  double t = 50.0;
  for (int i = 0; i < 3000; ++i) {
    if (i % 400 < 300) t += 0.01;  // then 100 samples at one time
    SensorValue v = Acc(t, 9.81 + 2.0 * std::sin(t * 12.0) + 0.3 * u(rng));
    ASSERT_EQ(p.updateAccMeasurement(v), 0);
    all.push_back(v);
    all.back().calcMagnitude();
    double longSum = 0.0, shortSum = 0.0;
    int n = 0, m = 0;
    const double t0 = all.back().getTimeInSeconds();
    for (size_t k = all.size(); k-- > 0;) {
      const double age = t0 - all[k].getTimeInSeconds();
      if (!(age < 2.5)) break;
      longSum += all[k].magnitude;
      ++n;
      if (age < 0.2) shortSum += all[k].magnitude, ++m;
    }
    const double expected = shortSum / m - (longSum + shortSum / m) / n;
    all.back().filteredMagnitude = expected;
    ASSERT_NEAR(p.getAccelerations().back().filteredMagnitude, expected, 1e-9) << i;
  }
  // Window extremes at every stored sample, in order and then backwards.
  const std::deque<SensorValue>& stored = p.getAccelerations();
  const size_t offset = all.size() - stored.size();
  ASSERT_GT(offset, 0u);  // the oldest were dropped
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t j = 0; j < stored.size(); j += 7) {
      const size_t i = pass == 0 ? j : stored.size() - 1 - j;
      ASSERT_EQ(p.calcMinMaxAcc(i), 0);
      const double ti = stored[i].getTimeInSeconds();
      double hi = stored[i].filteredMagnitude, lo = hi;
      for (size_t k = i + 1; k-- > 0 && ti - stored[k].getTimeInSeconds() <= 0.7;) {
        hi = std::max(hi, stored[k].filteredMagnitude);
        lo = std::min(lo, stored[k].filteredMagnitude);
      }
      ASSERT_EQ(p.getMaxAcc(), hi) << i;
      ASSERT_EQ(p.getMinAcc(), lo) << i;
    }
  }
}

// A sample without a usable time or value would mistime or poison the band
// pass: it is refused and nothing of it is kept.
TEST(PedometerTest, SamplesWithoutAUsableTimeOrValueAreRefused) {
  SensorValue noTime = Acc(10.0, 9.81);
  noTime.time.sec = 0;
  noTime.time.ms = 0;
  SensorValue badMillis = Acc(10.0, 9.81);
  badMillis.time.ms = 1000;
  const SensorValue notANumber = Acc(10.0, std::numeric_limits<double>::quiet_NaN());
  for (SensorValue v : {noTime, badMillis, notANumber}) {
    Pedometer p(EngineBehaviour::kit());
    EXPECT_EQ(p.updateAccMeasurement(v), -1);
    EXPECT_TRUE(p.getAccelerations().empty());
  }
}

TEST(PedometerTest, UnconsumedStepsAreBoundedAndAQuietSignalCountsNothing) {
  Pedometer p(EngineBehaviour::kit());
  p.setAutoDeleteOldMeasurements(true);
  FeedSinusoid(p, 100.0, 30.0, 4.0);
  EXPECT_GT(p.getTotalStepsNumber(), 50);
  ASSERT_EQ(p.getNumOfSteps(), Pedometer::kMaxQueuedSteps);
  EXPECT_GT(p.getLastStepTime(), 129.0);  // the newest are kept
  EXPECT_GT(p.getThreshold(), Pedometer::kMinThreshold);

  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 0.05);
  int steps = -1;
  for (int i = 0; i < 2000; ++i) {
    SensorValue v = Acc(130.0 + i * 0.01, 9.81 + noise(rng));
    p.updateAccMeasurement(v);
    if (i == 100) steps = p.getTotalStepsNumber();  // the last stride has ended
    if (i % 10 == 9) p.detectSteps();
  }
  EXPECT_EQ(p.getTotalStepsNumber(), steps);
  EXPECT_DOUBLE_EQ(p.getThreshold(), Pedometer::kMinThreshold);
  const auto& acc = p.getAccelerations();
  EXPECT_LE(acc.back().getTimeInSeconds() - acc.front().getTimeInSeconds(), 7.0 + 1e-9);
}

// Counts within 2 % at every pace, nothing while standing. The lengths come
// from one constant for all walkers and carry a pace-dependent bias (printed);
// the fourth-root law itself holds: calibrated once on the normal walk, the
// slow and fast walks are within 10 %.
TEST(PedometerTest, SimulatedWalksAtThreePaces) {
  const double paces[3] = {0.8, 1.3, 1.8};
  double ratio[3];
  for (int i = 0; i < 3; ++i) {
    GaitConfig c;
    c.seed = 7 + i;
    const venuesim::GaitRecording rec = venuesim::SimulateWalk(
        c, {WalkSegment::Stand(3), WalkSegment::Walk(60, paces[i]), WalkSegment::Stand(20)});
    Pedometer p(EngineBehaviour::kit());
    double sum = 0.0, truth = 0.0;
    int n = 0, stepsAtStop = -1;
    for (std::vector<SensorValue>& m : motiontest::Messages(rec)) {
      std::vector<SensorValue> acc = motiontest::OfType(m, 101);
      p.setAutoDeleteOldMeasurements(true);
      p.updateAccMeasurements(acc);
      p.detectSteps();
      for (; p.getNumOfSteps() > 0; p.clearFirstStep(), ++n) sum += p.getStepLength(0);
      if (stepsAtStop < 0 && m.back().getTimeInSeconds() > c.startTime + 65.0)
        stepsAtStop = p.getTotalStepsNumber();
    }
    for (const venuesim::StepTruth& s : rec.steps) truth += s.length / rec.steps.size();
    ratio[i] = sum / n / truth;
    std::printf("pace %.1f m/s: steps %d of %zu, length %.3f m for %.3f m\n", paces[i],
                p.getTotalStepsNumber(), rec.steps.size(), sum / n, truth);
    EXPECT_LE(std::abs(p.getTotalStepsNumber() - static_cast<int>(rec.steps.size())),
              std::max(1.0, 0.02 * rec.steps.size()));
    EXPECT_EQ(p.getTotalStepsNumber(), stepsAtStop) << "steps while standing";
    EXPECT_GT(ratio[i], 0.95);
    EXPECT_LT(ratio[i], 1.35);
  }
  for (int i : {0, 2}) EXPECT_NEAR(ratio[i] / ratio[1], 1.0, 0.10);
}

// Short bouts of walking between stops, as through a door to a spot where
// the walker turns: each bout counts its steps and its length, and the body
// settling after the last step, turning on the spot or standing, counts as
// no step. A long leg first gives the walker's rhythm. A bout's first step
// comes out a few percent short: its window still holds some of the stand.
TEST(PedometerTest, ShortBoutsCountTheirStepsAndNoneAfter) {
  // A slow walker's first step from rest may rise too little to be found:
  // found missed when the next one is, but not alone.
  struct Walker {
    const char* name;
    double speed, cadenceScale, pitch, roll;
    int fewestSteps;
  } const kWalkers[] = {{"typical", 1.2, 1.0, 0.5, 0.0, 1},
                        {"long slow strides", 0.9, 0.88, 0.9, 0.0, 1},
                        {"short quick steps", 1.0, 1.12, 0.3, 0.35, 1},
                        {"slow", 0.8, 0.9, 0.7, -0.3, 2}};
  struct Bout {
    int steps;
    bool turn;         // on the spot after it, else standing
    double tolerance;  // of the length
  } const kBouts[] = {{1, true, 0.12},   {1, false, 0.12},  {2, true, 0.06},   {2, false, 0.06},
                      {3, true, 0.035},  {3, false, 0.035}, {12, true, 0.015}, {12, false, 0.015}};
  for (const Walker& w : kWalkers) {
    GaitConfig c;
    c.seed = 30;
    c.phonePitch = w.pitch;
    c.phoneRoll = w.roll;
    c.cadenceScale = w.cadenceScale;
    const double stepTime = 1.0 / (venuesim::StepFrequencyForSpeed(w.speed) * w.cadenceScale);
    std::vector<WalkSegment> segs = {WalkSegment::Stand(6), WalkSegment::Walk(10, w.speed),
                                     WalkSegment::Stand(2)};
    std::vector<std::pair<const Bout*, double>> starts;  // each bout thrice
    double t = c.startTime + 18.0;
    for (int r = 0; r < 3; ++r)
      for (const Bout& b : kBouts) {
        starts.push_back({&b, t});
        segs.push_back(WalkSegment::Walk(b.steps * stepTime, w.speed));
        segs.push_back(b.turn ? WalkSegment::Turn(0.6, r % 2 ? 1.4 : -1.4) : WalkSegment::Stand(1.5));
        t += b.steps * stepTime + (b.turn ? 0.6 : 1.5);
      }
    starts.push_back({nullptr, t});
    const venuesim::GaitRecording rec = venuesim::SimulateWalk(c, segs);
    std::vector<std::pair<double, double>> found, truth;  // start, length
    for (const venuesim::StepTruth& s : rec.steps) truth.push_back({s.time, s.length});
    Pedometer p(EngineBehaviour::kit());
    for (std::vector<SensorValue>& m : motiontest::Messages(rec)) {
      std::vector<SensorValue> acc = motiontest::OfType(m, 101);
      p.setAutoDeleteOldMeasurements(true);
      p.updateAccMeasurements(acc);
      p.detectSteps();
      for (; p.getNumOfSteps() > 0; p.clearFirstStep()) found.push_back({p.getStepTime(0), p.getStepLength(0)});
    }
    // Steps and metres from a bout's start to the next one's; a step is found
    // up to a tenth of a second after it began.
    const auto sum = [&](const std::vector<std::pair<double, double>>& v, size_t k) {
      std::pair<int, double> s{0, 0.0};
      for (const auto& [time, length] : v)
        if (time >= starts[k].second - 0.1 && time < starts[k + 1].second - 0.1) s = {s.first + 1, s.second + length};
      return s;
    };
    std::map<const Bout*, std::pair<double, double>> metres;  // counted, walked
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
      const Bout& b = *starts[k].first;
      if (b.steps < w.fewestSteps) continue;
      const auto [n, counted] = sum(found, k);
      EXPECT_EQ(n, b.steps) << w.name << ", bout of " << b.steps << (b.turn ? " and a turn" : "")
                            << " at " << starts[k].second - c.startTime;
      metres[&b].first += counted;
      metres[&b].second += sum(truth, k).second;
    }
    // Against the walker's long bouts: the gain that scales them is the
    // radio's to teach.
    const double scale = (metres[&kBouts[6]].first + metres[&kBouts[7]].first) /
                         (metres[&kBouts[6]].second + metres[&kBouts[7]].second);
    EXPECT_GT(scale, 0.6) << w.name;
    EXPECT_LT(scale, 1.6) << w.name;
    for (const Bout& b : kBouts) {
      if (b.steps >= w.fewestSteps) {
        EXPECT_NEAR(metres[&b].first / metres[&b].second / scale, 1.0, b.tolerance)
            << w.name << ", bouts of " << b.steps << (b.turn ? " and a turn" : "");
      }
    }
  }
}

TEST(PedometerTest, MutatedStreamsFromAFixedSeed) {
  GaitConfig c;
  c.seed = 3;
  const venuesim::GaitRecording rec = venuesim::SimulateWalk(c, {WalkSegment::Walk(20, 1.3)});
  std::mt19937 rng(1234);
  for (int round = 0; round < 20; ++round) {
    Pedometer p(EngineBehaviour::kit());
    p.setAutoDeleteOldMeasurements(round % 2 == 0);
    for (std::vector<SensorValue>& m : motiontest::Messages(rec)) {
      motiontest::Mutate(m, rng);
      p.updateAccMeasurements(m);
      p.detectSteps();
    }
    for (int i = 0; i < p.getNumOfSteps(); ++i)
      EXPECT_TRUE(std::isfinite(p.getStepLength(i)) && std::isfinite(p.getStepTime(i)));
  }
}

}  // namespace
