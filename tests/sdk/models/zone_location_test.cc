// The point-in-zone test, the zone's centre and the location models' lookups,
// copies and coordinate conversions.
#include <gtest/gtest.h>

#include <cmath>

#include "MCModels/mc_location.h"

namespace {

std::shared_ptr<MCLocationPoint> P(double x, double y, int64_t floor = 2) {
  return MCLocationPoint::pointWithLocation(1, floor, MCNumber(x), MCNumber(y));
}

MCZone Zone(std::initializer_list<std::pair<double, double>> vertices) {
  MCZone z;
  z.id = 1, z.location = 1, z.sublocation = 2;
  for (auto [x, y] : vertices) z.points.push_back(P(x, y));
  return z;
}

TEST(MCZoneTest, ContainsPoint) {
  const MCZone square = Zone({{0, 0}, {10, 0}, {10, 10}, {0, 10}});
  const MCZone diamond = Zone({{5, 0}, {10, 5}, {5, 10}, {0, 5}});
  const struct {
    const MCZone& zone;
    double x, y;
    int64_t floor;
    bool inside;
  } cases[] = {
      {square, 5, 5, 2, true},    {square, 10, 5, 2, true},  {square, 0, 0, 2, true},
      {square, 15, 5, 2, false},  {square, 5, 15, 2, false}, {square, 5, 5, 3, false},
      {square, -5, 0, 2, false},  {square, 5, 0, 2, true},   {diamond, -5, 5, 2, false},
      {diamond, 5, 5, 2, true},   {diamond, 7.5, 2.5, 2, true}, {diamond, 9, 9, 2, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.zone.containsPoint(*P(c.x, c.y, c.floor)), c.inside) << c.x << "," << c.y;
  }
  EXPECT_FALSE(Zone({}).containsPoint(*P(0, 0)));
  EXPECT_FALSE(MCZone::xRay(*P(0, 5), *P(1, 0), *P(1, 10, 3)));  // an edge end on another floor
}

TEST(MCZoneTest, Center) {
  auto c = Zone({{0, 0}, {4, 0}, {0, 3}}).center();
  ASSERT_TRUE(c);
  EXPECT_EQ(c->x.doubleValue(), 1.5);
  EXPECT_EQ(c->y.doubleValue(), 1.0);
  EXPECT_EQ(c->sublocation, 2);

  // No length: the first vertex itself (coincident, single, a vertex on another floor).
  MCZone same = Zone({{3, 3}, {3, 3}, {3, 3}}), one = Zone({{3, 3}}), split = Zone({{0, 0}, {4, 0}});
  split.points.push_back(P(0, 3, 9));
  for (const MCZone* z : {&same, &one, &split}) EXPECT_EQ(z->center(), z->points[0]);
  EXPECT_EQ(Zone({}).center(), nullptr);
  MCZone holes = Zone({{0, 0}, {4, 0}});
  holes.points.push_back(nullptr);  // a host's missing vertex: no crash
  EXPECT_EQ(holes.center()->x.doubleValue(), 2.0);
  EXPECT_FALSE(holes.containsPoint(*P(1, 1)));
}

TEST(MCLocationTest, CopiesShareFloorListsAndDropDeclination) {
  auto floor = std::make_shared<MCSublocation>();
  floor->id = 2, floor->magneticDeclination = 4, floor->name = "G";
  auto zone = std::make_shared<MCZone>(Zone({{0, 0}}));
  zone->id = 8;
  floor->zones->push_back(zone);
  MCLocation loc;
  loc.id = 1, loc.modified = true, loc.sublocations = {floor};
  auto copy = MCLocation::initWithLocation(loc);
  auto cf = copy->sublocations.at(0);
  EXPECT_TRUE(cf != floor && cf->magneticDeclination == 0 && cf->name == "G" && copy->modified);
  cf->beacons->push_back(std::make_shared<MCBeacon>());
  EXPECT_EQ(floor->beacons->size(), 1u);
  EXPECT_TRUE(copy->subLocationWithId(2) == cf && !copy->subLocationWithId(5));
  EXPECT_TRUE(copy->zoneWithId(8) == zone && !copy->zoneWithId(9) && !loc.viewController());
}

TEST(MCLocationTest, FloorGpsRoundTrip) {
  MCSublocation s;
  s.id = 2, s.location = 1, s.width = 60, s.height = 30, s.azimuth = 25;
  s.latitude = 52.5, s.longitude = 13.4;
  auto centre = s.gpsFromLocal(*P(30, 15));
  EXPECT_NEAR(centre->latitude, 52.5, 1e-12);
  EXPECT_NEAR(centre->longitude, 13.4, 1e-12);
  auto g = s.gpsFromLocal(*P(7, 21));
  auto back = s.localFromGps(*g);
  EXPECT_EQ(back->sublocation, 2);
  EXPECT_EQ(back->location, 1);
  EXPECT_NEAR(back->x.doubleValue(), 7, 1e-6);
  EXPECT_NEAR(back->y.doubleValue(), 21, 1e-6);
  // Near a pole the engine refuses: the anchor itself, or the origin.
  s.latitude = 89.5;
  EXPECT_EQ(s.gpsFromLocal(*P(7, 21))->latitude, 89.5);
  EXPECT_EQ(s.localFromGps(*MCGlobalPoint::pointWithLatitude(89.4, 13))->x.doubleValue(), 30);
}

}  // namespace
