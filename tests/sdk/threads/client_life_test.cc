// The navigation client's life under concurrent use: a tick thread navigates
// while the host's thread makes routes, changes targets and tags, and clears
// and re-creates the client. No call may reach a destroyed client (the
// sanitizers watch), and calls after a clear give empty results.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Navigation/m_navigation_engine.h"
#include "sdk/sdk_scene.h"
#include "venuesim/walk.h"

namespace {

TEST(ClientLifeThreads, GraphCallsTargetsAndClearRaceTheTick) {
  const auto& s = sdk_test::SharedScene();
  MNavigationEngine engine;
  engine.createNavigationClient(s.map, "threads", "SimPhone", nullptr);
  ASSERT_TRUE(engine.client());

  std::vector<WScanMessage> messages;
  for (size_t i = 0; i < std::min<size_t>(s.walk.ticks.size(), 120); ++i) {
    bool ok = false;
    messages.push_back(WScanMessage::parse(venuesim::WalkMessageText(s.walk, i), &ok));
    ASSERT_TRUE(ok);
  }

  std::atomic<bool> stop{false};
  std::atomic<int> steps{0};
  std::thread tick([&] {
    for (size_t i = 0; !stop; ++i) {
      WScanMessage m = messages[i % messages.size()];
      if (engine.navigate(m, nullptr) != 31) ++steps;  // reached a live client
    }
  });

  // Clears and re-creations for a while, then graph calls until the tick has
  // run on a live client often enough.
  for (int round = 0; round < 30 || steps < 200; ++round) {
    // Held across the clear below, as a host would hold the manager's engine.
    auto graph = engine.graphEngine();
    if (graph) {
      graph->addTatgetToSublocation(s.venue.floors[0].id, 5.0, 10.0);
      const auto tags = graph->graphTags();
      graph->setCurrentTag(tags.empty() ? "none" : tags[0]);
      graph->makeRouteFrom(s.venue.floors[0].id, 3, 10, s.venue.floors[1].id, 20, 10);
      graph->setGraphParameter({{"smooth_radius", "0.5"}});
      graph->cancelTargets();
    }
    if (round % 5 == 4 && round < 30) {
      std::thread clear([&] { engine.clearClient(); });
      if (graph) {
        graph->makeRouteFrom(s.venue.floors[0].id, 3, 10, s.venue.floors[0].id, 20, 10);
        graph->getCurrentTag();
      }
      clear.join();
      if (graph) {
        EXPECT_TRUE(graph->graphTags().empty());
      }
      engine.createNavigationClient(s.map, "threads", "SimPhone", nullptr);
    }
  }
  stop = true;
  tick.join();
  engine.clearClient();
}

}  // namespace
