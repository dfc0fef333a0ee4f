#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

using mapfx::beaconXml;
using mapfx::floorsMember;
using mapfx::locatorXml;

const std::string kUuid = "f7826da6-4fa2-4e98-8024-bc5b71e0893e";
const std::string kUpper = "F7826DA6-4FA2-4E98-8024-BC5B71E0893E";

class TransmittersTest : public ::testing::Test {
 protected:
  // Location 40 with floors of the given ids, each 20 x 8 m.
  void makeMap(const std::vector<int>& ids) {
    map_ = NavigationMap();
    map_.setLocationId(40);
    map_.setPathToNavArchive(path_.c_str());
    for (int id : ids) {
      SublocationMap floor;
      floor.setId(id);
      floor.getProperties().width_meters = 20.0;
      floor.getProperties().height_meters = 8.0;
      map_.addSublocation(floor);
    }
  }
  int read(const std::string& member, const std::string& name = "beacons.xml") {
    EXPECT_TRUE(mapfx::writeArchive(path_, {{name, member}}));
    return name == "beacons.xml" ? map_.parseBeaconsXML() : map_.parseLocatorsXML();
  }
  std::vector<std::string> keys(unsigned index, bool locators = false) {
    std::vector<std::string> out;
    const SublocationMap* floor = map_.getSublocationPtrByIndex(index);
    for (const Beacon& b : locators ? floor->getLocators() : floor->getBeacons()) {
      out.push_back(b.getId());
    }
    return out;
  }
  std::vector<int> floorIds() const {
    std::vector<int> ids;
    for (const SublocationMap& f : map_.getSublocationsVector()) ids.push_back(f.getId());
    return ids;
  }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
  NavigationMap map_;
};

TEST_F(TransmittersTest, BeaconsAreKeyedByPaddedMajorMinorAndUuidThenTidied) {
  makeMap({1, 2, 3});
  const std::string full = "<beacon id=\"17\" kx=\"0.25\" ky=\"0.5\" A=\"-61.5\" B=\"2.5\" "
                           "power=\"-70\" battery=\"88\" uuid=\"" + kUuid +
                           "\" name=\"desk\" major=\"7\" minor=\"65535\" status=\"ok\"/>";
  const std::string bare = "<beacon id=\"18\" kx=\"x\" ky=\"1\" uuid=\"ab-cd\" name=\"bare\" "
                           "major=\"12\" minor=\"3\"/>";
  const std::string k1 = beaconXml("5", "1", kUuid);
  const std::string k1Upper = beaconXml("5", "1", kUpper);  // the same key
  const std::string k2 = beaconXml("4", "9", kUuid);
  LogCapture log(13);
  ASSERT_EQ(
      read(floorsMember(40, {{3, bare + full}, {1, k1 + k2 + k1}, {2, k1 + k1Upper + k2}})),
      0);

  const std::vector<Beacon>& three = map_.getSublocationPtrByIndex(2)->getBeacons();
  ASSERT_EQ(keys(2),
            (std::vector<std::string>{"(00007,65535," + kUpper + ")", "(00012,00003,AB-CD)"}));
  const Beacon& desk = three[0];
  EXPECT_EQ(desk.getBaseId(), 17);
  EXPECT_DOUBLE_EQ(desk.getX(), 5.0);
  EXPECT_DOUBLE_EQ(desk.getY(), 4.0);
  EXPECT_DOUBLE_EQ(desk.getA(), -61.5);
  EXPECT_EQ(desk.getPower(), -70);
  EXPECT_EQ(desk.getBattery(), 88);
  EXPECT_EQ(desk.getUuid(), kUpper);
  EXPECT_EQ(desk.getMajor(), 7u);
  EXPECT_EQ(desk.getMinor(), 65535u);
  EXPECT_EQ(desk.getStatus(), "ok");
  EXPECT_EQ(desk.getLocationId(), 3);
  EXPECT_EQ(three[1].getX(), 0.0);  // a non-numeric kx reads as 0
  EXPECT_EQ(three[1].getPower(), 0);
  EXPECT_TRUE(log.contains("Warning! power = Null at beacon node\n"));
  EXPECT_TRUE(log.contains("WARNING: less then 3 beacon on floor id =3 \n"));

  // Only neighbouring repeats go; the list is then sorted.
  const std::string key1 = "(00005,00001," + kUpper + ")";
  const std::string key2 = "(00004,00009," + kUpper + ")";
  EXPECT_EQ(keys(0), (std::vector<std::string>{key2, key1, key1}));
  EXPECT_EQ(keys(1), (std::vector<std::string>{key2, key1}));
  EXPECT_TRUE(log.contains("Warning: There was duplicate beacons at 2 sublocation\n"));
  EXPECT_FALSE(log.contains("duplicate beacons at 1 sublocation"));
}

TEST_F(TransmittersTest, ABadEntryCostsItsWholeFloorAndReadingGoesOn) {
  const std::string good = beaconXml("1", "1", kUuid);
  // An entry with every required attribute but one.
  auto drop = [](const std::string& skip, const std::string& extra = "") {
    std::string s = "<beacon " + extra;
    for (const char* a : {"id", "kx", "ky", "uuid", "name", "major", "minor"}) {
      if (skip != a) s += std::string(" ") + a + "=\"1\"";
    }
    return s + "/>";
  };
  const struct {
    std::string entry;
    const char* message;
  } bad[] = {
      {drop("id"), "Error id = Null at beacon node\n"},
      {drop("kx"), "Error kx = Null at beacon node\n"},
      {drop("ky"), "Error ky = Null at beacon node\n"},
      {drop("uuid"), "Error uuid = Null at beacon node\n"},
      {drop("major"), "Error major = Null at beacon node\n"},
      {drop("minor"), "Error minor = Null at beacon node\n"},
      {beaconXml("123456", "1", kUuid), "Error. Invalid size of major=123456 field"},
      {beaconXml("1", "abcdef", kUuid), "Error. Invalid size of minor=abcdef field"},
      // The checks come before the deletion status.
      {drop("name", "status=\"del\""), "Error name = Null at beacon node\n"},
  };
  for (const auto& c : bad) {
    // Floors 1 and 3 are bad: removing a floor must not skip the one after it.
    makeMap({1, 2, 3, 4});
    LogCapture log(13);
    EXPECT_EQ(read(floorsMember(40, {{4, good}, {3, good + c.entry}, {2, good}, {1, c.entry}})), 0);
    EXPECT_EQ(floorIds(), (std::vector<int>{2, 4})) << c.entry;
    EXPECT_EQ(keys(1).size(), 1u);
    EXPECT_TRUE(log.contains(c.message)) << c.entry;
    EXPECT_TRUE(log.contains("This sublocation with id = 3 will be missed \n"));
  }
  makeMap({8});  // no floor left
  EXPECT_EQ(read(floorsMember(40, {{8, bad[0].entry}})), 9);
  EXPECT_EQ(map_.getNSublocations(), 0u);

  // Deleted entries are left out; only the exact word counts.
  makeMap({1});
  ASSERT_EQ(read(floorsMember(40, {{1, beaconXml("1", "1", kUuid, "status=\"del\"") +
                                           beaconXml("1", "2", kUuid, "status=\"DEL\"")}})),
            0);
  ASSERT_EQ(keys(0).size(), 1u);
  EXPECT_EQ(map_.getSublocationPtrByIndex(0)->getBeacons()[0].getStatus(), "DEL");
}

TEST_F(TransmittersTest, AFloorMissingFromTheMemberStopsTheRead) {
  const std::string good = beaconXml("1", "1", kUuid);
  makeMap({1, 2, 3});
  EXPECT_EQ(read(floorsMember(40, {{1, good}, {3, good}})), 9);
  EXPECT_EQ(keys(0).size(), 1u);  // earlier floors keep their lists
  EXPECT_TRUE(keys(2).empty());
  makeMap({1, 2});
  EXPECT_EQ(read("<Location id=\"40\"><Floor id=\"1\"/></Location>"), 5);
  EXPECT_EQ(read("<Location id=\"40\"><Sublocation id=\"1\">"), 21);
  EXPECT_EQ(read("<Floors id=\"40\"/>"), 21);
  EXPECT_EQ(read("<Location><Sublocation id=\"1\"/></Location>"), 5);
  EXPECT_EQ(read("<Location id=\"40abc\"><Sublocation id=\"1\"/></Location>"), 9);
  EXPECT_EQ(read(floorsMember(41, {{1, good}, {2, good}})), 5);
  EXPECT_EQ(read("<Location id=\"40\"><Sublocation/></Location>"), 9);
  EXPECT_EQ(map_.getNSublocations(), 2u);
  makeMap({});
  EXPECT_EQ(read(floorsMember(40, {{1, good}})), 9);
}

TEST_F(TransmittersTest, LocatorsAreKeyedByTheirUuid) {
  makeMap({1, 2});
  LogCapture log(13);
  ASSERT_EQ(read(floorsMember(40, {{2, locatorXml("cc-02") + locatorXml("Cc-02") +
                                           locatorXml("aa-01") + locatorXml("bb", "status=\"del\"")},
                                   {1, locatorXml("dd")}}),
                 "locators.xml"),
            0);
  EXPECT_EQ(keys(1, true), (std::vector<std::string>{"AA-01", "CC-02"}));
  const Beacon& first = map_.getSublocationPtrByIndex(1)->getLocators()[0];
  EXPECT_DOUBLE_EQ(first.getX(), 2.0);
  EXPECT_DOUBLE_EQ(first.getY(), 1.6);
  EXPECT_EQ(first.getLocationId(), 2);
  EXPECT_TRUE(first.getUuid().empty());
  EXPECT_TRUE(log.contains("WARNING: less then 2 locators on floor id=1\n"));

  for (const char* entry : {"<locator ky=\"0\" uuid=\"u\" name=\"n\"/>",
                                   "<locator kx=\"0\" uuid=\"u\" name=\"n\"/>",
                                   "<locator kx=\"0\" ky=\"0\" name=\"n\"/>",
                                   "<locator kx=\"0\" ky=\"0\" uuid=\"u\"/>"}) {
    makeMap({5});
    EXPECT_EQ(read(floorsMember(40, {{5, locatorXml("ok") + entry}}), "locators.xml"), 9) << entry;
    EXPECT_EQ(map_.getNSublocations(), 0u);
  }
}

}  // namespace
