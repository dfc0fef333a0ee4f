#include "wifipos/navigation_map/navigation_map.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "map_fixtures.h"

namespace {

using mapfx::Members;

TEST(NavigationFilesTest, ParametersStringOverridesMemberNames) {
  {
    NavigationMap map;
    EXPECT_EQ(map.setParameters("configFile=a.xml;graphFile=g.xml"), 0);
    EXPECT_EQ(map.getFiles().configFile, "a.xml");
    EXPECT_EQ(map.getFiles().graphFile, "graph.xml");  // not ended by ';'
  }
  {
    NavigationMap map;
    map.setParameters(" configFile = a.xml ;\n\tgraph File=g .xml;");
    EXPECT_EQ(map.getFiles().configFile, "a.xml");
    EXPECT_EQ(map.getFiles().graphFile, "g.xml");  // blanks are dropped everywhere
  }
  {
    NavigationMap map;
    map.setParameters("configFile=a=b.xml;beaconsFile;unknownFile=u.xml;zonesFile=z.xml;");
    EXPECT_EQ(map.getFiles().configFile, "config.xml");
    EXPECT_EQ(map.getFiles().beaconsFile, "beacons.xml");
    EXPECT_EQ(map.getFiles().zonesFile, "z.xml");  // the bad pairs do not spoil later ones
  }
  {
    NavigationMap map;
    map.setParameters(
        "barriersFile=1;navigationFile=2;trackingFile=3;measuringFile=4;beaconsFile=5;"
        "locatorsFile=6;gpFile=7;versionFile=8;ConfigFile=9;configFile=;");
    const NavigationFiles& f = map.getFiles();
    EXPECT_EQ(f.barriersFile + f.navigationFile + f.trackingFile + f.measuringFile +
                  f.beaconsFile + f.locatorsFile + f.gpFile + f.versionFile,
              "12345678");
    EXPECT_EQ(f.configFile, "");  // keys are case-sensitive; an empty value is a value
  }
  NavigationMap map;
  EXPECT_EQ(map.setParameters(nullptr), 0);
  EXPECT_EQ(map.setParameters(""), 0);
  EXPECT_EQ(map.getFiles().configFile, "config.xml");
}

class ArchiveTest : public ::testing::Test {
 protected:
  void write(const Members& members) { ASSERT_TRUE(mapfx::writeArchive(path_, members)); }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
};

TEST_F(ArchiveTest, MembersAreReadWholeAndTerminated) {
  const std::string binary("a\0b\xff", 4);
  write({{"sub/v.txt", "17 floors"}, {"bin", binary}, {"empty", ""}});
  NavigationMap map;
  char* data = nullptr;
  int size = 0;
  ASSERT_EQ(map.getDataFromZip(path_.c_str(), "v.txt", data, &size), 0);
  EXPECT_EQ(size, 9);
  EXPECT_STREQ(data, "17 floors");
  std::free(data);
  ASSERT_EQ(map.getDataFromZip(path_.c_str(), "bin", data, nullptr), 0);
  EXPECT_EQ(std::memcmp(data, binary.data(), 4), 0);
  EXPECT_EQ(data[4], '\0');
  std::free(data);

  mapfx::LogCapture log;
  data = nullptr;
  size = 7;
  EXPECT_EQ(map.getDataFromZip(path_.c_str(), "missing", data, &size), 25);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(map.getDataFromZip(path_.c_str(), "empty", data, &size), 25);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(log.contains("file empty is bad or not exist in zip\n"));
  EXPECT_EQ(map.getDataFromZip(dir_.file("none.mvz").c_str(), "v.txt", data, &size), 25);
  EXPECT_TRUE(log.contains("Can't open zip archive " + dir_.file("none.mvz") + "!\n"));
  EXPECT_EQ(map.getDataFromZip(nullptr, "v.txt", data, &size), 25);
  EXPECT_TRUE(log.contains("Error: zipName == 0. You must specify path to zip archive\n"));
  EXPECT_EQ(map.getDataFromZip(path_.c_str(), nullptr, data, &size), 25);
  EXPECT_EQ(data, nullptr);  // never handed a buffer on failure
  EXPECT_EQ(map.setPathToNavArchive(nullptr), 25);
}

TEST_F(ArchiveTest, AMemberThatReadsShortIsAFailureNotAZeroFilledBuffer) {
  std::string text(4000, 'x');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 7) % 26);
  write({{"m.txt", text}});
  // Claim a larger uncompressed size in the central directory, as a damaged
  // download can: the member then ends before the declared size.
  std::string zipBytes;
  {
    std::ifstream in(path_, std::ios::binary);
    zipBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const size_t central = zipBytes.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  mapfx::putLe(zipBytes, central + 24, 4000 + 500, 4);
  {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(zipBytes.data(), static_cast<std::streamsize>(zipBytes.size()));
  }
  NavigationMap map;
  char* data = nullptr;
  int size = 0;
  mapfx::LogCapture log;
  EXPECT_EQ(map.getDataFromZip(path_.c_str(), "m.txt", data, &size), 25);
  EXPECT_EQ(data, nullptr);
  EXPECT_TRUE(log.contains("file m.txt is damaged in zip")) << log.text();
}

TEST_F(ArchiveTest, TopNodesAndFloorElementsAreCheckedBeforeUse) {
  NavigationMap map;
  map.setLocationId(12);
  {
    mapfx::LogCapture log;
    const struct {
      const char* text;
      int code;
      const char* message;
    } cases[] = {
        {"<Location id=\"12\"/>", 0, ""},
        {"<Location id=\"12abc\"/>", 0, ""},  // leading digits count
        {"<Location id=\"13\"/>", 5, "location id in config.xml and navigation.xml are different"},
        {"<Location/>", 5, "Bad location id at xml File\n"},
        {"<Place id=\"12\"/>", 21, "Parse error: root element <Location> wasn't found\n"},
        {"<!-- only a comment -->", 21, "Parse error: root element <Location> wasn't found\n"},
        {"<Location id=\"12\">", 21, "error parse .xml file. ERROR = "},
        {"", 21, "error parse .xml file"},
    };
    for (const auto& c : cases) {
      tinyxml2::XMLDocument doc;
      EXPECT_EQ(map.parseXmlTopNodes(c.text, doc), c.code) << c.text;
      EXPECT_TRUE(log.contains(c.message)) << c.text;
    }
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(map.parseXmlTopNodes(nullptr, doc), 21);
  }

  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.Parse("<Location><Other/><Sublocation id=\"1\"/><Skip id=\"2\"/>"
                      "<Sublocation id=\"2\"/><Sublocation/><Sublocation id=\"3\"/></Location>"),
            tinyxml2::XML_SUCCESS);
  SublocationMap floor;
  tinyxml2::XMLElement* first = doc.RootElement()->FirstChildElement("Sublocation");
  tinyxml2::XMLElement* e = first;
  floor.setId(2);
  EXPECT_EQ(map.findSublocationHandle(e, floor), 0);
  EXPECT_EQ(e, first->NextSiblingElement("Sublocation"));
  e = first;
  floor.setId(3);  // behind an element without an id
  EXPECT_EQ(map.findSublocationHandle(e, floor), 9);
  e = first;
  floor.setId(1);
  EXPECT_EQ(map.findSublocationHandle(e, floor), 0);
  EXPECT_EQ(e, first);
  e = doc.RootElement()->FirstChildElement("Other");
  EXPECT_EQ(map.findSublocationHandle(e, floor), 5);
  e = nullptr;
  EXPECT_EQ(map.findSublocationHandle(e, floor), 5);
  ASSERT_EQ(doc.Parse("<Location><Sublocation id=\"1\"/></Location>"), tinyxml2::XML_SUCCESS);
  e = doc.RootElement()->FirstChildElement();
  floor.setId(4);
  EXPECT_EQ(map.findSublocationHandle(e, floor), 5);
}

NavigationMap mapWithFloors(const std::vector<int>& ids) {
  NavigationMap map;
  for (int id : ids) {
    SublocationMap floor;
    floor.setId(id);
    floor.setName("f" + std::to_string(id));
    floor.getProperties().width_meters = id;
    map.addSublocation(floor);
  }
  return map;
}

TEST(NavigationMapTest, FloorLookupsByIndexAndId) {
  NavigationMap map = mapWithFloors({5, 7, 5});
  mapfx::LogCapture log;
  ASSERT_NE(map.getSublocationPtrByIndex(2), nullptr);
  EXPECT_EQ(map.getSublocationPtrByIndex(3), nullptr);
  EXPECT_TRUE(log.contains("ERROR: Sublocation index = 3 is out of range. Sublocations vector "
                           "size = 3\n"));
  EXPECT_EQ(map.getSublocPropertiesPtrByIndex(1)->width_meters, 7.0);
  EXPECT_EQ(map.getSublocPropertiesPtrByIndex(9), nullptr);
  EXPECT_EQ(map.getSublocationPtrById(5), &map.getSublocationsVector()[0]);  // the first
  EXPECT_EQ(map.getSublocationPtrById(6), nullptr);
  EXPECT_EQ(map.getSublocPropertiesPtrById(7)->width_meters, 7.0);
  EXPECT_EQ(map.getSublocPropertiesPtrById(8), nullptr);
  EXPECT_EQ(map.getSublocIndexById(7), 1);
  EXPECT_EQ(map.getSublocIndexById(99), 0);
  EXPECT_TRUE(log.contains("There is no sublocations with such an Id\n"));
  const SublocationMap* out = nullptr;
  EXPECT_EQ(map.getSublocationPtr(&out, 1), 0);
  EXPECT_EQ(out, &map.getSublocationsVector()[1]);
  EXPECT_EQ(map.getSublocationPtr(&out, 3), -1);
  EXPECT_TRUE(log.contains("ERROR: Bad index of sublocation in getSublocation method\n!"));
}

TEST(NavigationMapTest, RemovingFloorsKeepsTheOthersInOrder) {
  NavigationMap map = mapWithFloors({1, 2, 3, 4});
  auto it = map.removeSublocation(1);
  EXPECT_EQ(it->getId(), 3);
  EXPECT_EQ(map.removeSublocation(4), map.getSublocationsVector().end());
  EXPECT_EQ(map.removeSublocation(-1), map.getSublocationsVector().end());
  auto pos = map.getSublocationsVector().begin() + 2;
  map.removeSublocation(pos);
  ASSERT_EQ(map.getNSublocations(), 2u);
  EXPECT_EQ(map.getSublocationsVector()[1].getId(), 3);

  // A loop that deletes while it walks visits every floor once.
  map = mapWithFloors({1, 2, 3, 4, 5});
  std::vector<int> visited;
  for (unsigned i = 0; i < map.getNSublocations(); ++i) {
    const int id = map.getSublocationsVector()[i].getId();
    visited.push_back(id);
    if (id == 1 || id == 2 || id == 5) {
      EXPECT_EQ(map.deleteBadFloor(i), i);
    }
  }
  EXPECT_EQ(visited, (std::vector<int>{1, 2, 3, 4, 5}));
  ASSERT_EQ(map.getNSublocations(), 2u);
  EXPECT_EQ(map.getSublocationsVector()[0].getId(), 3);
  unsigned beyond = 7;
  EXPECT_EQ(map.deleteBadFloor(beyond), 7u);
  EXPECT_EQ(map.getNSublocations(), 2u);
}

TEST(SublocationMapTest, TransmitterKeysFollowTheRadioMap) {
  SublocationMap floor;
  floor.setId(4);
  auto add = [&](const std::string& key) {
    AccessPoint ap;
    ap.setBssid(key);
    floor.getRadioMap().emplace(key, ap);
  };
  add("b");
  add("a");
  add("b");
  add("b");
  floor.updateUniqueApsBssid();
  EXPECT_EQ(floor.getUniqueApsBssid(), (std::vector<std::string>{"a", "b"}));
  floor.getRadioMap().erase("a");
  floor.updateUniqueApsBssid();
  EXPECT_EQ(floor.getUniqueApsBssid(), (std::vector<std::string>{"b"}));

  SublocationMap other;
  other.setId(4);
  other.setName("elsewhere");
  EXPECT_TRUE(other == floor);
  other.setId(5);
  EXPECT_FALSE(other == floor);
}

// A whole location through the load sequence.
class LoadTest : public ArchiveTest {
 protected:
  int load(const Members& members, bool tracking = false, const char* parameters = nullptr) {
    write(members);
    map_ = NavigationMap();
    map_.setPathToNavArchive(path_.c_str());
    map_.setParameters(parameters);
    return map_.parseAllFiles(tracking);
  }
  NavigationMap map_;
};

TEST_F(LoadTest, AGoodLocationLoadsEveryPart) {
  ASSERT_EQ(load(mapfx::goodLocation()), 0);
  EXPECT_EQ(map_.getLocationId(), 12);
  EXPECT_EQ(map_.getLocationVersion(), 42);
  EXPECT_EQ(map_.getNavigationProperties().Use_algorithm, NAV_ALG_KNN);
  ASSERT_EQ(map_.getNSublocations(), 2u);
  const SublocationMap& one = map_.getSublocationsVector()[0];
  EXPECT_EQ(one.getBeacons().size(), 3u);
  EXPECT_EQ(one.getLocators().size(), 1u);
  EXPECT_EQ(one.getBmpState().getInfoHeader().biWidth, 32);
  EXPECT_DOUBLE_EQ(one.getBmpState().getKx(), 10.0);
  EXPECT_FALSE(one.getBmpState().checkBordersAndPixelColor(3.1, 1.9));
  EXPECT_TRUE(one.getBmpState().checkBordersAndPixelColor(3.2, 1.0));
  EXPECT_EQ(one.getImages().getPngSize(), 28);
  EXPECT_EQ(one.getImages().getPngData().size(), 28u);
  EXPECT_DOUBLE_EQ(one.getBeacons()[0].getX(), 1.6);
  const SublocationMap& two = map_.getSublocationsVector()[1];
  EXPECT_EQ(two.getLocators().size(), 2u);
  EXPECT_EQ(two.getBmpState().getStride(), 4);

  // A copy holds everything and stands on its own.
  NavigationMap copy(map_);
  map_.getSublocationsVector().clear();
  ASSERT_EQ(copy.getNSublocations(), 2u);
  EXPECT_EQ(copy.getSublocationsVector()[0].getBeacons().size(), 3u);
  EXPECT_EQ(copy.getLocationVersion(), 42);
  copy = copy;
  EXPECT_EQ(copy.getNSublocations(), 2u);
}

TEST_F(LoadTest, FatalAndTolerableMemberFailures) {
  Members noVersion = mapfx::goodLocation();
  mapfx::removeMember(noVersion, "version.txt");
  ASSERT_EQ(load(noVersion), 1);
  // Everything before the version was read.
  EXPECT_EQ(map_.getSublocationsVector()[0].getBeacons().size(), 3u);
  EXPECT_EQ(map_.getSublocationsVector()[0].getImages().getPngSize(), 28);
  EXPECT_EQ(map_.getSublocationsVector()[1].getBmpState().getStride(), 4);

  Members noPicture = mapfx::goodLocation();
  mapfx::removeMember(noPicture, "f1.png");
  EXPECT_EQ(load(noPicture), 1);

  Members badBitmap = mapfx::goodLocation();
  mapfx::replaceMember(badBitmap, "f2.bmp", mapfx::bitmapAllWalkable(16, 10).substr(0, 80));
  EXPECT_EQ(load(badBitmap), 1);

  // The second bitmap stands in for a missing first one.
  Members fallback = mapfx::goodLocation();
  mapfx::removeMember(fallback, "f1.bmp");
  EXPECT_EQ(load(fallback), 1);
  mapfx::replaceMember(fallback, "config.xml",
                       mapfx::configXml(12, mapfx::floorXml(1, "f1.bmp", 3.2, 2.0,
                                                            "<File type=\"BMP2\" name=\"auto.bmp\"/>"
                                                            "<File type=\"PNG\" name=\"f1.png\"/>") +
                                                mapfx::floorXml(2, "f2.bmp", 1.6, 1.0)));
  mapfx::replaceMember(fallback, "auto.bmp", mapfx::bitmapAllWalkable(64, 40));
  ASSERT_EQ(load(fallback), 0);
  EXPECT_EQ(map_.getSublocationsVector()[0].getBmpState().getInfoHeader().biWidth, 64);

  Members noConfig = mapfx::goodLocation();
  mapfx::removeMember(noConfig, "config.xml");
  EXPECT_EQ(load(noConfig), 25);
  EXPECT_EQ(load(mapfx::goodLocation(), false, "configFile=other.xml;"), 25);

  Members noSettings = mapfx::goodLocation();
  mapfx::removeMember(noSettings, "navigation.xml");
  EXPECT_EQ(load(noSettings), 25);

  // Transmitters are not fatal: the load carries on without them.
  Members noTransmitters = mapfx::goodLocation();
  mapfx::removeMember(noTransmitters, "beacons.xml");
  mapfx::removeMember(noTransmitters, "locators.xml");
  ASSERT_EQ(load(noTransmitters), 0);
  EXPECT_TRUE(map_.getSublocationsVector()[0].getBeacons().empty());
  EXPECT_EQ(map_.getLocationVersion(), 42);
}

TEST_F(LoadTest, TrackingLoadStopsAfterLocatorsAndBitmaps) {
  Members m = mapfx::goodLocation();
  mapfx::removeMember(m, "version.txt");
  mapfx::removeMember(m, "f1.png");
  mapfx::removeMember(m, "navigation.xml");  // tracking.xml is missing too: only a warning
  mapfx::LogCapture log;
  ASSERT_EQ(load(m, true), 0);
  EXPECT_TRUE(log.contains("WARNING: error in parsing Tracking.xml"));
  EXPECT_EQ(map_.getLocationVersion(), 0);
  const SublocationMap& one = map_.getSublocationsVector()[0];
  EXPECT_TRUE(one.getBeacons().empty());
  EXPECT_EQ(one.getLocators().size(), 1u);
  EXPECT_TRUE(one.getImages().getPngData().empty());
  EXPECT_EQ(one.getBmpState().getStride(), 4);

  mapfx::removeMember(m, "f2.bmp");
  EXPECT_EQ(load(m, true), 1);
}

TEST_F(LoadTest, RecordedOfficeArchiveLoads) {
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  const std::string path =
      std::string(shared != nullptr ? shared : "/work/shared/data") + "/ble-tetam/map.mvz";
  if (!std::ifstream(path).good()) GTEST_SKIP() << "no recording at " << path;
  NavigationMap map;
  map.setPathToNavArchive(path.c_str());
  ASSERT_EQ(map.parseAllFiles(false), 0);
  EXPECT_EQ(map.getLocationId(), 9001);
  ASSERT_EQ(map.getNSublocations(), 1u);
  const SublocationMap& floor = map.getSublocationsVector()[0];
  EXPECT_EQ(floor.getBeacons().size(), 12u);
  EXPECT_EQ(floor.getBmpState().getInfoHeader().biWidth, 208);
  EXPECT_EQ(floor.getBmpState().getInfoHeader().biHeight, 178);
  EXPECT_NEAR(floor.getBmpState().getKx(), 10.0, 1e-9);
  EXPECT_GT(floor.getImages().getPngSize(), 0);
  EXPECT_EQ(map.getLocationVersion(), 1);
}

// Thousands of damaged locations through the whole load: each must end with a
// known code, and every floor that survives must be usable.
TEST_F(LoadTest, MutatedArchivesNeverCrashTheLoader) {
  mapfx::QuietLog quiet;
  std::mt19937 rng(20261206);
  const Members good = mapfx::goodLocation();
  const char* targets[] = {"config.xml", "beacons.xml", "locators.xml", "f1.bmp", "f2.bmp",
                           "navigation.xml", "version.txt"};
  std::map<int, int> codes;
  for (int i = 0; i < 2400; ++i) {
    Members m = good;
    const std::string target = targets[i % 7 < 5 ? i % 5 : rng() % 7];
    for (auto& [name, content] : m) {
      if (name != target) continue;
      for (int e = 1 + static_cast<int>(rng() % 3); e > 0; --e) {
        if (target.find(".bmp") != std::string::npos && content.size() >= 62 && rng() % 2) {
          content[rng() % 62] = static_cast<char>(rng() & 0xff);
        } else {
          content = mapfx::mutate(content, rng);
        }
      }
    }
    const int code = load(m, i % 10 == 0);
    ++codes[code];
    ASSERT_TRUE(code == 0 || code == 1 || code == 5 || code == 9 || code == 21 || code == 25 ||
                code == -1)
        << "unexpected code " << code << " for " << target;
    for (const SublocationMap& floor : map_.getSublocationsVector()) {
      EXPECT_GT(floor.getProperties().width_meters, 0.0);
      for (const Beacon& b : floor.getBeacons()) EXPECT_EQ(b.getLocationId(), floor.getId());
      if (code == 0) {
        const BmpState& bmp = floor.getBmpState();
        EXPECT_EQ(bmp.getPixels().size(), static_cast<size_t>(bmp.getInfoHeader().biHeight) *
                                              static_cast<size_t>(bmp.getStride()));
      }
    }
  }
  EXPECT_GT(codes[0], 200);

  // Damage to the archive itself, not just to its members.
  write(good);
  std::string zipBytes;
  {
    std::ifstream in(path_, std::ios::binary);
    zipBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  for (int i = 0; i < 400; ++i) {
    std::string damaged = zipBytes;
    for (int e = 1 + static_cast<int>(rng() % 4); e > 0; --e) {
      damaged[rng() % damaged.size()] = static_cast<char>(rng() & 0xff);
    }
    if (i % 4 == 0) damaged.resize(rng() % damaged.size());
    {
      std::ofstream out(path_, std::ios::binary | std::ios::trunc);
      out.write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
    }
    NavigationMap map;
    map.setPathToNavArchive(path_.c_str());
    const int code = map.parseAllFiles(false);
    ASSERT_TRUE(code == 0 || code == 1 || code == 5 || code == 9 || code == 21 || code == 25 ||
                code == -1)
        << code;
  }
}

}  // namespace
