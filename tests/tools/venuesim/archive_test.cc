#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "venue_test_util.h"
#include "venuesim/floor_bitmap.h"
#include "venuesim/generator.h"
#include "venuesim/gp_xml.h"
#include "venuesim/measure_xml.h"
#include "venuesim/propagation.h"
#include "venuesim/venue_archive.h"
#include "venuesim/xml_text.h"

using namespace venuesim;
using venuesim_test::FileBytes;
using venuesim_test::ReadArchive;
using venuesim_test::SmallSpec;
using venuesim_test::TempDir;

namespace {

}  // namespace

TEST(VenueArchiveTest, SameSeedGivesByteIdenticalArchives) {
  TempDir dir;
  Venue v1, v2;
  std::string error;
  ASSERT_EQ(GenerateVenue(SmallSpec(9), &v1, &error), kOk) << error;
  ASSERT_EQ(GenerateVenue(SmallSpec(9), &v2, &error), kOk) << error;
  ASSERT_EQ(WriteVenueArchive(v1, dir.file("a.mvz"), &error), kOk) << error;
  ASSERT_EQ(WriteVenueArchive(v2, dir.file("b.mvz"), &error), kOk) << error;
  const std::string a = FileBytes(dir.file("a.mvz"));
  EXPECT_FALSE(a.empty());
  EXPECT_TRUE(a == FileBytes(dir.file("b.mvz")));
  // Writing over an existing archive replaces it whole.
  ASSERT_EQ(WriteVenueArchive(v1, dir.file("b.mvz"), &error), kOk) << error;
  EXPECT_TRUE(a == FileBytes(dir.file("b.mvz")));
  const auto members = ReadArchive(dir.file("a.mvz"));
  for (const char* name : {"config.xml", "navigation.xml", "beacons.xml", "measure.xml", "gp.xml", "floor1.bmp",
                           "floor1.png", "floor2.bmp", "floor2.png", "graph.xml", "barriers.xml", "zones.xml",
                           "version.txt"})
    EXPECT_EQ(members.count(name), 1u) << name;
  EXPECT_EQ(members.size(), 13u);
}

// A disk that fills up half-way through the archive: the write fails with an
// error (simulated with a file-size limit in a child process).
TEST(VenueArchiveTest, FullDiskIsReportedNotCrashed) {
  TempDir dir;
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(SmallSpec(), &v, &error), kOk) << error;
  const std::string path = dir.file("full.mvz");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {16 * 1024, 16 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string message;
    const int code = WriteVenueArchive(v, path, &message);
    _exit(code == kWriteError && !message.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Nothing is left behind, not even a partial temporary file.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}
