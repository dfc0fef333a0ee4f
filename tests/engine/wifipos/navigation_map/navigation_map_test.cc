#include "wifipos/navigation_map/navigation_map.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "map_fixtures.h"

namespace {

using mapfx::Members;

TEST(NavigationMapTest, MembersAreReadWholeOrNotAtAll) {
  mapfx::TempDir dir;
  const std::string path = dir.file("map.mvz");
  std::string text(4000, ' ');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 7) % 26);
  ASSERT_TRUE(mapfx::writeArchive(path, {{"sub/v.txt", "17 floors"}, {"empty", ""}, {"m", text}}));
  NavigationMap map(EngineBehaviour::kit());
  char* data = nullptr;
  int size = 0;
  ASSERT_EQ(map.getDataFromZip(path.c_str(), "v.txt", data, &size), 0);
  EXPECT_EQ(size, 9);
  EXPECT_STREQ(data, "17 floors");  // terminated
  std::free(data);

  LogCapture log(13);
  data = nullptr;
  EXPECT_EQ(map.getDataFromZip(path.c_str(), "missing", data, &size), 25);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(map.getDataFromZip(path.c_str(), "empty", data, &size), 25);
  EXPECT_TRUE(log.contains("file empty is bad or not exist in zip\n"));
  EXPECT_EQ(map.getDataFromZip(dir.file("none.mvz").c_str(), "v.txt", data, &size), 25);
  EXPECT_TRUE(log.contains("Can't open zip archive " + dir.file("none.mvz") + "!\n"));
  EXPECT_EQ(map.getDataFromZip(nullptr, "v.txt", data, &size), 25);
  EXPECT_TRUE(log.contains("Error: zipName == 0. You must specify path to zip archive\n"));
  EXPECT_EQ(map.setPathToNavArchive(nullptr), 25);

  // A damaged download: the central directory claims more bytes than the
  // member holds. That must fail, not hand back a zero-padded buffer.
  std::string zipBytes = mapfx::readFile(path);
  const size_t entry = zipBytes.rfind("PK\x01\x02");
  ASSERT_NE(entry, std::string::npos);
  mapfx::putLe(zipBytes, entry + 24, 4500, 4);
  mapfx::writeFile(path, zipBytes);
  EXPECT_EQ(map.getDataFromZip(path.c_str(), "m", data, &size), 25);
  EXPECT_EQ(data, nullptr);
  EXPECT_TRUE(log.contains("file m is damaged in zip"));
}

class LoadTest : public ::testing::Test {
 protected:
  int load(const Members& members, bool tracking = false, const char* parameters = nullptr) {
    EXPECT_TRUE(mapfx::writeArchive(path_, members));
    map_ = NavigationMap(EngineBehaviour::kit());
    map_.setPathToNavArchive(path_.c_str());
    map_.setParameters(parameters);
    return map_.parseAllFiles(tracking);
  }
  const SublocationMap& floor(unsigned i) const { return map_.getSublocationsVector().at(i); }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
  NavigationMap map_{EngineBehaviour::kit()};
};

TEST_F(LoadTest, FatalAndTolerableMemberFailures) {
  using mapfx::with;
  using mapfx::without;
  const Members good = mapfx::goodLocation();
  ASSERT_EQ(load(without(good, "version.txt")), 1);
  // Everything before the version was read.
  EXPECT_EQ(floor(0).getBeacons().size(), 3u);
  EXPECT_EQ(floor(0).getImages().getPngSize(), 26);
  EXPECT_EQ(floor(1).getBmpState().getStride(), 4);

  EXPECT_EQ(load(without(good, "f1.png")), 1);
  EXPECT_EQ(load(with(good, "f2.bmp", mapfx::openBitmap(16, 10).substr(0, 80))), 1);
  EXPECT_EQ(load(without(good, "f1.bmp")), 1);
  EXPECT_EQ(load(without(good, "config.xml")), 25);
  EXPECT_EQ(load(good, false, "configFile=other.xml;"), 25);
  EXPECT_EQ(load(without(good, "navigation.xml")), 25);

  // The second bitmap stands in for a missing first one.
  const std::string config = mapfx::configXml(
      12, mapfx::floorXml(1, "f1.bmp", 3.2, 2.0,
                          "<File type=\"BMP2\" name=\"auto.bmp\"/>"
                          "<File type=\"PNG\" name=\"f1.png\"/>") +
              mapfx::floorXml(2, "f2.bmp", 1.6, 1.0));
  ASSERT_EQ(load(with(with(without(good, "f1.bmp"), "config.xml", config), "auto.bmp",
                      mapfx::openBitmap(64, 40))),
            0);
  EXPECT_EQ(floor(0).getBmpState().getInfoHeader().biWidth, 64);

  // A floor without a usable size is dropped with its transmitters; the
  // other floor loads whole.
  ASSERT_EQ(load(with(good, "config.xml",
                      mapfx::configXml(12, mapfx::floorXml(1, "f1.bmp", 0.0, 2.0) +
                                               mapfx::floorXml(2, "f2.bmp", 1.6, 1.0)))),
            0);
  ASSERT_EQ(map_.getNSublocations(), 1u);
  EXPECT_EQ(floor(0).getId(), 2);
  EXPECT_EQ(floor(0).getBeacons().size(), 1u);
  EXPECT_EQ(floor(0).getLocators().size(), 2u);

  // Transmitters only warn.
  ASSERT_EQ(load(without(without(good, "beacons.xml"), "locators.xml")), 0);
  EXPECT_TRUE(floor(0).getBeacons().empty());
  EXPECT_EQ(map_.getLocationVersion(), 42);
}

TEST(NavigationMapParameters, DefaultsPairChoosesTheBehaviour) {
  const struct {
    const char* text;
    bool classic;
  } cases[] = {
      {nullptr, false},
      {"defaults=classic;", true},
      {"defaults=kit;", false},
      {"defaults=classic;defaults=kit;", false},
      {"defaults=classic", false},  // not ended by ';'
      {"defaults=old;", false},
      {"configFile=c.xml;defaults = classic ;", true},
  };
  for (const auto& c : cases) {
    NavigationMap map(EngineBehaviour::kit());
    map.setParameters(c.text);
    EXPECT_EQ(map.behaviour().isOriginal(), c.classic) << (c.text ? c.text : "null");
    EXPECT_EQ(NavigationMap(map).behaviour().isOriginal(), c.classic);
  }
}

TEST_F(LoadTest, RecordedOfficeArchiveLoads) {
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  const std::string path =
      std::string(shared != nullptr ? shared : "/work/shared/data") + "/ble-tetam/map.mvz";
  if (!std::ifstream(path).good()) GTEST_SKIP() << "no recording at " << path;
  NavigationMap map(EngineBehaviour::kit());
  map.setPathToNavArchive(path.c_str());
  ASSERT_EQ(map.parseAllFiles(false), 0);
  EXPECT_EQ(map.getLocationId(), 9001);
  ASSERT_EQ(map.getNSublocations(), 1u);
  const SublocationMap& office = map.getSublocationsVector()[0];
  EXPECT_EQ(office.getBeacons().size(), 12u);
  EXPECT_EQ(office.getBmpState().getInfoHeader().biHeight, 178);
  EXPECT_NEAR(office.getBmpState().getKx(), 10.0, 1e-9);
  EXPECT_EQ(map.getLocationVersion(), 1);
}

// Thousands of damaged locations through the whole load: each ends with a
// known code, and the floors that stay are usable.
TEST_F(LoadTest, MutatedArchivesNeverCrashTheLoader) {
  std::mt19937 rng(20261206);
  const Members good = mapfx::goodLocation();
  const char* targets[] = {"config.xml", "beacons.xml", "locators.xml", "f1.bmp",
                           "f2.bmp",     "navigation.xml", "version.txt"};
  const std::set<int> known = {0, 1, 5, 9, 21, 25, -1};
  int loaded = 0;
  for (int i = 0; i < 2400; ++i) {
    Members m = good;
    const std::string target = targets[i % 7 < 5 ? i % 5 : rng() % 7];
    for (auto& [name, content] : m) {
      for (int e = name == target ? 1 + static_cast<int>(rng() % 3) : 0; e > 0; --e) {
        if (name.ends_with(".bmp") && content.size() >= 62 && rng() % 2) {
          content[rng() % 62] = static_cast<char>(rng());
        } else {
          content = mapfx::mutate(content, rng);
        }
      }
    }
    const int code = load(m, i % 10 == 0);
    ASSERT_TRUE(known.count(code)) << code << " for " << target;
    loaded += code == 0;
    for (const SublocationMap& f : map_.getSublocationsVector()) {
      EXPECT_GT(f.getProperties().width_meters, 0.0);
      const BmpState& bmp = f.getBmpState();
      if (code != 0) continue;
      EXPECT_EQ(bmp.getPixels().size(),
                static_cast<size_t>(bmp.getInfoHeader().biHeight * bmp.getStride()));
    }
  }
  EXPECT_GT(loaded, 200);

  // Damage to the archive itself.
  ASSERT_TRUE(mapfx::writeArchive(path_, good));
  const std::string zipBytes = mapfx::readFile(path_);
  for (int i = 0; i < 400; ++i) {
    std::string damaged = zipBytes;
    for (int e = 1 + static_cast<int>(rng() % 4); e > 0; --e) {
      damaged[rng() % damaged.size()] = static_cast<char>(rng());
    }
    if (i % 4 == 0) damaged.resize(rng() % damaged.size());
    mapfx::writeFile(path_, damaged);
    NavigationMap map(EngineBehaviour::kit());
    map.setPathToNavArchive(path_.c_str());
    ASSERT_TRUE(known.count(map.parseAllFiles(false)));
  }
}

}  // namespace
