#include <sys/stat.h>

#include <filesystem>

#include "content_fixture.h"
#include "server/zip_archive.h"
#include "tools/venuesim/venue_test_util.h"
#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"

namespace {

using content_test::ContentTest;
using content_test::Server;
using content_test::TestFile;
using content_test::WaitJob;
using peers::readFile;

// One generated venue (location 7001, version 1) in a directory the content
// server reads.
struct Venues {
  peers::TempDir dir;
  std::string archive;
  static Venues& get() {
    static Venues v;
    return v;
  }

 private:
  Venues() {
    venuesim::VenueSpec setup = venuesim_test::SmallSpec(3);
    setup.floors = 1;
    venuesim::Venue venue;
    std::string error;
    if (venuesim::GenerateVenue(setup, &venue, &error) == 0)
      venuesim::WriteVenueArchive(venue, dir.file("7001.mvz"), &error);
    archive = readFile(dir.file("7001.mvz"));
  }
};

std::string ArchiveWithVersion(const std::string& path, const std::string& version) {
  zip* z = ZipCreate(path.c_str());
  ZipWriteBuffer(z, "version.txt", version.data(), static_cast<int>(version.size()));
  ZipClose(z);
  return readFile(path);
}

int ArchiveRequests(const Server& s) {
  int n = 0;
  for (const auto& r : s.records()) n += r["locationId"] == 7001 && r["method"] == "GET";
  return n;
}

class LoaderTest : public ContentTest {
 protected:
  void SetUp() override {
    ContentTest::SetUp();
    ASSERT_FALSE(Venues::get().archive.empty());
  }
  peers::TempDir out_;
};

TEST_F(LoaderTest, DownloadsOnlyWhenTheVersionDiffersOrForced) {
  Server server(certs(), {}, Venues::get().dir.path());
  const std::string& archive = Venues::get().archive;
  struct Case {
    bool tls;
    const char* location;
    const char* localVersion;  // nullptr: no local archive
    bool forced;
    int state;
    bool downloads;
  } cases[] = {
      {false, "#7001", nullptr, false, 100, true},
      {true, "Synthetic venue", nullptr, false, 100, true},
      {false, "#7001", "1", false, 100, false},
      {true, "#7001", "1", true, 100, true},
      {false, "#7001", "1\n", false, 100, true},  // not a clean version: always fetched
      {false, "#7001", "2", false, 100, true},
      {false, "7001", nullptr, false, kErrorLocationNotFound, false},
      {false, "#7002", "1", false, kErrorLocationNotFound, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.location << " tls " << c.tls);
    const std::string target = out_.file("loc/map.mvz");
    std::remove(target.c_str());
    mkdir(out_.file("loc").c_str(), 0755);
    const std::string before = c.localVersion ? ArchiveWithVersion(target, c.localVersion) : "";
    const int requests = ArchiveRequests(server);
    const std::string base = server.url(c.tls, "");
    EXPECT_EQ(WaitJob(StartLocationLoader(base, "ABC", c.location, target, c.forced)), c.state);
    EXPECT_EQ(ArchiveRequests(server) - requests, c.downloads ? 1 : 0);
    EXPECT_TRUE(readFile(target) == (c.downloads ? archive : before));
  }
}

TEST_F(LoaderTest, FailedDownloadsLeaveTheOldArchive) {
  struct Case {
    std::vector<std::string> flags;
    int state;
  } cases[] = {
      {{"--cut-short"}, kErrorReplyTruncated},
      {{"--silent"}, kErrorRecvTimeout},
      {{"--status", "500"}, -500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags[0]);
    Server server(certs(), c.flags, Venues::get().dir.path());
    const std::string target = out_.file("map.mvz");
    const std::string before = ArchiveWithVersion(target, "2");
    EXPECT_EQ(WaitJob(StartLocationLoader(server.url(false, ""), "ABC", "#7001", target, false)), c.state);
    EXPECT_TRUE(readFile(target) == before);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(out_.path())) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"map.mvz"}) << "no part file stays";
  }
}

TEST_F(LoaderTest, UserHashIsEncodedOrRefused) {
  Server server(certs(), {"--gzip-list"}, Venues::get().dir.path());
  struct Case {
    std::string hash;
    int state;
  } cases[] = {
      {"a&b=c d", 100},
      {"x\r\nX-Injected: 1", kErrorBadValue},
      {std::string(21, 'h'), kErrorBadValue},
  };
  for (const Case& c : cases) {
    const int before = static_cast<int>(server.records().size());
    EXPECT_EQ(WaitJob(StartLocationLoader(server.url(false, ""), c.hash, "#7001", out_.file("u.mvz"), false)),
              c.state);
    const auto records = server.records();
    ASSERT_EQ(static_cast<int>(records.size()) - before, c.state == 100 ? 2 : 0);
    if (c.state == 100) {
      EXPECT_EQ(records.back()["userHash"], c.hash);
    }
  }
}

TEST_F(LoaderTest, UploadArrivesWholeAndForcedUploadDownloadsAgain) {
  Server server(certs(), {}, Venues::get().dir.path());
  const std::string file = out_.file("mine.mvz");
  const std::string mine = ArchiveWithVersion(file, "5");
  for (bool tls : {false, true}) {
    const int id = StartLocationUploader(server.url(tls, ""), "ABC", "#7001", file, tls);
    EXPECT_EQ(WaitJob(id), 100);
    const auto records = server.records();
    auto upload = std::find_if(records.rbegin(), records.rend(), [](auto& r) { return r["method"] == "POST"; });
    ASSERT_NE(upload, records.rend());
    EXPECT_EQ((*upload)["status"], 200);
    EXPECT_EQ((*upload)["sha256"], content_test::Sha256(mine));
  }
  EXPECT_TRUE(readFile(file) == mine) << "forced: the server's copy came back";
}

// Python's email parser reads our multipart upload byte for byte, behind
// nginx over http and https.
TEST_F(LoaderTest, MultipartUploadParsesExactly) {
  const std::string file = out_.file("dir/odd \"name.bin");
  mkdir(out_.file("dir").c_str(), 0755);
  std::string data;
  for (int i = 0; i < 300000; ++i) data += static_cast<char>((i * 7919u) >> 3);
  data += "\r\n--iuJiWoa6hiGud8hiih8duGih6aoWiJui--\r\n%FILENAME_AIM1AHW6TfbPygw88wgyPbfT6WHA1MIA";
  const std::string good = out_.file("dir/plain.bin");
  peers::writeFile(good, data);
  peers::writeFile(file, data);
  peers::Child checker({"python3", TestFile("bad_server.py"), "--expect", good}, true);
  int port = 0;
  std::sscanf(checker.readLine().c_str(), "port %d", &port);
  peers::TempDir root;
  peers::Nginx nginx({root.path(), certs(), 0, true, port});
  ASSERT_TRUE(nginx.ok());
  for (int p : {nginx.port(), nginx.tlsPort()}) {
    const std::string url = (p == nginx.port() ? "http" : "https") + std::string("://127.0.0.1:") +
                            std::to_string(p) + "/upload/multipart";
    EXPECT_EQ(PostResource(url, good, 0, -1, -1), 0);
    EXPECT_EQ(PostResource(url, file, 0, -1, -1), kErrorBadValue) << "a quote would end the file name";
  }
}

}  // namespace
