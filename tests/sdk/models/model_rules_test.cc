// Validity rules at their boundaries, descriptions, distances and the offset
// rule of queued readings.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <regex>

#include "MCModels/mc_beacon.h"
#include "MCModels/mc_device_info.h"
#include "MCModels/mc_global_point.h"
#include "MCModels/mc_location.h"
#include "MCModels/mc_route_path.h"
#include "MCModels/mc_scan_entry.h"

namespace {

MCDeviceInfo GoodInfo() {
  MCDeviceInfo d;
  d.location = 1, d.sublocation = 1, d.x = 0.1f, d.y = 0.1f, d.r = 0.1f;
  d.time = kMCReferenceDate + 1;
  return d;
}

TEST(ModelRules, ValidityBoundaries) {
  const struct {
    const char* name;
    std::function<bool()> valid;
    bool expected;
  } cases[] = {
      {"fresh info", [] { return MCDeviceInfo().isValid(); }, false},
      {"good info", [] { return GoodInfo().isValid(); }, true},
      {"info at reference date", [] { auto d = GoodInfo(); d.time = kMCReferenceDate; return d.isValid(); }, false},
      {"info with error", [] { auto d = GoodInfo(); d.error = platform::Error::make("d", 4); return d.isValid(); }, false},
      {"info x 0", [] { auto d = GoodInfo(); d.x = 0; return d.isValid(); }, false},
      {"info r 0", [] { auto d = GoodInfo(); d.r = 0; return d.isValid(); }, false},
      {"info floor 0", [] { auto d = GoodInfo(); d.sublocation = 0; return d.isValid(); }, false},
      {"path one point", [] { MCRoutePath p; p.points = {std::make_shared<MCLocationPoint>()}; return p.isValid(); }, false},
      {"path two points", [] { MCRoutePath p; p.points.resize(2); return p.isValid(); }, true},
      {"event type 0", [] { return MCRouteEvent().isValid(); }, false},
      {"event type 1", [] { MCRouteEvent e; e.type = 1; return e.isValid(); }, true},
      {"point 1/1", [] { return MCLocationPoint::pointWithLocation(1, 1, 0, 0)->isValid(); }, true},
      {"point 1/0", [] { return MCLocationPoint::pointWithLocation(1, 0, 0, 0)->isValid(); }, false},
      {"lat 88.999", [] { return MCGlobalPoint::pointWithLatitude(-88.999, 180.0)->isValid(); }, true},
      {"lat 89", [] { return MCGlobalPoint::pointWithLatitude(89.0, 0)->isValid(); }, false},
      {"lon 180.0000001", [] { return MCGlobalPoint::pointWithLatitude(0, -180.0000001)->isValid(); }, false},
      {"beacon fresh", [] { return MCBeacon().isValid(); }, false},
      {"beacon floor 0", [] { MCBeacon b; b.id = 1, b.location = 1; return b.isValid(); }, false},
      {"beacon 1/1/1", [] { MCBeacon b; b.id = b.location = b.sublocation = 1; return b.isValid(); }, true},
      {"location 0", [] { return MCLocation().isValid(); }, false},
      {"location 1", [] { MCLocation l; l.id = 1; return l.isValid(); }, true},
      {"floor 1 of location 0", [] { MCSublocation s; s.id = 1; return s.isValid(); }, false},
      {"floor 1 of location 1", [] { MCSublocation s; s.id = s.location = 1; return s.isValid(); }, true},
      {"zone floor 0", [] { MCZone z; z.id = z.location = 1; return z.isValid(); }, false},
      {"zone 1/1/1", [] { MCZone z; z.id = z.location = z.sublocation = 1; return z.isValid(); }, true},
      {"venue 1/1/1", [] { MCVenue v; v.id = v.location = v.sublocation = 1; return v.isValid(); }, true},
      {"venue id 0", [] { MCVenue v; v.location = v.sublocation = 1; return v.isValid(); }, false},
      {"category 0", [] { return MCCategory().isValid(); }, false},
      {"category 1", [] { MCCategory c; c.id = 1; return c.isValid(); }, true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.valid(), c.expected) << c.name;
}

TEST(ModelRules, Descriptions) {
  const std::string self = "<[A-Za-z]+: 0x[0-9a-f]+>";
  MCRouteEvent e;
  e.distance = 2.5f, e.value = -90, e.type = 2;
  MCRoutePath p;
  p.events = {std::make_shared<MCRouteEvent>(e)};
  p.lenght = 3;
  MCBeacon b;
  b.id = 4, b.major = 1, b.minor = 2, b.name = "n", b.uuid = "U", b.x = MCNumber(1.5), b.status = 3;
  MCSublocation s;
  s.id = 2, s.location = 1, s.width = 10, s.latitude = 1.5;
  MCLocation l;
  l.id = 1, l.modified = true;
  const struct {
    std::string text, pattern;
  } cases[] = {
      {e.description(), "MCRouteEvent description: " + self + " distance: 2.500000 value: -90 type: 2"},
      {p.description(), "MCMCRoutePath description: " + self +
                            " path: \\(\n\\) events: \\(\n    MCRouteEvent description: .*\n\\) length: 3.000000"},
      {MCLocationPoint::pointWithLocation(1, 2, MCNumber(1.5), 0)->description(),
       "MCLocationPoint description: " + self + " location id: 1 sublocation id: 2 x: 1.5 y: 0"},
      {MCGlobalPoint::pointWithLatitude(1, -2)->description(),
       "MCGlobalPoint description: " + self + " latitude: 1.000000 longitude: -2.000000"},
      {b.description(), "MCBeacon description:" + self +
                            " id: 4 location id: 0 sublocation id: 0 major: 1 minor: 2 name: n uuid: U x: 1.5 y: 0 status:3"},
      {s.description(), "MCSublocation description: " + self +
                            " id: 2 location id: 1 name:  svg file:  png file:  jpg file:  width: 10.000000 "
                            "height: 0.000000 azimuth: 0.000000 gps latitude: 1.500000  gps longitude: 0.000000 "
                            "beacons: \\(\n\\) zones: \\(\n\\) venues: \\(\n\\) archive: "},
      {l.description(), "MCLocation description: " + self +
                            " id: 1 name:  localDescription:  version: 0 modified: 1 archive:  sublocations: \\(\n\\)"},
      {MCZone().description(), "MCZone description: " + self +
                                   " id: 0 location id: 0 sublocation id: 0 name:  alias:  color:  points: \\(\n\\)"},
      {MCCategory().description(), "MCCategory description: " + self + " id: 0 name: "},
      {MCVenue().description(), "MCVenue description: " + self +
                                    " id: 0 location id: 0 sublocation id: 0 name:  x: 0 y: 0 image: .* phone:  "
                                    "description:  alias:  category: MCCategory description: .*"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(std::regex_match(c.text, std::regex(c.pattern))) << c.text;
  }
}

TEST(ModelRules, Distances) {
  auto a = MCLocationPoint::pointWithLocation(1, 2, 0, 0);
  auto b = MCLocationPoint::pointWithLocation(1, 2, MCNumber(3.0), MCNumber(int64_t{4}));
  auto other = MCLocationPoint::pointWithLocation(1, 3, 0, 0);
  EXPECT_EQ(a->distanceTo(*b), 5.0);
  EXPECT_EQ(a->distanceTo(*a), 0.0);
  EXPECT_TRUE(std::isnan(a->distanceTo(*other)));
  auto g = MCGlobalPoint::pointWithLatitude(10, 20);
  EXPECT_EQ(g->distanceTo(*g), 0.0);
  EXPECT_NEAR(g->distanceTo(*MCGlobalPoint::pointWithLatitude(11, 20)), 6378137.0 * M_PI / 180, 1e-6);
}

TEST(ModelRules, OffsetTruncatesTowardZero) {
  const struct {
    platform::WallTime scan, tick;
    int64_t offset;
  } cases[] = {
      {{100, 999000}, {101, 200}, 2},
      {{100, 1500}, {100, 0}, -1},       // 1.5 ms after the tick
      {{100, 0}, {100, 1999}, 1},
      {{100, 500}, {99, 999999}, -1},    // 0.501 ms after, across a second
      {{5, 0}, {3, 0}, -2000},
      {{INT64_MIN, 0}, {INT64_MAX, 0}, INT64_MAX},  // saturates
  };
  for (const auto& c : cases) {
    MCScanEntry s = MCScanEntry::initWithWScanEntry(WScanEntry());
    s.setScanTime(c.scan);
    s.calculateOffsetWithTime(c.tick);
    EXPECT_EQ(s.wscanEntry().offset, c.offset) << c.scan.seconds << "." << c.scan.microseconds;
    MCSensorEntry e = MCSensorEntry::initWithSensorEntry(SensorEntry());
    e.setScanTime(c.scan);
    e.calculateOffsetWithTime(c.tick);
    EXPECT_EQ(e.sensorEntry().offset, c.offset);
  }
}

TEST(ModelRules, QueuedReadingKeepsRecordAndStampsClock) {
  WScanEntry w;
  w.bssid = "(00001,00002,U)", w.ssid = "s", w.rssi = -70;
  MCScanEntry s = MCScanEntry::initWithWScanEntry(w);
  const auto now = platform::Clock::now();
  EXPECT_LE(s.scanTime().seconds, now.seconds);
  EXPECT_GE(s.scanTime().seconds, now.seconds - 1);
  WScanEntry copy = s.wscanEntry();
  copy.bssid = "changed";
  EXPECT_EQ(s.wscanEntry().bssid, w.bssid);
  EXPECT_EQ(s.wscanEntry().ssid, "s");
}

}  // namespace
