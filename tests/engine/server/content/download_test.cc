#include <sys/stat.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/time.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "content_fixture.h"

namespace {

using content_test::ContentTest;
using content_test::TestFile;
using content_test::WaitJob;
using peers::readFile;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr)
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  if (d) closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// A temporary file of the target is left in its directory.
bool TempLeft(const std::string& target) {
  const size_t slash = target.rfind('/');
  for (const std::string& name : Listing(target.substr(0, slash)))
    if (name.rfind(target.substr(slash + 1) + ".part", 0) == 0) return true;
  return false;
}

class DownloadTest : public ContentTest {
 protected:
  void SetUp() override {
    ContentTest::SetUp();
    peers::writeFile(root_.file("big.bin"), peers::seededBytes(3 << 20, 1));
    std::string text;
    for (int i = 0; i < 40000; ++i) text += "<line n=\"" + std::to_string(i) + "\"/>\n";
    peers::writeFile(root_.file("list.xml"), text);
  }
  peers::TempDir root_, out_;
};

// nginx compresses .xml (gzip, chunked) and sends .bin with a length.
TEST_F(DownloadTest, NginxFilesArriveWholeOverHttpAndHttps) {
  peers::Nginx nginx({root_.path(), certs(), 0, true});
  ASSERT_TRUE(nginx.ok());
  for (bool tls : {false, true}) {
    for (const char* name : {"big.bin", "list.xml"}) {
      SCOPED_TRACE(testing::Message() << name << " tls " << tls);
      const std::string url = (tls ? "https://127.0.0.1:" + std::to_string(nginx.tlsPort())
                                   : "http://127.0.0.1:" + std::to_string(nginx.port())) +
                              "/" + name;
      const std::string target = out_.file(std::string(tls ? "s/" : "p/") + name);
      const int id = StartUrlLoader(url, target);
      EXPECT_EQ(WaitJob(id), 100);
      EXPECT_TRUE(readFile(target) == readFile(root_.file(name)));
      EXPECT_EQ(GetLoaderResponse(id), "") << "the body went to the file only";
      EXPECT_FALSE(TempLeft(target));
    }
  }
}

TEST_F(DownloadTest, ProgressRisesToHundredAndStopLeavesTheOldFile) {
  peers::Nginx nginx({root_.path(), certs(), 2 << 20, true});  // 1.5 s for big.bin
  ASSERT_TRUE(nginx.ok());
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls);
    const std::string url = (tls ? "https://127.0.0.1:" + std::to_string(nginx.tlsPort())
                                 : "http://127.0.0.1:" + std::to_string(nginx.port())) +
                            "/big.bin";
    std::vector<int> states;
    int id = StartUrlLoader(url, out_.file("whole.bin"));
    for (int s = 0; s < 100 && s >= 0; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      s = CheckLocationLoader(id);
      if (states.empty() || states.back() != s) states.push_back(s);
    }
    EXPECT_TRUE(std::is_sorted(states.begin(), states.end()));
    EXPECT_EQ(states.back(), 100);
    EXPECT_GE(states.size(), 6u) << "progress moved in steps";

    peers::writeFile(out_.file("old.bin"), "old");
    id = StartUrlLoader(url, out_.file("old.bin"));
    while (CheckLocationLoader(id) < 30) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    StopLocationLoader(id);
    EXPECT_EQ(WaitJob(id, 1500), -1) << "stopped job erased within the poll interval";
    EXPECT_TRUE(readFile(out_.file("old.bin")) == "old");
    EXPECT_FALSE(TempLeft(out_.file("old.bin")));
  }
}

TEST_F(DownloadTest, MissingFileGivesMinusStatusWithItsBody) {
  peers::Nginx nginx({root_.path(), certs()});
  ASSERT_TRUE(nginx.ok());
  const int id = StartUrlLoader("http://127.0.0.1:" + std::to_string(nginx.port()) + "/none", out_.file("none"));
  EXPECT_EQ(WaitJob(id), -404);
  EXPECT_NE(GetLoaderResponse(id).find("404 Not Found"), std::string::npos);
  EXPECT_FALSE(Exists(out_.file("none")));
  EXPECT_FALSE(TempLeft(out_.file("none")));
}

// Replies no good server sends: each gives its code, the old file stays.
TEST_F(DownloadTest, BadRepliesFailAndKeepTheOldFile) {
  peers::Child bad({"python3", TestFile("bad_server.py")}, true);
  int port = 0;
  std::sscanf(bad.readLine().c_str(), "port %d", &port);
  ASSERT_GT(port, 0);
  SetMaxReplyBytes(64 << 20);
  struct Case {
    const char* path;
    int state;
  } cases[] = {
      {"/short", kErrorReplyTruncated},   {"/chunkcut", kErrorChunked},      {"/nolast", kErrorChunked},
      {"/hugechunk", kErrorReplyTooLarge}, {"/headerless", kErrorHttpHeader}, {"/garbage", kErrorHttpHeader},
      {"/stall", kErrorRecvTimeout},      {"/silent", kErrorRecvTimeout},    {"/endless", kErrorReplyTooLarge},
      {"/hugelength", kErrorReplyTooLarge}, {"/bomb", kErrorReplyTooLarge}, {"/status", 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string target = out_.file("keep.bin");
    peers::writeFile(target, "old archive");
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitJob(StartUrlLoader("http://127.0.0.1:" + std::to_string(port) + c.path, target)), c.state);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_EQ(readFile(target), c.state == 100 ? "slow!" : "old archive");
    EXPECT_FALSE(TempLeft(target));
  }
  SetMaxReplyBytes(kMaxReplyBytes);
}

// Two jobs writing one target at once: each reply goes whole to the target
// (the later one wins), never a mix, and no temporary file stays behind. A
// temporary file a dead process left a while ago is cleared away.
TEST_F(DownloadTest, JobsToOneTargetNeverMixTheirBytes) {
  peers::writeFile(root_.file("a.bin"), peers::seededBytes(1 << 20, 2));
  peers::writeFile(root_.file("b.bin"), peers::seededBytes(1 << 20, 3));
  peers::Nginx nginx({root_.path(), certs(), 1 << 20, false});  // about a second each
  ASSERT_TRUE(nginx.ok());
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls);
    peers::TempDir out;
    const std::string target = out.file("same.bin");
    const timeval old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    for (const char* left : {".part.Zq9x1A", ".part"}) {
      peers::writeFile(target + left, "left by a dead process");
      utimes((target + left).c_str(), old);
    }
    peers::writeFile(target + ".part.fresh1", "being written by another process");
    const std::string base = (tls ? "https://127.0.0.1:" + std::to_string(nginx.tlsPort())
                                  : "http://127.0.0.1:" + std::to_string(nginx.port()));
    const int a = StartUrlLoader(base + "/a.bin", target);
    const int b = StartUrlLoader(base + "/b.bin", target);
    EXPECT_EQ(WaitJob(a), 100);
    EXPECT_EQ(WaitJob(b), 100);
    const std::string got = readFile(target);
    EXPECT_TRUE(got == readFile(root_.file("a.bin")) || got == readFile(root_.file("b.bin")))
        << "a mix of both replies";
    EXPECT_EQ(Listing(out.path()), (std::vector<std::string>{"same.bin", "same.bin.part.fresh1"}));
  }
}

// Finished replies kept for callers that poll and never stop weigh at most
// kMaxReportedBytes together (the one just read always stays).
TEST_F(DownloadTest, KeptRepliesAreBoundedByBytes) {
  peers::writeFile(root_.file("five.bin"), peers::seededBytes(5 << 20, 4));
  peers::Nginx nginx({root_.path(), certs(), 0, false});
  ASSERT_TRUE(nginx.ok());
  std::vector<int> ids;
  for (int i = 0; i < 8; ++i) {
    ids.push_back(StartUrlLoader("http://127.0.0.1:" + std::to_string(nginx.port()) + "/five.bin", ""));
    ASSERT_EQ(WaitJob(ids.back()), 100);
  }
  uint64_t kept = 0;
  for (int id : ids) kept += GetLoaderResponse(id).size();
  EXPECT_LE(kept, kMaxReportedBytes);
  EXPECT_EQ(GetLoaderResponse(ids.back()).size(), 5u << 20);
  for (int id : ids) StopLocationLoader(id);
}

// A host that never answers the SYN (a listener whose backlog is full) and a
// resolver that hangs: a stop ends the job within the poll interval, and an
// unanswered connect ends with its own code after the idle time-out.
std::string HangingResolver(const std::string& host) {
  if (host == "127.0.0.1") return host;
  std::this_thread::sleep_for(std::chrono::seconds(4));
  return std::string();
}

TEST_F(DownloadTest, StopReachesJobsWaitingForConnectOrResolver) {
  sockaddr_in a;
  const int listener = peers::boundLoopback(&a);
  ASSERT_GE(listener, 0);
  ASSERT_EQ(listen(listener, 0), 0);
  std::vector<int> fillers;  // fill the accept queue: later SYNs are dropped
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string dropping = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  SetHostResolver(HangingResolver);
  struct Case {
    std::string url;
    bool stop;
    int state;
    int withinMs;
  } cases[] = {
      {"http://" + dropping + "/x", true, -1, 1000},
      {"https://" + dropping + "/x", true, -1, 1000},
      {"http://" + dropping + "/x", false, kErrorConnect, 2500},
      {"http://hangs.example/x", true, -1, 1000},
      {"https://hangs.example/x", true, -1, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.url << " stop " << c.stop);
    const int id = StartUrlLoader(c.url, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(CheckLocationLoader(id), 1) << "still waiting";
    if (c.stop) StopLocationLoader(id);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitJob(id, 5000), c.state);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(c.withinMs));
  }
  // A direct look-up gives up after the idle time-out; the answer, when it
  // comes, is cached for later.
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(GetAddress("hangs-too.example"), "");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2500));
  SetHostResolver(nullptr);
  for (int fd : fillers) close(fd);
  close(listener);
}

// Refused connects while other threads open and use descriptors: a socket
// closed twice would close a descriptor another thread has just been given.
TEST_F(DownloadTest, RefusedConnectsCloseNothingOfOtherThreads) {
  // A port bound but never listened on refuses every connect, and stays ours:
  // a port only found free could be taken by a test running beside this one,
  // or, in the ephemeral range, be picked as a connect's own source port
  // (a loopback socket connected to itself).
  sockaddr_in a;
  const int holder = peers::boundLoopback(&a);
  ASSERT_GE(holder, 0);
  const int refused = ntohs(a.sin_port);
  std::atomic<bool> done{false};
  std::atomic<int> broken{0};
  std::vector<std::thread> victims;
  for (int t = 0; t < 6; ++t)
    victims.emplace_back([&] {
      while (!done) {
        int p[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, p) != 0) continue;
        char c = 0;
        if (send(p[1], "v", 1, MSG_NOSIGNAL) != 1 || recv(p[0], &c, 1, 0) != 1 || c != 'v') ++broken;
        if (close(p[0]) != 0) ++broken;
        if (close(p[1]) != 0) ++broken;
      }
    });
  int refusals = 0;
  for (int i = 0; i < 1000; ++i) {
    const std::string url = (i % 2 ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(refused) + "/x";
    refusals += GetResource(url, "", 0, -1, -1) == kErrorConnect;
  }
  done = true;
  for (auto& v : victims) v.join();
  close(holder);
  EXPECT_EQ(refusals, 1000);
  EXPECT_EQ(broken, 0) << "descriptors of other threads were closed under them";
}

TEST_F(DownloadTest, PeerThatResetsMidUploadIsASendErrorNotASignal) {
  peers::Child bad({"python3", TestFile("bad_server.py")}, true);
  int port = 0;
  std::sscanf(bad.readLine().c_str(), "port %d", &port);
  const std::string body(32 << 20, 'u');
  const std::string request = "POST /slam HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n\r\n" + body;
  const int state = WaitJob(StartUrlPoster("http://127.0.0.1:" + std::to_string(port) + "/slam", request, ""));
  EXPECT_TRUE(state == kErrorSend || state == kErrorRecv) << state;
}

}  // namespace
