// The server manager: heat-map lines counted where they land (our content
// server, through the real message queue), their text, and the one queue a
// process runs however often it is started.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "Server/mc_server_manager.h"
#include "platform/app.h"
#include "platform/paths.h"
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

// A server on 127.0.0.1 for the queue's posts: either down but reachable
// (every connection closed at once) or one that reads each post whole and
// answers 200 only once released.
class PostServer {
 public:
  explicit PostServer(bool hold) : hold_(hold) {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), n), listen(fd_, 16), getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] {
      for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;) {
        if (!hold_) {
          close(c);
          std::lock_guard lock(mutex_);
          ++posts_;
          continue;
        }
        std::lock_guard lock(mutex_);
        served_.emplace_back([this, c] { serve(c); });
      }
    });
  }
  ~PostServer() {
    release();
    shutdown(fd_, SHUT_RDWR), close(fd_), acceptor_.join();
    for (auto& t : served_) t.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int posts() const {
    std::lock_guard lock(mutex_);
    return posts_;
  }
  // How often `text` came in the posts read so far.
  int seen(const std::string& text) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (size_t at = 0; (at = bodies_.find(text, at)) != std::string::npos; at += text.size()) ++n;
    return n;
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    wake_.notify_all();
  }

 private:
  void serve(int c) {
    std::string in;
    char buf[4096];
    size_t need = std::string::npos;
    for (ssize_t got; (got = read(c, buf, sizeof buf)) > 0;) {
      in.append(buf, size_t(got));
      const size_t head = in.find("\r\n\r\n");
      if (head != std::string::npos && need == std::string::npos) {
        const size_t at = in.find("Content-Length: ");
        need = head + 4 + (at < head ? std::stoul(in.substr(at + 16)) : 0);
      }
      if (in.size() >= need) break;
    }
    std::unique_lock lock(mutex_);
    ++posts_;
    bodies_ += in;
    wake_.wait(lock, [this] { return released_; });
    lock.unlock();
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
    [[maybe_unused]] ssize_t w = write(c, reply.data(), reply.size());
    close(c);
  }

  const bool hold_;
  int fd_ = socket(AF_INET, SOCK_STREAM, 0), port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool released_ = false;
  int posts_ = 0;
  std::string bodies_;
  std::vector<std::thread> served_;
  std::thread acceptor_;
};

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
// on the stopped queue's own thread, uncut, and no other queue posts from the
// directory before it has.
TEST(ServerManagerTest, StartAndStopNeverWaitForTheServer) {
  struct Row {
    const char* what;
    bool hold;
  } rows[] = {{"server down, a batch waiting", false}, {"a post under way", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    facade_test::FacadeScene s(false);
    PostServer server(row.hold);
    auto manager = std::make_shared<MCServerManager>();
    manager->setServer(server.url());
    manager->setUserHash("hash");
    manager->startMQueue();
    manager->mqEngine()->addMessage("<H one />");
    ASSERT_TRUE(pt::pumpUntil([&] { return server.posts() >= 1; }, 20));
    for (void (MCServerManager::*call)() : {&MCServerManager::stopMQueue, &MCServerManager::startMQueue,
                                             &MCServerManager::startMQueue}) {
      const auto begin = std::chrono::steady_clock::now();
      (manager.get()->*call)();
      EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    }
    if (row.hold) {
      manager->mqEngine()->addMessage("<H two />");
      EXPECT_FALSE(pt::pumpUntil([&] { return server.posts() > 1; }, 1.0)) << "two queues posted at once";
      server.release();
      ASSERT_TRUE(pt::pumpUntil([&] { return server.seen("<H two />") == 1; }, 20));
      EXPECT_EQ(server.seen("<H one />"), 1);
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
