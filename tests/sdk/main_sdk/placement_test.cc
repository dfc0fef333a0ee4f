#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "MCArchiveManager/mc_archive_manager.h"
#include "MainSDK/main_sdk.h"
#include "Foundation/marvisto_error.h"
#include "sdk/coordinator_scene.h"

namespace {

using sdk_test::CoordinatorScene;
using sdk_test::SharedScene;

std::string Key(int major, int minor, const std::string& uuid) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "(%05d,%05d,%s)", major, minor, uuid.c_str());
  return buf;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A beacon placed, moved and removed reaches beacons.xml and version.txt and reads back
// through the engine's loader, its name intact.
TEST(BeaconPlacementTest, PlacedMovedRemovedBeaconsSurviveTheArchiveRoundTrip) {
  CoordinatorScene c;
  c.install("venue", SharedScene().map);
  c.sdk->loadArchive("venue", nullptr);
  const auto floor = c.sdk->location()->sublocations.at(0);
  const auto existing = *floor->beacons->at(0);
  const std::string fresh = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";
  const std::string name = "Caf\xC3\xA9 \"A\" <b> & 'c'";
  struct Case {
    int64_t floor;
    std::optional<std::string> key;
    std::string heard;
  } cases[] = {
      {floor->id, Key(12, 345, fresh), fresh},
      {floor->id, Key(12, 345, fresh), "error 11"},
      {floor->id, Key(int(existing.major), int(existing.minor), Lower(existing.uuid)), "error 11"},
      {floor->id, "(00012,00345,E2C56DB5)", "error 12"},
      {floor->id, "(0001x,00345," + fresh + ")", "error 12"},
      {999, Key(13, 1, fresh), "error 12"},
      {floor->id, std::nullopt, "error 7"},
  };
  for (const Case& k : cases) {
    MCBeacon spot;
    spot.sublocation = k.floor;
    spot.x = 4.5;
    spot.y = 3.25;
    spot.name = name;
    c.sdk->startMeasureNearestBeacon(spot);
    c.sdk->beaconFounded(k.key, k.key ? std::nullopt
                                      : std::optional<platform::Error>(MarvistoError(7, "none")));
    EXPECT_EQ(c.heard.placed.back(), k.heard) << k.key.value_or("none");
    // The placement's own refusals use codes of the SDK's error table.
    if (k.key && k.heard.starts_with("error ")) {
      EXPECT_TRUE(MarvistoErrorIsListed(std::stoll(k.heard.substr(6)))) << k.heard;
    }
  }
  ASSERT_EQ(floor->beacons->back()->uuid, fresh);
  floor->beacons->back()->x = 6.0;  // moved on the map screen
  c.sdk->removeMeasuredBeacon(existing);
  ASSERT_TRUE(c.sdk->saveBeaconsXML());
  const auto xml = c.sdk->managers().archiveManager->dataFromFile("beacons.xml", nullptr);
  ASSERT_TRUE(xml);
  EXPECT_NE(std::string(xml->begin(), xml->end()).find(" A=\""), std::string::npos);  // kept

  const auto version = c.sdk->currentVersionAt(c.sdk->location()->archiveFile, nullptr);
  EXPECT_EQ(version, std::to_string(c.sdk->location()->version) + "+");
  std::optional<platform::Error> error;
  c.sdk->loadArchive("venue", &error);
  ASSERT_FALSE(error) << error->localizedDescription;
  const auto reloaded = c.sdk->location()->sublocations.at(0);
  ASSERT_EQ(reloaded->beacons->size(), floor->beacons->size() - 1);  // the deleted one is gone
  const auto placed = reloaded->beacons->back();
  EXPECT_EQ(placed->name, name);
  EXPECT_EQ(placed->major, 12);
  EXPECT_EQ(placed->status, 1);
  EXPECT_NEAR(placed->x.doubleValue(), 6.0, 1e-4);
  EXPECT_TRUE(c.sdk->location()->modified);
  EXPECT_FALSE(c.sdk->isBeaconNew(*placed));
  // Ranging covers the built-in UUIDs and the location's, each once.
  const auto uuids = c.sdk->uuids();
  EXPECT_EQ(std::set<std::string>(uuids.begin(), uuids.end()).size(), uuids.size());
  EXPECT_EQ(std::count(uuids.begin(), uuids.end(), MainSDK::kBuiltInUuids[1]), 1);
  EXPECT_EQ(std::count(uuids.begin(), uuids.end(), fresh), 1);
}

}  // namespace
