// The simulated world as the installed kit offers it to hosts: the seed
// decides the venue and the walk, and the host's steps of simulated time walk
// it to its end, where the truth is the advertised destination.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "world/simulation.h"

namespace {

namespace pt = platform::testing;

class SimulationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RunLoop::setMainThread();
    platform::location::reset();
  }
  void TearDown() override {
    pt::settle();
    platform::location::reset();
    platform::bluetooth::setRadioState(platform::kCentralStateUnknown);
    pt::settle();
    pt::useRealClock();
  }
};

std::unique_ptr<world::Simulation> Make(uint64_t seed) {
  std::string error;
  auto s = world::Simulation::create(seed, &error);
  EXPECT_TRUE(s) << error;
  return s;
}

bool SamePlace(const world::SimulatedPlace& a, const world::SimulatedPlace& b) {
  return a.floor == b.floor && std::abs(a.x - b.x) < 1e-9 && std::abs(a.y - b.y) < 1e-9;
}

TEST_F(SimulationTest, TheSeedDecidesTheWalk) {
  const auto a = Make(5), b = Make(5), c = Make(6);
  EXPECT_TRUE(SamePlace(a->destination(), b->destination()));
  EXPECT_EQ(a->walkSeconds(), b->walkSeconds());
  EXPECT_FALSE(SamePlace(a->destination(), c->destination()) && a->walkSeconds() == c->walkSeconds());
  EXPECT_GT(a->locationId(), 0);
  EXPECT_FALSE(a->locationName().empty());
}

TEST_F(SimulationTest, StepsOfSimulatedTimeWalkToTheDestination) {
  const auto sim = Make(3);
  EXPECT_FALSE(sim->truth());
  sim->preparePhone();
  EXPECT_EQ(platform::LocationManager::authorizationStatus(), platform::kAuthorizationStatusAuthorizedAlways);
  sim->startWalk();
  double walked = 0;
  while (!sim->walkFinished() && walked < sim->walkSeconds() + 5) {
    sim->advance(0.1);
    walked += 0.1;
  }
  EXPECT_TRUE(sim->walkFinished());
  EXPECT_NEAR(walked, sim->walkSeconds(), 1.0);
  const auto end = sim->truth();
  ASSERT_TRUE(end);
  EXPECT_TRUE(SamePlace(*end, sim->destination()));
}

}  // namespace
