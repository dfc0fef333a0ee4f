// What a navigation client keeps once: the loaded map shared with the
// positioning state's copy of it, and each particle position evaluated once
// per window by the Gaussian-process corrections.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "map_builder.h"
#include "navigate_test_support.h"
#include "wifipos/gaussian_processes/gp_methods.h"

namespace {

using positioning_test::AddEntry;
using positioning_test::AddPoint;

const SublocationMap* FloorById(const NavigationMap& map, int id) {
  for (const SublocationMap& f : map.getSublocationsVector()) {
    if (f.getId() == id) return &f;
  }
  return nullptr;
}

// After creation and a walk, the positioning state's floors still point at
// the loaded map's radio maps, points, keys, parameters, bitmaps and
// pictures: nothing on the way copied them.
TEST(SharedMap, ClientKeepsOneCopyOfTheBulkyParts) {
  for (int method : {107, 108, 109}) {
    SCOPED_TRACE(method);
    const client_test::VenueArchive& archive = client_test::SharedVenue(method);
    ASSERT_TRUE(archive.error.empty()) << archive.error;
    ClientNavigationState* client =
        CreateNavigationClient(archive.path.c_str(), "shared", "SimPhone", false, nullptr);
    ASSERT_NE(client, nullptr);
    venuesim::PropagationModel model(archive.venue);
    venuesim::WalkSpec ws;
    ws.seed = 5;
    ws.startFloor = 0;
    ws.endFloor = 1;
    venuesim::Walk walk;
    std::string error;
    ASSERT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;
    for (size_t i = 0; i < walk.ticks.size() && i < 200; ++i) {
      WScanMessage m = client_test::TickMessage(walk, i, true);
      Navigate(&m, client, &error);
    }
    const NavigationMap& loaded = client->navigationMap;
    const NavigationMap& copy = client->navigation;
    ASSERT_GT(copy.getSublocationsVector().size(), 0u);
    for (const SublocationMap& f : copy.getSublocationsVector()) {
      const SublocationMap* g = FloorById(loaded, f.getId());
      ASSERT_NE(g, nullptr);
      EXPECT_EQ(&f.getRadioMap(), &g->getRadioMap()) << f.getId();
      EXPECT_EQ(&f.getReferencePoints(), &g->getReferencePoints()) << f.getId();
      EXPECT_EQ(&f.getUniqueApsBssid(), &g->getUniqueApsBssid()) << f.getId();
      EXPECT_EQ(&f.getGpParams(), &g->getGpParams()) << f.getId();
      EXPECT_EQ(&f.getBmpState(), &g->getBmpState()) << f.getId();
      EXPECT_EQ(&f.getImages(), &g->getImages()) << f.getId();
    }
    DeleteNavigationClient(client);
  }
}

// A change through either copy stays in that copy.
TEST(SharedMap, ChangingOneCopyLeavesTheOther) {
  struct Case {
    const char* what;
    void (*change)(SublocationMap&);
    bool (*same)(const SublocationMap&, const SublocationMap&);
  };
  const Case cases[] = {
      {"radio map", [](SublocationMap& f) { AddEntry(f, "other", 0, -50.0); },
       [](const SublocationMap& a, const SublocationMap& b) {
         return a.getRadioMap().size() == b.getRadioMap().size();
       }},
      {"points", [](SublocationMap& f) { AddPoint(f, 9.0, 9.0); },
       [](const SublocationMap& a, const SublocationMap& b) { return a.getNRp() == b.getNRp(); }},
      {"point by iterator", [](SublocationMap& f) { f.getRpIterator(0)->setX(7.5); },
       [](const SublocationMap& a, const SublocationMap& b) {
         return a.getRp(0)->getX() == b.getRp(0)->getX();
       }},
      {"keys", [](SublocationMap& f) { f.getUniqueApsBssid().clear(); },
       [](const SublocationMap& a, const SublocationMap& b) {
         return a.getUniqueApsBssid() == b.getUniqueApsBssid();
       }},
      {"parameters", [](SublocationMap& f) { f.getGpParams().push_back(GpParams{}); },
       [](const SublocationMap& a, const SublocationMap& b) {
         return a.getGpParams().size() == b.getGpParams().size();
       }},
      {"picture", [](SublocationMap& f) { f.getImages().setPngData("png!", 4); },
       [](const SublocationMap& a, const SublocationMap& b) {
         return a.getImages().getPngSize() == b.getImages().getPngSize();
       }},
  };
  for (const Case& c : cases) {
    SublocationMap original;
    AddPoint(original, 1.0, 2.0);
    AddEntry(original, "key", 0, -60.0);
    original.updateUniqueApsBssid();
    for (bool changeCopy : {true, false}) {
      SublocationMap a = original;
      SublocationMap b = a;
      SublocationMap moved = std::move(a);  // a moved-from floor stays usable
      c.change(changeCopy ? b : moved);
      EXPECT_FALSE(c.same(moved, b)) << c.what;
      EXPECT_TRUE(c.same(original, changeCopy ? moved : b)) << c.what;
      EXPECT_TRUE(c.same(original, a)) << c.what;
    }
  }
}

std::string Key(int n) { return "gp-reuse-key-" + std::string(36, 'k') + std::to_string(n); }

// One floor with a few trained keys, ready for full- and fixed-mode corrections.
NavigationMap GpMap(int mode) {
  SublocationMap f;
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> pos(0.0, 20.0);
  for (int i = 0; i < 30; ++i) AddPoint(f, pos(rng), pos(rng));
  for (int k = 0; k < 4; ++k) {
    for (int i = 0; i < 30; ++i) {
      if ((i + k) % 3 != 0) AddEntry(f, Key(k), i, -45.0 - static_cast<double>(rng() % 40));
    }
  }
  for (size_t k = 0; k < f.getUniqueApsBssid().size(); ++k) {
    f.getGpParams().push_back(GpParams{-50.0, 1.0, 2.0, pos(rng), pos(rng), 0.5, -1.0, 1.0});
  }
  f.getProperties().ell = 3.0;
  NavigationMap map(EngineBehaviour::kit());
  map.getNavigationProperties().gaussianProcesses.Mode = mode;
  map.getSublocationsVector().push_back(f);
  return map;
}

// The correction run again on a cloud it has seen in the same window (the
// filter's correction after a resampling without noise) evaluates nothing
// new and gives the very same factors as a fresh evaluation; a new window
// evaluates again.
TEST(GpEvaluationReuse, SameWindowReusesNewWindowEvaluates) {
  for (int mode : {121, 123}) {
    SCOPED_TRACE(mode);
    NavigationMap map = GpMap(mode);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> pos(-2.0, 22.0);
    std::vector<Particle> cloud;
    for (int i = 0; i < 40; ++i) cloud.push_back(Particle{pos(rng), pos(rng), 0.0, i % 7 ? 1.0 : 0.0});
    std::vector<Particle> copies;  // a resampling without noise: parents repeated
    for (int i = 0; i < 40; ++i) copies.push_back(cloud[static_cast<size_t>((i * 7) % 40)]);
    const std::vector<double> signals = {-60.0, -72.0, 1.0, -80.0};

    auto fresh = [&](const std::vector<Particle>& p) {
      GaussianProcesses g;
      g.initialize(map);
      g.setSublocationIndex(0);
      g.setCurrentSignals(signals);
      g.setParticles(p);
      g.correction();
      return g.getNewWeights();
    };
    GaussianProcesses gp;
    gp.initialize(map);
    gp.setSublocationIndex(0);
    gp.setCurrentSignals(signals);
    gp.setParticles(cloud);
    ASSERT_EQ(gp.correction(), 0);
    const uint64_t first = gp.getEvaluations();
    EXPECT_EQ(first, 34u);  // the live particles, each once
    EXPECT_EQ(gp.getNewWeights(), fresh(cloud));

    gp.setParticles(copies);
    ASSERT_EQ(gp.correction(), 0);
    EXPECT_EQ(gp.getEvaluations(), first);
    EXPECT_EQ(gp.getNewWeights(), fresh(copies));

    std::vector<double> moved = signals;
    moved[0] = -61.0;
    gp.setCurrentSignals(moved);
    gp.setParticles(cloud);
    ASSERT_EQ(gp.correction(), 0);
    EXPECT_EQ(gp.getEvaluations(), 2 * first);
    EXPECT_NE(gp.getNewWeights(), fresh(cloud));
  }
}

}  // namespace
