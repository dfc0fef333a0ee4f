#include <signal.h>

#include "content_fixture.h"

namespace {

using content_test::ContentTest;
using content_test::Server;
using content_test::WaitJob;

// A message post in the queue's multipart form.
std::string MessagePost(const std::string& host, int packet, const std::string& xml) {
  const std::string b = "--iuJiWoa6hiGud8hi\r\nContent-Disposition: form-data; name=\"";
  const std::string body = b + "userHash\"\r\n\r\nABC\r\n" + b + "packetNumber\"\r\n\r\n" + std::to_string(packet) +
                           "\r\n" + b + "localTime\"\r\n\r\n2026-01-02 03:04:05\r\n" + b + "xml\"\r\n\r\n" + xml +
                           "\r\n--iuJiWoa6hiGud8hi--\r\n";
  return "POST /xmlParserInsert HTTP/1.1\r\nHost: " + host +
         "\r\nConnection: close\r\nContent-Type: multipart/form-data; boundary=iuJiWoa6hiGud8hi\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

class PosterTest : public ContentTest {};

TEST_F(PosterTest, MessagePostsReachTheServerAndFailuresKeepTheirCode) {
  struct Case {
    bool tls;
    std::vector<std::string> flags;
    int state;
    bool localhost = false;  // may resolve to ::1 first
  } cases[] = {
      {false, {}, 100},
      {true, {}, 100, true},
      {false, {"--fail-first-posts", "5"}, -500, true},
      {true, {"--status", "503"}, -503},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "tls " << c.tls << " state " << c.state);
    Server server(certs(), c.flags);
    ASSERT_GT(server.port, 0);
    const std::string xml = "<message packetNumber=\"7\">\n<a/>\n</message>\n";
    std::string url = server.url(c.tls, "/xmlParserInsert");
    if (c.localhost) url.replace(url.find("127.0.0.1"), 9, "localhost");
    const int id = StartUrlPoster(url, MessagePost("127.0.0.1", 7, xml), "");
    ASSERT_GT(id, 0);
    EXPECT_EQ(WaitJob(id), c.state);
    EXPECT_EQ(GetLoaderResponse(id), c.state == 100 ? "OK\n" : "failed\n");
    const auto records = server.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["packet"], 7);
    EXPECT_EQ(records[0]["userHash"], "ABC");
    EXPECT_EQ(records[0]["xmlBytes"], xml.size());
    StopLocationLoader(id);
    EXPECT_EQ(CheckLocationLoader(id), -1) << "a stopped finished job keeps no record";
  }
}

TEST_F(PosterTest, RefusesBadInputBeforeSending) {
  Server server(certs());
  struct Case {
    std::string url, request;
    int state;
  } cases[] = {
      {"Http://127.0.0.1:1/x", "GET / HTTP/1.1\r\n\r\n", kErrorServerUrl},
      {server.url(false, "/x"), "", kErrorEmptyRequest},
      {server.url(true, "/x"), "", kErrorEmptySslRequest},
      {"http://127.0.0.1:1/x", "GET / HTTP/1.1\r\n\r\n", kErrorConnect},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(WaitJob(StartUrlPoster(c.url, c.request, "")), c.state);
  }
  EXPECT_TRUE(server.records().empty());
}

TEST_F(PosterTest, StopEndsAPostTheServerNeverAnswers) {
  Server server(certs(), {"--never-answer-posts"});
  for (bool tls : {false, true}) {
    const int id = StartUrlPoster(server.url(tls, "/xmlParserInsert"), MessagePost("h", 1, "<m/>\n"), "");
    // The first byte of a reply may take as long as the caller allows.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(CheckLocationLoader(id), 99) << "request sent, still waiting";
    StopLocationLoader(id);
    EXPECT_EQ(WaitJob(id, 3000), -1) << "the stopped job erased its record";
  }
  EXPECT_EQ(server.records(2).size(), 2u);
}

}  // namespace
