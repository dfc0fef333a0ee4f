#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

using mapfx::beaconXml;
using mapfx::floorsMember;
using mapfx::locatorXml;

const char kUuid[] = "f7826da6-4fa2-4e98-8024-bc5b71e0893e";
const char kUpperUuid[] = "F7826DA6-4FA2-4E98-8024-BC5B71E0893E";

class TransmittersTest : public ::testing::Test {
 protected:
  // A location 40 with floors of the given ids, each 20 x 8 m.
  void makeMap(const std::vector<int>& floorIds) {
    map_ = NavigationMap();
    map_.setLocationId(40);
    for (int id : floorIds) {
      SublocationMap floor;
      floor.setId(id);
      floor.getProperties().width_meters = 20.0;
      floor.getProperties().height_meters = 8.0;
      map_.addSublocation(floor);
    }
    map_.setPathToNavArchive(path_.c_str());
  }
  int readBeacons(const std::string& member) {
    EXPECT_TRUE(mapfx::writeArchive(path_, {{"beacons.xml", member}}));
    return map_.parseBeaconsXML();
  }
  int readLocators(const std::string& member) {
    EXPECT_TRUE(mapfx::writeArchive(path_, {{"locators.xml", member}}));
    return map_.parseLocatorsXML();
  }
  std::vector<int> floorIds() const {
    std::vector<int> ids;
    for (const SublocationMap& f : map_.getSublocationsVector()) ids.push_back(f.getId());
    return ids;
  }
  std::vector<std::string> beaconKeys(unsigned index) {
    std::vector<std::string> keys;
    for (const Beacon& b : map_.getSublocationPtrByIndex(index)->getBeacons()) {
      keys.push_back(b.getId());
    }
    return keys;
  }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
  NavigationMap map_;
};

TEST_F(TransmittersTest, BeaconEntryBecomesABeaconKeyedByPaddedMajorMinorAndUuid) {
  makeMap({3});
  const std::string entry =
      "<beacon id=\"17\" kx=\"0.25\" ky=\"0.5\" A=\"-61.5\" B=\"2.5\" power=\"-70\" "
      "battery=\"88\" uuid=\"" + std::string(kUuid) +
      "\" name=\"desk\" major=\"7\" minor=\"65535\" status=\"ok\"/>"
      "<beacon id=\"18\" kx=\"x\" ky=\"1\" uuid=\"ab-cd\" name=\"bare\" major=\"12\" minor=\"3\"/>";
  mapfx::LogCapture log;
  ASSERT_EQ(readBeacons(floorsMember(40, {{3, entry}})), 0);
  const std::vector<Beacon>& beacons = map_.getSublocationPtrByIndex(0)->getBeacons();
  ASSERT_EQ(beacons.size(), 2u);
  // Sorted by key: "(00007,..." comes before "(00012,...".
  const Beacon& desk = beacons[0];
  const Beacon& other = beacons[1];
  EXPECT_EQ(desk.getId(), "(00007,65535," + std::string(kUpperUuid) + ")");
  EXPECT_EQ(desk.getBaseId(), 17);
  EXPECT_DOUBLE_EQ(desk.getX(), 5.0);
  EXPECT_DOUBLE_EQ(desk.getY(), 4.0);
  EXPECT_DOUBLE_EQ(desk.getKX(), 0.25);
  EXPECT_DOUBLE_EQ(desk.getA(), -61.5);
  EXPECT_DOUBLE_EQ(desk.getB(), 2.5);
  EXPECT_EQ(desk.getPower(), -70);
  EXPECT_EQ(desk.getBattery(), 88);
  EXPECT_EQ(desk.getUuid(), kUpperUuid);
  EXPECT_EQ(desk.getMajor(), 7u);
  EXPECT_EQ(desk.getMinor(), 65535u);
  EXPECT_EQ(desk.getStatus(), "ok");
  EXPECT_EQ(desk.getLocationId(), 3);

  EXPECT_EQ(other.getId(), "(00012,00003,AB-CD)");
  EXPECT_EQ(other.getX(), 0.0);  // a non-numeric kx reads as 0
  EXPECT_EQ(other.getA(), 0.0);
  EXPECT_EQ(other.getPower(), 0);
  EXPECT_EQ(other.getBattery(), 0);
  EXPECT_TRUE(log.contains("Warning! power = Null at beacon node\n"));
  EXPECT_TRUE(log.contains("Warning! battery = Null at beacon node\n"));
  EXPECT_TRUE(log.contains("WARNING: less then 3 beacon on floor id =3 \n"));
}

TEST_F(TransmittersTest, OnlyNeighbouringRepeatsAreDroppedThenTheListIsSorted) {
  makeMap({1, 2, 3});
  const std::string k1 = beaconXml("5", "1", kUuid);
  const std::string k1Upper = beaconXml("5", "1", kUpperUuid);
  const std::string k2 = beaconXml("4", "9", kUuid);
  mapfx::LogCapture log;
  ASSERT_EQ(readBeacons(floorsMember(40, {{1, k1 + k2 + k1}, {2, k1 + k1Upper + k2}, {3, k2}})), 0);
  const std::string key1 = "(00005,00001," + std::string(kUpperUuid) + ")";
  const std::string key2 = "(00004,00009," + std::string(kUpperUuid) + ")";
  EXPECT_EQ(beaconKeys(0), (std::vector<std::string>{key2, key1, key1}));
  EXPECT_EQ(beaconKeys(1), (std::vector<std::string>{key2, key1}));
  EXPECT_TRUE(log.contains("Warning: There was duplicate beacons at 2 sublocation\n"));
  EXPECT_FALSE(log.contains("duplicate beacons at 1 sublocation"));
}

TEST_F(TransmittersTest, ABadEntryCostsItsWholeFloorAndReadingGoesOnWithTheNext) {
  const std::string good = beaconXml("1", "1", kUuid);
  const struct {
    const char* what;
    std::string entry;
    const char* message;
  } bad[] = {
      {"no id", "<beacon kx=\"0\" ky=\"0\" uuid=\"u\" name=\"n\" major=\"1\" minor=\"1\"/>",
       "Error id = Null at beacon node\n"},
      {"no kx", "<beacon id=\"1\" ky=\"0\" uuid=\"u\" name=\"n\" major=\"1\" minor=\"1\"/>",
       "Error kx = Null at beacon node\n"},
      {"no ky", "<beacon id=\"1\" kx=\"0\" uuid=\"u\" name=\"n\" major=\"1\" minor=\"1\"/>",
       "Error ky = Null at beacon node\n"},
      {"no uuid", "<beacon id=\"1\" kx=\"0\" ky=\"0\" name=\"n\" major=\"1\" minor=\"1\"/>",
       "Error uuid = Null at beacon node\n"},
      {"deleted but no name",
       "<beacon id=\"1\" kx=\"0\" ky=\"0\" uuid=\"u\" major=\"1\" minor=\"1\" status=\"del\"/>",
       "Error name = Null at beacon node\n"},
      {"no major", "<beacon id=\"1\" kx=\"0\" ky=\"0\" uuid=\"u\" name=\"n\" minor=\"1\"/>",
       "Error major = Null at beacon node\n"},
      {"long major", beaconXml("123456", "1", kUuid), "Error. Invalid size of major=123456 field"},
      {"no minor", "<beacon id=\"1\" kx=\"0\" ky=\"0\" uuid=\"u\" name=\"n\" major=\"1\"/>",
       "Error minor = Null at beacon node\n"},
      {"long minor", beaconXml("1", "abcdef", kUuid), "Error. Invalid size of minor=abcdef field"},
  };
  for (const auto& c : bad) {
    // Floors 1 and 3 are bad, 2 and 4 good: removing a floor must not skip the next.
    makeMap({1, 2, 3, 4});
    mapfx::LogCapture log;
    EXPECT_EQ(readBeacons(floorsMember(40, {{4, good}, {3, good + c.entry}, {2, good},
                                             {1, c.entry}})),
              0)
        << c.what;
    EXPECT_EQ(floorIds(), (std::vector<int>{2, 4})) << c.what;
    EXPECT_EQ(map_.getSublocationPtrByIndex(0)->getBeacons().size(), 1u);
    EXPECT_EQ(map_.getSublocationPtrByIndex(1)->getBeacons().size(), 1u);
    EXPECT_TRUE(log.contains(c.message)) << c.what << "\n" << log.text();
    EXPECT_TRUE(log.contains("This sublocation with id = 3 will be missed \n"));
  }
  makeMap({8});
  EXPECT_EQ(readBeacons(floorsMember(40, {{8, bad[0].entry}})), 9);  // no floor left
  EXPECT_EQ(map_.getNSublocations(), 0u);
}

TEST_F(TransmittersTest, DeletedAndOddlyNamedEntries) {
  makeMap({1});
  mapfx::LogCapture log;
  ASSERT_EQ(readBeacons(floorsMember(
                40, {{1, beaconXml("1", "1", kUuid, "status=\"del\"") +
                             beaconXml("1", "2", kUuid, "status=\"DEL\"") +
                             "<transmitter id=\"3\" kx=\"0\" ky=\"0\" uuid=\"u\" name=\"t\" "
                             "major=\"1\" minor=\"3\"/>"}})),
            0);
  const std::vector<Beacon>& beacons = map_.getSublocationPtrByIndex(0)->getBeacons();
  ASSERT_EQ(beacons.size(), 2u);
  EXPECT_EQ(beacons[0].getStatus(), "DEL");  // only the exact "del" is a deletion
  EXPECT_EQ(beacons[1].getName(), "t");
  EXPECT_TRUE(log.contains("bad element at parseBeaconNode function of id = 1 sublocation"));
}

TEST_F(TransmittersTest, MemberAndFloorLookupFailures) {
  const std::string good = beaconXml("1", "1", kUuid);
  const struct {
    const char* what;
    std::string member;
    int code;
  } cases[] = {
      {"empty member", "", 25},
      {"not XML", "<Location id=\"40\"><Sublocation id=\"1\">", 21},
      {"wrong root", "<Floors id=\"40\"/>", 21},
      {"no location id", "<Location><Sublocation id=\"1\"/></Location>", 5},
      {"other location", floorsMember(41, {{1, good}, {2, good}}), 5},
      {"no Sublocation element", "<Location id=\"40\"><Floor id=\"1\"/></Location>", 5},
      {"Sublocation without id", "<Location id=\"40\"><Sublocation/></Location>", 9},
  };
  for (const auto& c : cases) {
    makeMap({1, 2});
    EXPECT_EQ(readBeacons(c.member), c.code) << c.what;
    EXPECT_EQ(map_.getNSublocations(), 2u) << c.what;
  }
  // A floor missing from the member stops the read; earlier floors keep their lists.
  makeMap({1, 2, 3});
  EXPECT_EQ(readBeacons(floorsMember(40, {{1, good}, {3, good}})), 9);
  EXPECT_EQ(map_.getSublocationPtrByIndex(0)->getBeacons().size(), 1u);
  EXPECT_TRUE(map_.getSublocationPtrByIndex(2)->getBeacons().empty());
  // A map without floors has nothing to read into.
  makeMap({});
  EXPECT_EQ(readBeacons(floorsMember(40, {{1, good}})), 9);
  // No archive at all.
  makeMap({1});
  map_.setPathToNavArchive(dir_.file("missing.mvz").c_str());
  EXPECT_EQ(map_.parseBeaconsXML(), 25);
}

TEST_F(TransmittersTest, LocatorsAreKeyedByTheirUuid) {
  makeMap({1, 2});
  mapfx::LogCapture log;
  ASSERT_EQ(readLocators(floorsMember(
                40, {{2, locatorXml("cc-02") + locatorXml("Cc-02") + locatorXml("aa-01") +
                             locatorXml("bb", "status=\"del\"")},
                     {1, locatorXml("dd")}})),
            0);
  const std::vector<Beacon>& two = map_.getSublocationPtrByIndex(1)->getLocators();
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].getId(), "AA-01");
  EXPECT_EQ(two[1].getId(), "CC-02");
  EXPECT_DOUBLE_EQ(two[0].getX(), 2.0);
  EXPECT_DOUBLE_EQ(two[0].getY(), 1.6);
  EXPECT_EQ(two[0].getLocationId(), 2);
  EXPECT_TRUE(two[0].getUuid().empty());
  EXPECT_EQ(two[0].getMajor(), 0u);
  EXPECT_TRUE(map_.getSublocationPtrByIndex(0)->getBeacons().empty());
  EXPECT_TRUE(log.contains("at 2 sublocation number of locators == 2\n"));
  EXPECT_TRUE(log.contains("WARNING: less then 2 locators on floor id=1\n"));

  const struct {
    const char* what;
    std::string entry;
    const char* message;
  } bad[] = {
      {"no kx", "<locator ky=\"0\" uuid=\"u\" name=\"n\"/>", "error kx = Null at locator node\n"},
      {"no ky", "<locator kx=\"0\" uuid=\"u\" name=\"n\"/>", "ky = Null at locator node"},
      {"no uuid", "<locator kx=\"0\" ky=\"0\" name=\"n\"/>", "error uuid = Null at locator node\n"},
      {"no name", "<locator kx=\"0\" ky=\"0\" uuid=\"u\"/>", "error name = Null at locator node\n"},
  };
  for (const auto& c : bad) {
    makeMap({5});
    mapfx::LogCapture entryLog;
    EXPECT_EQ(readLocators(floorsMember(40, {{5, locatorXml("ok") + c.entry}})), 9) << c.what;
    EXPECT_EQ(map_.getNSublocations(), 0u) << c.what;
    EXPECT_TRUE(entryLog.contains(c.message)) << c.what;
  }
}

}  // namespace
