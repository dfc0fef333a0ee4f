#include <sys/stat.h>

#include <random>

#include "content_fixture.h"

namespace {

using content_test::ContentTest;
using content_test::WaitJob;
using peers::ReadFile;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class DownloadTest : public ContentTest {
 protected:
  void SetUp() override {
    ContentTest::SetUp();
    peers::WriteFile(root_.file("big.bin"), RandomBytes(3 << 20, 1));
    std::string text;
    for (int i = 0; i < 40000; ++i) text += "<line n=\"" + std::to_string(i) + "\"/>\n";
    peers::WriteFile(root_.file("list.xml"), text);
  }
  peers::TempDir root_, out_;
};

// nginx compresses .xml (gzip, chunked) and sends .bin with a length.
TEST_F(DownloadTest, NginxFilesArriveWholeOverHttpAndHttps) {
  peers::Nginx nginx(root_.path(), certs(), 0, true);
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
      EXPECT_TRUE(ReadFile(target) == ReadFile(root_.file(name)));
      EXPECT_TRUE(GetLoaderResponse(id) == ReadFile(root_.file(name)));
      EXPECT_FALSE(Exists(target + ".part"));
    }
  }
}

TEST_F(DownloadTest, ProgressRisesToHundredAndStopLeavesTheOldFile) {
  peers::Nginx nginx(root_.path(), certs(), 2 << 20, true);  // 1.5 s for big.bin
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

    peers::WriteFile(out_.file("old.bin"), "old");
    id = StartUrlLoader(url, out_.file("old.bin"));
    while (CheckLocationLoader(id) < 30) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    StopLocationLoader(id);
    EXPECT_EQ(WaitJob(id, 1500), -1) << "stopped job erased within the poll interval";
    EXPECT_TRUE(ReadFile(out_.file("old.bin")) == "old");
    EXPECT_FALSE(Exists(out_.file("old.bin.part")));
  }
}

TEST_F(DownloadTest, MissingFileGivesMinusStatusWithItsBody) {
  peers::Nginx nginx(root_.path(), certs());
  ASSERT_TRUE(nginx.ok());
  const int id = StartUrlLoader("http://127.0.0.1:" + std::to_string(nginx.port()) + "/none", out_.file("none"));
  EXPECT_EQ(WaitJob(id), -404);
  EXPECT_NE(GetLoaderResponse(id).find("404 Not Found"), std::string::npos);
  EXPECT_FALSE(Exists(out_.file("none")));
  EXPECT_FALSE(Exists(out_.file("none.part")));
}

// Replies no good server sends: each gives its code, the old file stays.
TEST_F(DownloadTest, BadRepliesFailAndKeepTheOldFile) {
  peers::Child bad({"python3", peers::TestFile("bad_server.py")}, true);
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
    peers::WriteFile(target, "old archive");
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitJob(StartUrlLoader("http://127.0.0.1:" + std::to_string(port) + c.path, target)), c.state);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_EQ(ReadFile(target), c.state == 100 ? "slow!" : "old archive");
    EXPECT_FALSE(Exists(target + ".part"));
  }
  SetMaxReplyBytes(kMaxReplyBytes);
}

TEST_F(DownloadTest, PeerThatResetsMidUploadIsASendErrorNotASignal) {
  peers::Child bad({"python3", peers::TestFile("bad_server.py")}, true);
  int port = 0;
  std::sscanf(bad.readLine().c_str(), "port %d", &port);
  const std::string body(32 << 20, 'u');
  const std::string request = "POST /slam HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n\r\n" + body;
  const int state = WaitJob(StartUrlPoster("http://127.0.0.1:" + std::to_string(port) + "/slam", request, ""));
  EXPECT_TRUE(state == kErrorSend || state == kErrorRecv) << state;
}

}  // namespace
