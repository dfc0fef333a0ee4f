// Validity rules at their boundaries, descriptions, distances and the offset
// rule of queued readings.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <regex>

#include "MCModels/mc_device_info.h"
#include "MCModels/mc_location.h"
#include "MCModels/mc_scan_entry.h"
#include "platform/testing.h"

namespace {

// An info just valid; `spoil` takes one condition away.
bool Info(const std::function<void(MCDeviceInfo&)>& spoil) {
  MCDeviceInfo d;
  d.location = 1, d.sublocation = 1, d.x = d.y = d.r = 0.1f, d.time = kMCReferenceDate + 1;
  spoil(d);
  return d.isValid();
}

TEST(ModelRules, ValidityBoundaries) {
  MCBeacon b;
  b.id = b.location = 1;
  MCSublocation s;
  s.id = 1;
  MCZone z;
  z.id = z.location = 1;
  MCVenue v;
  v.location = v.sublocation = 1;
  MCRoutePath one;
  one.points.resize(1);
  MCRouteEvent turn;
  turn.type = 1;
  const struct {
    const char* name;
    bool valid, expected;
  } cases[] = {
      {"fresh info", MCDeviceInfo().isValid(), false},
      {"good info", Info([](auto&) {}), true},
      {"info at reference date", Info([](auto& d) { d.time = kMCReferenceDate; }), false},
      {"info with error", Info([](auto& d) { d.error = platform::Error::make("d", 4); }), false},
      {"info r 0", Info([](auto& d) { d.r = 0; }), false},
      {"info floor 0", Info([](auto& d) { d.sublocation = 0; }), false},
      {"path one point", one.isValid(), false},
      {"event type 0", MCRouteEvent().isValid(), false},
      {"event type 1", turn.isValid(), true},
      {"point 1/1", MCLocationPoint::pointWithLocation(1, 1, 0, 0)->isValid(), true},
      {"point 1/0", MCLocationPoint::pointWithLocation(1, 0, 0, 0)->isValid(), false},
      {"lat -88.999 lon 180", MCGlobalPoint::pointWithLatitude(-88.999, 180.0)->isValid(), true},
      {"lat 89", MCGlobalPoint::pointWithLatitude(89.0, 0)->isValid(), false},
      {"lon -180.0000001", MCGlobalPoint::pointWithLatitude(0, -180.0000001)->isValid(), false},
      {"beacon floor 0", b.isValid(), false},
      {"location 0", MCLocation().isValid(), false},
      {"floor 1 of location 0", s.isValid(), false},
      {"zone floor 0", z.isValid(), false},
      {"venue id 0", v.isValid(), false},
      {"category 0", MCCategory().isValid(), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.valid, c.expected) << c.name;
  b.sublocation = s.location = z.sublocation = v.id = 1;
  one.points.resize(2);
  EXPECT_TRUE(b.isValid() && s.isValid() && z.isValid() && v.isValid() && one.isValid());
}

TEST(ModelRules, Descriptions) {
  const std::string self = "<[A-Za-z]+: 0x[0-9a-f]+>";
  MCRouteEvent e;
  e.distance = 2.5f, e.value = -90, e.type = 2;
  MCRoutePath p;
  p.events = {std::make_shared<MCRouteEvent>(e)}, p.lenght = 3;
  MCBeacon b;
  b.id = 4, b.name = "n", b.uuid = "U", b.x = MCNumber(1.5), b.status = 3;
  MCSublocation s;
  s.id = 2, s.width = 10, s.latitude = 1.5;
  const std::pair<std::string, std::string> cases[] = {
      {p.description(), "MCMCRoutePath description: " + self + " path: \\(\n\\) events: \\(\n    "
                        "MCRouteEvent description: " + self + " distance: 2.500000 value: -90 type: 2\n\\) length: 3.000000"},
      {b.description(), "MCBeacon description:" + self + " id: 4 location id: 0 sublocation id: 0 "
                        "major: 0 minor: 0 name: n uuid: U x: 1.5 y: 0 status:3"},
      {s.description(), "MCSublocation description: " + self + " id: 2 location id: 0 name:  svg file:  "
                        "png file:  jpg file:  width: 10.000000 height: 0.000000 azimuth: 0.000000 gps "
                        "latitude: 1.500000  gps longitude: 0.000000 beacons: [\\s\\S]* archive: "},
  };
  for (const auto& [text, pattern] : cases) EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << text;
}

TEST(ModelRules, Distances) {
  auto a = MCLocationPoint::pointWithLocation(1, 2, 0, 0);
  EXPECT_EQ(a->distanceTo(*MCLocationPoint::pointWithLocation(1, 2, MCNumber(3.0), 4)), 5.0);
  EXPECT_TRUE(std::isnan(a->distanceTo(*MCLocationPoint::pointWithLocation(1, 3, 0, 0))));
  auto g = MCGlobalPoint::pointWithLatitude(10, 20);
  EXPECT_NEAR(g->distanceTo(*MCGlobalPoint::pointWithLatitude(11, 20)), 6378137.0 * M_PI / 180, 1e-6);
}

TEST(ModelRules, OffsetTruncatesTowardZero) {
  const struct {
    platform::WallTime scan, tick;
    int64_t offset;
  } cases[] = {
      {{100, 999000}, {101, 200}, 2},  {{100, 1500}, {100, 0}, -1},  {{100, 0}, {100, 1999}, 1},
      {{100, 500}, {99, 999999}, -1},  {{5, 0}, {3, 0}, -2000},
      {{INT64_MIN, 0}, {INT64_MAX, 0}, INT64_MAX},  // saturates
  };
  for (const auto& c : cases) {
    MCScanEntry s = MCScanEntry::initWithWScanEntry(WScanEntry());
    s.setScanTime(c.scan);
    s.calculateOffsetWithTime(c.tick);
    MCSensorEntry e = MCSensorEntry::initWithSensorEntry(SensorEntry());
    e.setScanTime(c.scan);
    e.calculateOffsetWithTime(c.tick);
    EXPECT_EQ(s.wscanEntry().offset, c.offset) << c.scan.seconds << "." << c.scan.microseconds;
    EXPECT_EQ(e.sensorEntry().offset, c.offset);
  }
  platform::testing::useManualClock({1767225600, 123456});
  WScanEntry w;
  w.bssid = "b", w.ssid = "s";
  MCScanEntry s = MCScanEntry::initWithWScanEntry(w);
  EXPECT_EQ(s.scanTime(), (platform::WallTime{1767225600, 123456}));
  EXPECT_EQ(s.wscanEntry().ssid, "s");
  platform::testing::useRealClock();
}

}  // namespace
