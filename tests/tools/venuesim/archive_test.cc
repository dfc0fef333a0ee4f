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

uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 | static_cast<uint8_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

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

TEST(VenueArchiveTest, UnwritablePlacesReportAnErrorAndLeaveFilesAlone) {
  TempDir dir;
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(SmallSpec(), &v, &error), kOk) << error;
  EXPECT_EQ(WriteVenueArchive(v, dir.file("missing/dir/map.mvz"), &error), kWriteError);
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
  EXPECT_EQ(WriteVenueArchive(v, dir.path(), &error), kWriteError);  // a directory
  EXPECT_EQ(WriteVenueArchive(v, "", &error), kWriteError);
  EXPECT_EQ(WriteVenueArchive(Venue(), dir.file("empty.mvz"), &error), kEncodeError);
  // A file that is not an archive is neither read nor damaged by a failed write.
  {
    std::ofstream(dir.file("notes.txt")) << "keep me";
  }
  EXPECT_EQ(WriteVenueArchive(v, dir.file("notes.txt/map.mvz"), &error), kWriteError);
  EXPECT_EQ(FileBytes(dir.file("notes.txt")), "keep me");
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

// Every XML member parses and has the root the loader expects, with the
// location id; the floors appear in each member.
TEST(VenueArchiveTest, MembersAreWellFormedWithLocationRoots) {
  VenueSpec s = SmallSpec();
  s.floors = 3;
  s.locationName = "Caf\xC3\xA9 <&> \"quoted\"";
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
  std::vector<ArchiveMember> members;
  ASSERT_EQ(BuildArchiveMembers(v, &members, &error), kOk) << error;
  int xml = 0;
  for (const ArchiveMember& m : members) {
    if (m.name.size() < 4 || m.name.compare(m.name.size() - 4, 4, ".xml") != 0) continue;
    ++xml;
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(m.data.c_str(), m.data.size()), tinyxml2::XML_SUCCESS) << m.name;
    const tinyxml2::XMLElement* root = doc.RootElement();
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->Name(), "Location") << m.name;
    EXPECT_EQ(root->IntAttribute("id"), s.locationId) << m.name;
    int floors = 0;
    for (const auto* e = root->FirstChildElement("Sublocation"); e; e = e->NextSiblingElement("Sublocation")) {
      EXPECT_EQ(e->IntAttribute("id"), ++floors) << m.name;
    }
    EXPECT_EQ(floors, 3) << m.name;
    if (m.name == "config.xml") {
      EXPECT_STREQ(root->Attribute("name"), s.locationName.c_str());
    }
  }
  EXPECT_EQ(xml, 8);
  EXPECT_EQ(members.back().name, "version.txt");
  EXPECT_EQ(members.back().data, "1");
  for (const ArchiveMember& m : members)
    if (m.name.find(".png") != std::string::npos) {
      EXPECT_EQ(m.data.substr(0, 8), "\x89PNG\r\n\x1a\n");
    }
}

// The bitmap is read the engine's way: pixels from byte 62, rows from y = 0,
// most significant bit leftmost, 1 walkable.
TEST(VenueArchiveTest, BitmapBitsMatchTheWalkableGrid) {
  WalkableGrid grid(3.3, 1.0, 0.1);  // 33 x 10 pixels: rows of 8 bytes
  grid.setPixel(0, 0, false);
  grid.setPixel(32, 9, false);
  grid.setPixel(9, 3, false);
  const std::string bmp = EncodeFloorBitmap(grid);
  ASSERT_EQ(bmp.size(), 62u + 8u * 10u);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(Le32(bmp, 18), 33u);
  EXPECT_EQ(Le32(bmp, 22), 10u);
  EXPECT_EQ(bmp[28], 1);     // one bit per pixel
  EXPECT_EQ(Le32(bmp, 30), 0u);  // uncompressed
  EXPECT_EQ(BitmapStride(10), 4);
  EXPECT_EQ(BitmapStride(32), 4);
  EXPECT_EQ(BitmapStride(33), 8);
  auto bit = [&](int c, int r) { return (static_cast<uint8_t>(bmp[62 + r * 8 + c / 8]) >> (7 - c % 8)) & 1; };
  for (int r = 0; r < 10; ++r)
    for (int c = 0; c < 33; ++c) EXPECT_EQ(bit(c, r), grid.pixelWalkable(c, r) ? 1 : 0) << c << "," << r;
  EXPECT_EQ(bit(0, 0), 0);
  EXPECT_EQ(bit(9, 3), 0);
  EXPECT_FALSE(grid.walkable(0.95, 0.35));
  EXPECT_TRUE(grid.walkable(1.05, 0.35));
}

// On a clean venue (no walls' loss, shadowing or noise) the fitted mean model
// recovers the beacons' own law in the engine's form.
TEST(VenueArchiveTest, GaussianProcessFitRecoversTheModel) {
  VenueSpec s = SmallSpec();
  s.floors = 1;
  s.shadowSigma = 0;
  s.temporalSigma = 0;
  s.wallLoss = 0;
  s.beaconBJitter = 0;
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
  const auto records = GpRecordsForFloor(v, 0);
  ASSERT_EQ(records.size(), v.floors[0].beacons.size());
  for (const auto& [key, r] : records) {
    const VenueBeacon* b = nullptr;
    for (const VenueBeacon& x : v.floors[0].beacons)
      if (x.key() == key) b = &x;
    ASSERT_NE(b, nullptr);
    EXPECT_NEAR(r.B, EngineSlope(s.txB), 0.15) << key;  // whole-dBm rounding blurs it a little
    EXPECT_NEAR(r.A, b->A, 1.5) << key;
    EXPECT_NEAR(r.xAp, b->x, 1e-4);
    EXPECT_NE(r.sf, 0.0);  // 0 would mark the record as empty
    EXPECT_NEAR(r.ell, std::log(s.shadowCell), 1e-4);
  }
  s.meanModel = kMeanConst;
  ASSERT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
  const std::string gp = GpXml(v);
  EXPECT_NE(gp.find("<Const "), std::string::npos);
  EXPECT_EQ(gp.find("LogDistance"), std::string::npos);
}
