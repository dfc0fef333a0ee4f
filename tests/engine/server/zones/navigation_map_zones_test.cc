#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "server/zip_archive.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

const char* kConfig =
    "<Location id=\"8\" name=\"Depot\"><Sublocation id=\"3\" name=\"G\">"
    "<Metrics width_meters=\"20\" height_meters=\"10\"/></Sublocation></Location>";
const char* kZones =
    "<Location id=\"8\"><Sublocation id=\"3\"><Zone id=\"2\" name=\"Dock\">"
    "<Polygon><Vertex kx=\"0\" ky=\"0\"/><Vertex kx=\"0.5\" ky=\"0\"/><Vertex kx=\"0.5\" ky=\"1\"/>"
    "</Polygon></Zone></Sublocation></Location>";

class ArchiveDir {
 public:
  ArchiveDir() {
    char tmpl[] = "/tmp/marvisto_zones_XXXXXX";
    const char* made = mkdtemp(tmpl);
    path_ = made ? made : "";
  }
  ~ArchiveDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string write(const std::vector<std::pair<std::string, std::string>>& members) {
    const std::string file = path_ + "/map" + std::to_string(count_++) + ".zip";
    zip* archive = ZipCreate(file.c_str());
    EXPECT_NE(archive, nullptr);
    for (const auto& [name, text] : members)
      EXPECT_EQ(ZipWriteBuffer(archive, name.c_str(), text.data(), static_cast<int>(text.size())), 0);
    EXPECT_EQ(ZipClose(archive), 0);
    return file;
  }

 private:
  std::string path_;
  int count_ = 0;
};

TEST(NavigationMapZones, LoadsZonesFromTheArchive) {
  ArchiveDir dir;
  NavigationMap map;
  ASSERT_EQ(map.setPathToNavArchive(dir.write({{"config.xml", kConfig}, {"zones.xml", kZones}}).c_str()), 0);
  std::string error;
  EXPECT_EQ(map.parseZones(&error), 0);
  EXPECT_EQ(map.getZones().getLocation(), 8);
  const Zone dock = map.getZones().getZone(3, 2);
  EXPECT_EQ(dock.name, "Dock");
  ASSERT_EQ(dock.points.size(), 3u);
  EXPECT_DOUBLE_EQ(dock.points[2].x, 10.0);
  EXPECT_DOUBLE_EQ(dock.points[2].y, 10.0);
  EXPECT_EQ(map.getZones().getZones(3, 9, 5).size(), 1u);

  // Member names follow the parameters string.
  NavigationMap renamed;
  renamed.setPathToNavArchive(
      dir.write({{"c.xml", kConfig}, {"z.xml", kZones}}).c_str());
  renamed.setParameters("configFile=c.xml;zonesFile=z.xml;");
  EXPECT_EQ(renamed.parseZones(nullptr), 0);
  EXPECT_EQ(renamed.getZones().getZone(3, 2).id, 2);
}

TEST(NavigationMapZones, MissingMembersAndBadZonesText) {
  ArchiveDir dir;
  // A missing member is the archive reader's 25; the zone map is left alone.
  NavigationMap map;
  ZoneMap before;
  before.setLocation(99);
  map.setZones(before);
  map.setPathToNavArchive(dir.write({{"config.xml", kConfig}}).c_str());
  EXPECT_EQ(map.parseZones(nullptr), 25);
  EXPECT_EQ(map.getZones().getLocation(), 99);
  map.setPathToNavArchive(dir.write({{"zones.xml", kZones}}).c_str());
  EXPECT_EQ(map.parseZones(nullptr), 25);
  map.setPathToNavArchive((dir.write({}) + ".missing").c_str());
  EXPECT_EQ(map.parseZones(nullptr), 25);

  // A zones member that does not read still lets the map load: 0, an empty
  // zone map and the reason in the error text.
  map.setPathToNavArchive(
      dir.write({{"config.xml", kConfig}, {"zones.xml", "<Location><Sublocation id=\"4\"/></Location>"}})
          .c_str());
  std::string error;
  EXPECT_EQ(map.parseZones(&error), 0);
  EXPECT_TRUE(map.getZones().isEmpty());
  EXPECT_EQ(error, "zones.xml: unknown sublocation: 4!");
}

}  // namespace
