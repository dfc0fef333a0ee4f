#include <algorithm>

#include "content_fixture.h"

namespace {

using content_test::ContentTest;
using content_test::TestFile;
using content_test::WaitJob;

class TlsTest : public ContentTest {};

std::string Upload(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// Peers that must be refused after the handshake (or during it), with
// nothing of the request sent to them; and one good peer.
TEST_F(TlsTest, UntrustedPeersAreRefusedBeforeAnythingIsSent) {
  struct Case {
    const char* cert;
    std::vector<std::string> extra;
    int state;
  } cases[] = {
      {"wrong", {}, kErrorVerify},
      {"self", {}, kErrorVerify},
      {"expired", {}, kErrorVerify},
      {"server", {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}, kErrorHandshake},
      {"server", {"-www"}, 100},  // a reply framed by the close, ended with close notify
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cert);
    const int port = peers::freePort();
    std::vector<std::string> argv = {"openssl", "s_server", "-ign_eof", "-accept", std::to_string(port), "-cert",
                                     certs() + "/" + c.cert + ".pem", "-key", certs() + "/" + c.cert + ".key"};
    argv.insert(argv.end(), c.extra.begin(), c.extra.end());
    peers::Child server(argv, true);
    std::string line;
    while (!(line = server.readLine()).empty() && line != "ACCEPT") {
    }
    ASSERT_EQ(line, "ACCEPT");
    EXPECT_EQ(WaitJob(StartUrlLoader("https://127.0.0.1:" + std::to_string(port) + "/x", "")), c.state);
    for (std::string line; c.state != 100 && !(line = server.readLine(300)).empty();)
      EXPECT_EQ(line.find("GET"), std::string::npos) << line;
  }
}

TEST_F(TlsTest, PeerStallingMidRecordTimesOutOrStops) {
  peers::TempDir root;
  peers::writeFile(root.file("big.bin"), std::string(4 << 20, 'b'));
  peers::Nginx nginx({root.path(), certs()});
  ASSERT_TRUE(nginx.ok());
  peers::Child proxy({"python3", TestFile("bad_server.py"), "--upstream", std::to_string(nginx.tlsPort())},
                     true);
  int port = 0;
  std::sscanf(proxy.readLine().c_str(), "port %d", &port);
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/big.bin";
  EXPECT_EQ(WaitJob(StartUrlLoader(url, "")), kErrorRecvTimeout);
  const int id = StartUrlLoader(url, "");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  StopLocationLoader(id);
  EXPECT_EQ(WaitJob(id, 500), -1) << "stop seen while the record is incomplete";
}

// The scripted peer over TLS: a reply framed only by the connection's end is
// whole only when the end carries the close notification, and a peer that
// resets mid-upload is a write (or read) error, never a signal to the host.
TEST_F(TlsTest, EndsWithoutCloseNotifyAndResetsMidUploadFail) {
  peers::Child bad({"python3", TestFile("bad_server.py"), "--tls", certs() + "/server.pem",
                    certs() + "/server.key"},
                   true);
  int port = 0;
  std::sscanf(bad.readLine().c_str(), "port %d", &port);
  ASSERT_GT(port, 0);
  const std::string base = "https://127.0.0.1:" + std::to_string(port);
  const std::string body(32 << 20, 'u');
  struct Case {
    const char* what;
    int id;
    std::vector<int> states;
  } cases[] = {
      {"length-less reply, TCP end only", StartUrlLoader(base + "/cut", ""), {kErrorReplyTruncated}},
      {"reset while the request is sent", StartUrlPoster(base + "/slam", Upload("/slam", body), ""),
       {kErrorSslWrite, kErrorSslRead}},
      {"end, then reset, while the request is sent", StartUrlPoster(base + "/hangup", Upload("/hangup", body), ""),
       {kErrorSslWrite, kErrorSslRead}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int state = WaitJob(c.id);
    EXPECT_NE(std::find(c.states.begin(), c.states.end(), state), c.states.end()) << state;
    EXPECT_EQ(GetLoaderResponse(c.id), "");
  }
}

TEST_F(TlsTest, HttpUrlGivenToTheTlsGetGoesPlain) {
  peers::TempDir root, out;
  peers::writeFile(root.file("a.bin"), "plain bytes");
  peers::Nginx nginx({root.path(), certs()});
  ASSERT_TRUE(nginx.ok());
  EXPECT_EQ(GetResourceSsl("http://127.0.0.1:" + std::to_string(nginx.port()) + "/a.bin", out.file("a"), 0, -1, -1),
            0);
  EXPECT_EQ(peers::readFile(out.file("a")), "plain bytes");
}

}  // namespace
