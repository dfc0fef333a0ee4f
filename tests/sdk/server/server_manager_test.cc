// The server manager: heat-map lines counted where they land (our content
// server, through the real message queue), their text, and the one queue a
// process runs however often it is started.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "MCServerManager/mc_server_manager.h"
#include "platform/app.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "platform/testing.h"
#include "sdk/facade/facade_scene.h"

namespace {

namespace fs = std::filesystem;
namespace pt = platform::testing;

std::vector<std::string> ReceivedLines(const contentserver::ContentServer& server) {
  std::vector<std::string> lines;
  for (const auto& r : server.records()) {
    if (r.path != "/xmlParserInsert" || r.status != 200) continue;
    std::istringstream in(r.xml);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

WScanMessage Positioned(double clock, int floor) {
  WScanMessage m;
  m.outSubLocation = floor;
  m.deviceId = "A1";
  m.outKX = clock / 1000;  // makes every line its own
  m.outKY = 0.5;
  m.tmYear = 2026;
  m.tmMonth = 1;
  m.tmDay = 1;
  return m;
}

TEST(ServerManagerTest, HeatmapLinesAtMostOnePerPeriodReachTheServerOnceEach) {
  facade_test::FacadeScene s;
  auto manager = std::make_shared<MCServerManager>();
  const double created = platform::Clock::nowSeconds();
  manager->setServer(s.serverUrl());
  manager->setUserHash("hash");
  manager->startMQueue();
  platform::Application::setApplicationState(platform::ApplicationState::Active);
  struct Phase {
    platform::ApplicationState state;
    int steps;
    double step;  // clock seconds
  };
  // Foreground (an inactive application counts as one) for 60 s at the tick's pace,
  // then the background for 900 s at one message a second.
  const std::vector<Phase> phases = {{platform::ApplicationState::Active, 300, 0.1},
                                     {platform::ApplicationState::Inactive, 300, 0.1},
                                     {platform::ApplicationState::Background, 900, 1.0}};
  std::set<std::string> expected;
  for (const Phase& p : phases) {
    platform::Application::setApplicationState(p.state);
    for (int i = 0; i < p.steps; ++i) {
      pt::advance(p.step);
      const double t = platform::Clock::nowSeconds() - created;
      // The tick due first after 10 s has no floor: no line, and the period is not restarted.
      const bool noFloor = std::abs(t - 10.1) < 1e-6;
      manager->addMQMessage(Positioned(t, noFloor ? -1 : 1));
    }
  }
  pt::settle();
  // At most one line per 10 s (strictly more than the period since the last), none
  // for the floorless tick, then one per 300 s in the background.
  for (double at : {10.2, 20.3, 30.4, 40.5, 50.6, 351.0, 652.0, 953.0})
    expected.insert(MCServerManager::heatmapLine(Positioned(at, 1)));
  ASSERT_TRUE(pt::pumpUntil([&] { return ReceivedLines(*s.server).size() >= expected.size(); }, 20));
  manager->stopMQueue();
  const auto lines = ReceivedLines(*s.server);
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected);
  EXPECT_EQ(lines.size(), expected.size()) << "a line reached the server twice";
  for (const auto& r : s.server->records())
    if (r.path == "/xmlParserInsert") {
      EXPECT_EQ(r.userHash, "hash");
    }
  platform::Application::setApplicationState(platform::ApplicationState::Active);
}

// Only a tick that will make a line reaches the main queue; the others end on
// the tick's own thread, with nothing handed on.
TEST(ServerManagerTest, OnlyADueTickIsHandedToTheMainQueue) {
  pt::ScopedHome home;
  platform::RunLoop::setMainThread();
  pt::useManualClock({1767268800, 0});
  platform::Application::setApplicationState(platform::ApplicationState::Active);
  auto manager = std::make_shared<MCServerManager>();
  struct Case {
    double at;  // clock seconds since the manager was made
    int floor;
    bool handed;
  };
  const std::vector<Case> cases = {
      {5, 1, false},      // inside the period
      {10, 1, false},     // equal to it is too soon
      {10.1, -1, false},  // no floor
      {10.1, 1, true},    // due
      {10.2, 1, false},   // the period starts again
      {20.3, 1, true},
  };
  double clock = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    pt::advance(c.at - clock);
    clock = c.at;
    manager->addMQMessage(Positioned(c.at, c.floor));
    EXPECT_EQ(platform::RunLoop::main()->runPending() > 0, c.handed);
  }
  EXPECT_NEAR(manager->lastHeatmapMessageDate(), platform::Clock::nowSeconds(), 1e-6);
}

// The queue hands over every line it was given before being stopped, or says
// in time that it could not; what it could not post stays for the next queue.
TEST(ServerManagerTest, DrainAndStopPostsWhatWasQueuedOrSaysItCouldNot) {
  struct Case {
    const char* name;
    bool serverUp, queueStarted, drained;
  };
  const std::vector<Case> cases = {
      {"server up", true, true, true},
      {"server down", false, true, false},
      {"no queue", true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    facade_test::FacadeScene s(c.serverUp);
    auto manager = std::make_shared<MCServerManager>();
    manager->setServer(c.serverUp ? s.serverUrl() : "http://127.0.0.1:1");
    manager->setUserHash("hash");
    // The queue is the process's one: none may be left current from before.
    c.queueStarted ? manager->startMQueue() : manager->stopMQueue();
    const std::vector<std::string> lines = {"<H a />", "<H b />", "<H c />"};
    for (const auto& line : lines) manager->mqEngine()->addMessage(line);
    EXPECT_EQ(manager->mqEngine()->drainAndStop(std::chrono::milliseconds(c.drained ? 20000 : 500)), c.drained);
    EXPECT_FALSE(MMQueueEngine::running());
    if (c.drained) {
      EXPECT_EQ(ReceivedLines(*s.server), lines);
    } else if (c.queueStarted) {
      // Left on disk, in the queue file or a batch.
      std::string kept;
      for (const auto& e : fs::directory_iterator(manager->mqEngine()->mqPath())) {
        std::ifstream in(e.path());
        kept += std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      }
      for (const auto& line : lines) EXPECT_NE(kept.find(line), std::string::npos) << line;
    }
  }
}

TEST(ServerManagerTest, HeatmapLineText) {
  struct Case {
    int floor;
    const char* device;
    double kx, ky;
    int y, mo, d, h, mi, sec;
    const char* line;
  };
  const std::vector<Case> cases = {
      {2, "A1", 0.25, 0.5, 2017, 4, 4, 7, 5, 9,
       "<H i=\"2\" u=\"A1\" kx=\"0.250000\" ky=\"0.500000\" d=\"2017-04-04 07:05:09\" />"},
      {0, "D-2", 1, 0, 2026, 12, 31, 23, 59, 59,
       "<H i=\"0\" u=\"D-2\" kx=\"1.000000\" ky=\"0.000000\" d=\"2026-12-31 23:59:59\" />"},
  };
  for (const Case& c : cases) {
    WScanMessage m;
    m.outSubLocation = c.floor;
    m.deviceId = c.device;
    m.outKX = c.kx, m.outKY = c.ky;
    m.tmYear = c.y, m.tmMonth = c.mo, m.tmDay = c.d, m.tmHour = c.h, m.tmMinute = c.mi, m.tmSecond = c.sec;
    EXPECT_EQ(MCServerManager::heatmapLine(m), c.line);
  }
}

// Every load starts the queue again: the queue before must be gone, not left posting
// beside the new one, and after a stop nothing posts at all.
TEST(ServerManagerTest, StartingTheQueueAgainLeavesOneQueueAndAStopEndsIt) {
  facade_test::FacadeScene s;
  auto manager = std::make_shared<MCServerManager>();
  manager->setServer(s.serverUrl());
  manager->setUserHash("hash");
  for (int i = 0; i < 3; ++i) manager->startMQueue();
  manager->mqEngine()->addMessage("<H one />");
  ASSERT_TRUE(pt::pumpUntil([&] { return ReceivedLines(*s.server).size() == 1; }, 20));
  manager->stopMQueue();
  EXPECT_FALSE(MMQueueEngine::running());
  // A line left in the queue's file by an earlier run is posted by no one now.
  const size_t posts = s.server->records().size();
  std::ofstream(fs::path(manager->mqEngine()->mqPath()) / "queue.xml", std::ios::app) << "<H left />\n";
  manager->mqEngine()->addMessage("<H dropped />");
  EXPECT_FALSE(pt::pumpUntil([&] { return s.server->records().size() > posts; }, 1.5));
  // The next start posts it, once.
  manager->startMQueue();
  ASSERT_TRUE(pt::pumpUntil([&] { return ReceivedLines(*s.server).size() == 2; }, 20));
  manager->stopMQueue();
  EXPECT_EQ(ReceivedLines(*s.server), (std::vector<std::string>{"<H one />", "<H left />"}));
}

// Stopping the queue, or starting it again as every location load does, waits
// for a post under way no longer than a tick and for nothing else: not for
// batches a server that is down will not take. A post that takes longer ends
// on the stopped queue's own thread, and no other queue posts from the
// directory before it has.
TEST(ServerManagerTest, StartAndStopNeverWaitForTheServer) {
  for (const bool up : {false, true}) {  // down; up but never answering a post
    SCOPED_TRACE(up ? "a post under way" : "server down, a batch waiting");
    facade_test::FacadeScene s(up);
    contentserver::Misbehaviour hold;
    hold.neverAnswerPosts = true;
    if (up) s.server->setMisbehaviour(hold);
    auto manager = std::make_shared<MCServerManager>();
    manager->setServer(s.serverUrl());
    manager->startMQueue();
    manager->mqEngine()->addMessage("<H one />");
    const fs::path batch = fs::path(manager->mqEngine()->mqPath()) / "upload.xml";
    ASSERT_TRUE(pt::pumpUntil([&] { return up ? s.server->records().size() == 1 : fs::exists(batch); }, 20));
    for (auto call : {&MCServerManager::stopMQueue, &MCServerManager::startMQueue, &MCServerManager::startMQueue}) {
      const auto begin = std::chrono::steady_clock::now();
      (manager.get()->*call)();
      EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    }
    if (up) {
      EXPECT_FALSE(pt::pumpUntil([&] { return s.server->records().size() > 1; }, 1.0)) << "posted twice";
    }
    manager->stopMQueue();
  }
}

TEST(ServerManagerTest, SettersPassOnlyNewValuesToTheQueueEngine) {
  platform::testing::ScopedHome home;
  MCServerManager manager;
  manager.setServer("http://a");
  manager.mqEngine()->setServer("changed by hand");
  manager.setServer("http://a");
  EXPECT_EQ(manager.mqEngine()->server(), "changed by hand");
  manager.setServer("http://b");
  EXPECT_EQ(manager.mqEngine()->server(), "http://b");
  manager.setUserHash("u");
  EXPECT_EQ(manager.mqEngine()->userHash(), "u");
  EXPECT_EQ(manager.mqEngine()->mqPath(), (platform::Paths::documents() / "mqueue").string());
  EXPECT_TRUE(fs::is_directory(manager.mqEngine()->mqPath()));
}

}  // namespace
