#include "server/mqueue/mqueue.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "content_server/content_server.h"
#include "engine/server/log_capture.h"
#include "server/content/content_helper.h"

namespace {

namespace fs = std::filesystem;
using contentserver::ContentServer;

std::string Slurp(const std::string& path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }

contentserver::ServerOptions Options(int port) {
  contentserver::ServerOptions o;
  o.port = port;
  o.ipv6 = false;
  return o;
}

bool WaitUntil(const std::function<bool()>& done, int seconds = 60) {
  for (int i = 0; i < seconds * 200 && !done(); ++i) usleep(5000);
  return done();
}

// A listening socket on 127.0.0.1: closes every connection at once (a server
// that is down but reachable) and counts them.
struct Closer {
  Closer() {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), n), listen(fd, 64), getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    worker = std::thread([this] {
      for (int c; (c = accept(fd, nullptr, nullptr)) >= 0; ++count) close(c);
    });
  }
  ~Closer() { shutdown(fd, SHUT_RDWR), close(fd), worker.join(); }
  int fd = socket(AF_INET, SOCK_STREAM, 0), port;
  std::atomic<int> count{0};
  std::thread worker;
};

class MQueue : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir_); }
  std::string Url(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/xmlParserInsert"; }
  std::unique_ptr<MQueueManager> Queue(int port, int maxBytes, int maxFiles, int retryMs) {
    auto q = std::make_unique<MQueueManager>(Url(port), dir_, maxBytes, maxFiles);
    q->setSleepTimeout(1);
    q->setRetryTimeout(retryMs, retryMs * 4);
    q->setParameter("userHash", "u1");
    return q;
  }
  // The lines of the batches a server accepted, in arrival order.
  static std::string Accepted(const ContentServer& s) {
    std::string all;
    for (const auto& r : s.records()) all += r.status == 200 && r.userHash == "u1" ? r.xml : "";
    return all;
  }
  std::string dir_ = mkdtemp(std::string("/tmp/mv_mqueue_XXXXXX").data());
  LogCapture log_;
};

TEST_F(MQueue, BatchesCloseBetweenLinesAndKeepTheNewest) {
  const std::string e(3000, 'e'), nul("x\0y", 3);
  struct Case { int maxBytes, maxFiles; std::vector<std::string> lines; std::string rawTail; std::map<std::string, std::string> files; } cases[] = {
      {10, 9, {"aaaa", "bbbb", "cccc", "dddd", e}, "", {{"upload.0001.xml", "aaaa\nbbbb\ncccc\n"}, {"upload.xml", "dddd\n" + e + "\n"}}},
      {4, 2, {"a1234", "b1234", "c1234", "d"}, "", {{"upload.0002.xml", "b1234\n"}, {"upload.0001.xml", "c1234\n"}, {"upload.xml", "d\n"}}},
      {100, 9, {nul}, "cut", {{"upload.xml", nul + "\ncut\n"}}},
  };
  Closer down;
  for (const Case& c : cases) {
    auto q = Queue(down.port, c.maxBytes, c.maxFiles, 3600 * 1000);
    for (const auto& l : c.lines) q->addMessage(l);
    std::ofstream(dir_ + "/queue.xml", std::ios::app) << c.rawTail;
    q->start();
    ASSERT_TRUE(WaitUntil([&] { return down.count >= 1 && !fs::exists(dir_ + "/queue.xml"); }));
    for (const auto& [name, text] : c.files) EXPECT_EQ(Slurp(dir_ + "/" + name), text) << name;
    for (const auto& f : fs::directory_iterator(dir_)) EXPECT_TRUE(c.files.count(f.path().filename()) || f.path().filename() == "queue.lock") << f.path();
    // Later cycles go on batching without posting again before the retry delay.
    q->addMessage("late");
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(dir_ + "/queue.xml"); }));
    q.reset();
    EXPECT_EQ(down.count, 1);
    fs::remove_all(dir_), fs::create_directory(dir_), down.count = 0;
  }
}

// A server process killed mid-post, then down, then failing: every line arrives
// once, in order, except the batch the dead server stored but never answered.
TEST_F(MQueue, EverythingArrivesOnceInOrderThroughKillDownTimeAndASecondQueue) {
  int port = Closer().port, pid = 0;  // nothing listens there once the probe is gone
  std::string log = dir_ + "/server.log", expected;
  FILE* p = popen((CONTENT_SERVER " --port " + std::to_string(port) + " --log " + log +
                   " --never-answer-posts >/dev/null 2>&1 & echo $!").c_str(), "r");
  ASSERT_EQ(fscanf(p, "%d", &pid), 1);
  pclose(p);
  std::shared_ptr<void> killer(nullptr, [pid](void*) { kill(pid, SIGKILL); });
  auto first = Queue(port, 100, 50, 5), second = Queue(port, 100, 50, 5);  // second only appends
  for (int i = 0; i < 90; ++i) {
    std::string line = "<m n=\"" + std::to_string(i) + "\"/>";
    (i % 2 && first ? first : second)->addMessage(line);
    expected += line + "\n";
    if (i == 29) {
      first->start(), second->start();
      ASSERT_TRUE(WaitUntil([&] { return Slurp(log).find("xmlSha256") != std::string::npos; }));
      kill(pid, SIGKILL);
    }
    if (i == 60) first.reset();  // mid-post maybe; the other queue takes the directory over
  }
  ContentServer server(Options(port));
  contentserver::Misbehaviour bad;
  bad.failFirstPosts = 2;
  server.setMisbehaviour(bad);
  std::string error;
  ASSERT_TRUE(WaitUntil([&] { return server.start(&error); })) << error;
  ASSERT_TRUE(WaitUntil([&] { return Accepted(server).size() >= expected.size(); }));
  EXPECT_EQ(Accepted(server), expected);
  EXPECT_GT(second->getUploadTime(), 0u);
  std::string dead = Slurp(log);
  int again = 0;
  for (const auto& r : server.records()) again += r.status == 200 && dead.find(contentserver::Sha256Hex(r.xml)) != std::string::npos;
  EXPECT_EQ(std::count(dead.begin(), dead.end(), '\n'), 1);
  EXPECT_EQ(again, 1);
}

TEST_F(MQueue, TenThousandFailedRetriesKeepMemoryAndJobRecordsFlat) {
  Closer down;
  auto q = Queue(down.port, 1000, 5, 0);
  q->setSleepTimeout(0);
  q->addMessage("<m/>");
  int before = StartUrlPoster("bad", "", "");
  q->start();
  auto rss = [] {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
  };
  ASSERT_TRUE(WaitUntil([&] { return down.count >= 1000; }, 600));
  [[maybe_unused]] long early = rss();
  ASSERT_TRUE(WaitUntil([&] { return down.count >= 10000; }, 1200));
  [[maybe_unused]] long late = rss();
  std::printf("resident after 1,000 failed posts %ld bytes, after 10,000 %ld bytes\n", early, late);
  q.reset();
  int after = StartUrlPoster("bad", "", ""), kept = 0;
  for (int id = before + 1; id < after; ++id) kept += CheckLocationLoader(id) != -1;
  EXPECT_LE(kept, kMaxReportedLoaders + 2);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators hold freed memory
  EXPECT_LT(late - early, 4 << 20) << early << " -> " << late;
#endif
  EXPECT_TRUE(fs::exists(dir_ + "/upload.xml"));
}

}  // namespace
