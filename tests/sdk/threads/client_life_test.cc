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
  bool ok = true;
  for (size_t i = 0; i < 120; ++i) messages.push_back(WScanMessage::parse(venuesim::WalkMessageText(s.walk, i), &ok));
  ASSERT_TRUE(ok);

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

// Host threads calling graph functions back to back must not keep a clear
// out: it gets in once the calls already inside are done. With a lock that
// lets readers in past a waiting writer, the clear would wait until the
// hammering stopped by itself (each thread's budget of calls ran out).
TEST(ClientLifeThreads, ClearGetsInWhileHostThreadsCallWithoutPause) {
  const auto& s = sdk_test::SharedScene();
  MNavigationEngine engine;
  engine.createNavigationClient(s.map, "threads", "SimPhone", nullptr);
  auto graph = engine.graphEngine();
  ASSERT_TRUE(graph);
  constexpr int kThreads = 3;
  constexpr long kBudget = 20000;  // calls each, far more than a clear ever needs to wait for
  const auto life = graph->client();
  std::atomic<int> running{0};
  std::vector<long> calls(kThreads, 0);
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([&, t] {
      ++running;
      long n = 0;
      // Until the client is gone (or the budget is spent).
      while (n < kBudget && life->alive()) {
        (void)graph->makeRouteFrom(s.venue.floors[0].id, 3, 10, s.venue.floors[1].id, 20, 10);
        ++n;
      }
      calls[size_t(t)] = n;
    });
  }
  while (running < kThreads) std::this_thread::yield();
  engine.clearClient();
  for (auto& h : hosts) h.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_LT(calls[size_t(t)], kBudget) << "host thread " << t;
  EXPECT_FALSE(engine.client());
  EXPECT_EQ(graph->getCurrentTag(), "");
}

// Creations racing each other: afterwards the graph engine, the client and
// the description belong to one client, whichever won.
TEST(ClientLifeThreads, RacingCreationsLeaveOneClientsGraphEngine) {
  const auto& s = sdk_test::SharedScene();
  MNavigationEngine engine;
  int failures = 0;
  for (int round = 0; round < 100; ++round) {
    std::atomic<int> ready{0};
    std::vector<std::thread> makers;
    for (const char* id : {"a", "b", "c"}) {
      makers.emplace_back([&, id] {
        ++ready;
        while (ready < 3) std::this_thread::yield();
        engine.createNavigationClient(s.map, id, "SimPhone", nullptr);
      });
    }
    for (auto& m : makers) m.join();
    const auto client = engine.client();
    const auto graph = engine.graphEngine();
    failures += !(client && graph && graph->client() == client && engine.locationInfo());
  }
  EXPECT_EQ(failures, 0);
  engine.clearClient();
}

}  // namespace
