#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "map_fixtures.h"
#include "wifipos/beacon_key.h"
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
    map_ = NavigationMap(EngineBehaviour::kit());
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
  NavigationMap map_{EngineBehaviour::kit()};
};

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

// The reader names each beacon with the one key readings are built with, from
// the numbers the beacon carries, so a reading finds its beacon.
TEST_F(TransmittersTest, BeaconsAreKeyedAsTheirReadingsAre) {
  const struct {
    const char *major, *minor, *uuid, *key;
  } cases[] = {
      {"1", "7", kUuid.c_str(), "(00001,00007,F7826DA6-4FA2-4E98-8024-BC5B71E0893E)"},
      {"65535", "0", kUpper.c_str(), "(65535,00000,F7826DA6-4FA2-4E98-8024-BC5B71E0893E)"},
      {"00042", "42", "a07c5ca8-59eb-4ea8-9956-30b776e0fedc",
       "(00042,00042,A07C5CA8-59EB-4EA8-9956-30B776E0FEDC)"},
      // A number the text only starts with: the key agrees with the beacon's major.
      {"3x", "", "ab", "(00003,00000,AB)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    makeMap({1});
    ASSERT_EQ(read(floorsMember(40, {{1, beaconXml(c.major, c.minor, c.uuid)}})), 0);
    const Beacon& b = map_.getSublocationPtrByIndex(0)->getBeacons().at(0);
    EXPECT_EQ(b.getId(), c.key);
    EXPECT_EQ(MakeBeaconKey(b.getMajor(), b.getMinor(), c.uuid), c.key);
  }
}

}  // namespace
