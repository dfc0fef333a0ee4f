#include "venuesim/walk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "server/wscan.h"
#include "venue_test_util.h"
#include "venuesim/generator.h"

namespace {

using namespace venuesim;

struct Fixture {
  Venue venue;
  PropagationModel model;
};

const Fixture& SharedVenue() {
  static const Fixture* f = [] {
    auto* x = new Fixture;
    std::string error;
    if (GenerateVenue(venuesim_test::SmallSpec(5), &x->venue, &error) != kOk) ADD_FAILURE() << error;
    x->model = PropagationModel(x->venue);
    return x;
  }();
  return *f;
}

TEST(WalkTest, SameSeedSameFilesOtherSeedOtherRoute) {
  const Fixture& f = SharedVenue();
  WalkSpec setup;
  setup.seed = 3;
  Walk a, b, c;
  std::string error;
  ASSERT_EQ(GenerateWalk(f.venue, f.model, setup, &a, &error), kOk) << error;
  ASSERT_EQ(GenerateWalk(f.venue, f.model, setup, &b, &error), kOk) << error;
  EXPECT_EQ(WalkLogText(a), WalkLogText(b));
  EXPECT_EQ(WalkTruthCsv(a), WalkTruthCsv(b));
  bool differs = false;
  for (uint64_t seed = 4; seed < 10 && !differs; ++seed) {
    setup.seed = seed;
    ASSERT_EQ(GenerateWalk(f.venue, f.model, setup, &c, &error), kOk) << error;
    differs = WalkLogText(c) != WalkLogText(a);
  }
  EXPECT_TRUE(differs);
}

}  // namespace
