// Walkers whose steps the swing alone gets wrong, through the navigation
// client: the radio teaches every method the walker's step gain, and the
// output keeps up with the walker.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "navigate_test_support.h"

namespace client_test {
namespace {

struct Walker {
  const char* name;
  int method;
  double stepLength;  // m
  double cadence;     // steps per second
  double swing;       // m/s2
  double maxError;    // m, mean from 20 s on
  bool keepsUp;       // the output no closer to the walker 0.5 s before than now
};

// Each walk is replayed through Navigate; the last step gain, over the one
// the swing would need for the walker's true steps, is the walker's within
// 15 %, the output's mean error is within the walker's bound (an output
// weighed against a radio fix that trails the walker by half its window
// misses it), and the output is no closer to where the walker was half a
// second before than to where it is (but for histograms with the soft
// long-stepped walker, which they still trail).
TEST(StepGainTest, EveryMethodLearnsTheWalkersStepsAndKeepsUp) {
  const Walker kWalkers[] = {{"kNN, soft long steps", 107, 0.85, 1.6, 1.0, 0.6, true},
                             {"kNN, strong short steps", 107, 0.55, 2.2, 3.5, 0.55, true},
                             {"GP, soft long steps", 108, 0.85, 1.6, 1.0, 0.45, true},
                             {"GP, strong short steps", 108, 0.55, 2.2, 3.5, 0.35, true},
                             {"histogram, soft long steps", 109, 0.85, 1.6, 1.0, 0.55, false},
                             {"histogram, strong short steps", 109, 0.55, 2.2, 3.5, 0.5, true}};
  for (const Walker& w : kWalkers) {
    SCOPED_TRACE(w.name);
    ClientNavigationState* client = WalkClient(w.method);
    ASSERT_NE(client, nullptr);
    const VenueArchive& archive = SharedVenue(w.method);
    venuesim::PropagationModel model(archive.venue);
    venuesim::WalkSpec ws;
    ws.seed = 41;
    ws.startFloor = ws.endFloor = 0;
    ws.speed = w.stepLength * w.cadence;
    ws.stepLength = w.stepLength;
    ws.swing = w.swing;
    ws.phonePitch = 0.0;
    venuesim::Walk walk;
    std::string error;
    ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;

    // Where the walker was 0.5 s (five ticks) before each tick.
    double now = 0.0, before = 0.0, modelSum = 0.0;
    int counted = 0, modelSteps = 0, lastCounter = 0;
    double gain = client->pedometer.getStepGain();  // the one the next step is made with
    std::vector<std::pair<double, double>> gains;    // seconds of walk, gain after the tick
    for (size_t i = 0; i < walk.ticks.size(); ++i) {
      WScanMessage m = TickMessage(walk, i, true);
      std::string why;
      const int rc = Navigate(&m, client, &why);
      if (m.outStepCounter > lastCounter && m.outStepLength > 0.0) {
        modelSum += m.outStepLength / gain;
        ++modelSteps;
      }
      lastCounter = m.outStepCounter;
      gain = client->pedometer.getStepGain();
      gains.push_back({walk.ticks[i].truth.time - walk.ticks.front().truth.time, gain});
      const venuesim::TruthSample& t = walk.ticks[i].truth;
      if (rc != 0 || i < 5 || t.time - walk.ticks.front().truth.time < 20.0) continue;
      const venuesim::TruthSample& e = walk.ticks[i - 5].truth;
      now += std::hypot(m.outX - t.x, m.outY - t.y);
      before += std::hypot(m.outX - e.x, m.outY - e.y);
      ++counted;
    }
    ASSERT_GT(counted, 300);
    ASSERT_GT(modelSteps, 50);
    const double needed = w.stepLength / (modelSum / modelSteps);
    EXPECT_NEAR(client->pedometer.getStepGain() / needed, 1.0, 0.15) << "gain " << client->pedometer.getStepGain()
                                                                     << " needed " << needed;
    EXPECT_LE(now / counted, w.maxError);
    if (w.keepsUp) {
      EXPECT_LE(now / counted, before / counted);
    }
    // From when on the gain stays within 5 % of the one the walker needs.
    double settled = 0.0;
    for (const auto& [t, g] : gains)
      if (std::fabs(g / needed - 1.0) > 0.05) settled = t;
    std::printf("[ gain     ] %-30s gain %.2f for %.2f (within 5 %% from %.0f s), error %.2f m now, %.2f m against "
                "0.5 s before\n",
                w.name, client->pedometer.getStepGain(), needed, settled, now / counted, before / counted);
    DeleteNavigationClient(client);
  }
}

}  // namespace
}  // namespace client_test
