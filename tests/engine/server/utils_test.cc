#include "server/utils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// Points the process-wide logger at a fresh file for one test and restores it.
class LoggerFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/marvisto_log_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
    _Logger.setLogFile(path_);
    _Logger.setOutStream(nullptr);
    _Logger.setDebugLevel(1);
  }
  void TearDown() override {
    _Logger.setLogFile("");
    _Logger.setOutStream(stdout);
    _Logger.setDebugLevel(1);
    std::remove(path_.c_str());
  }
  std::string contents() const { return (std::stringstream() << std::ifstream(path_).rdbuf()).str(); }
  std::string path_;
};

TEST_F(LoggerFile, ManyThreadsWriteWholeLines) {
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) MV_LOG(1, "thread %d line %d end\n", t, i);
    });
  for (auto& th : threads) th.join();
  std::istringstream in(contents());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    EXPECT_EQ(line.rfind("[", 0), 0u) << line;
    EXPECT_NE(line.find(" end"), std::string::npos) << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST(Time, UnixTimeRangeAndRoundTrip) {
  EXPECT_EQ(GetUnixTime(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(GetUnixTime(2000, 2, 29, 0, 0, 0), 951782400);
  // Past the 32-bit limit of 2038-01-19.
  EXPECT_EQ(GetUnixTime(2038, 1, 19, 3, 14, 8), 2147483648LL);
  EXPECT_EQ(GetUnixTime(2099, 12, 31, 23, 59, 59), 4102444799LL);
  EXPECT_EQ(GetUnixTime(2100, 1, 1, 0, 0, 0), -1);
  for (auto f : {std::vector<int>{2020, 0, 1, 0, 0, 0}, {2020, 1, 32, 0, 0, 0}, {2020, 1, 1, 24, 0, 0},
                 {2020, 1, 1, 0, -1, 0}, {2020, 1, 1, 0, 0, 60}})
    EXPECT_EQ(GetUnixTime(f[0], f[1], f[2], f[3], f[4], f[5]), -1) << f[1] << f[2] << f[3];
  // 31 February counts on into March.
  EXPECT_EQ(GetUnixTime(2021, 2, 31, 0, 0, 0), GetUnixTime(2021, 3, 3, 0, 0, 0));

  // Every day of the valid range splits back into the fields it was made from
  // (the fixed points above anchor the conversion itself).
  int y, mo, d, h, mi, s;
  for (int64_t t = 0; t <= 4102444799LL; t += 86400 - 17) {
    GetLocalTime(t, &y, &mo, &d, &h, &mi, &s);
    ASSERT_EQ(GetUnixTime(y, mo, d, h, mi, s), t);
  }
  EXPECT_GT(GetCurrentTimeMillis(), 1700000000000LL);
}

}  // namespace

namespace {

// The one escaper every XML writer uses: what it writes reads back as written,
// in attributes too, where a reader turns raw white space into blanks.
TEST(XmlEscapeTest, MarkupAndWhiteSpaceBecomeReferences) {
  const struct {
    std::string in;
    const char* out;
  } cases[] = {
      {"plain F1-B001", "plain F1-B001"},
      {"A & B <c> \"d\" 'e'", "A &amp; B &lt;c&gt; &quot;d&quot; &apos;e&apos;"},
      {"tab\there\nline\r\nend", "tab&#9;here&#10;line&#13;&#10;end"},
      {std::string("cut\0here", 8), "cut"},
      {"caf\xC3\xA9 \x01", "caf\xC3\xA9 \x01"},
  };
  for (const auto& c : cases) EXPECT_EQ(XmlEscape(c.in), c.out) << c.in;
  EXPECT_EQ(XmlEscape(static_cast<const char*>(nullptr)), "");
}

}  // namespace
