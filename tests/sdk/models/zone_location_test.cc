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
}

TEST(MCZoneTest, RayCrossingsThroughVertices) {
  const MCZone diamond = Zone({{5, 0}, {10, 5}, {5, 10}, {0, 5}});
  auto crossings = [&](double x, double y) {
    int n = 0;
    for (size_t i = 0; i < 4; ++i) n += MCZone::xRay(*P(x, y), *diamond.points[i], *diamond.points[(i + 1) % 4]);
    return n;
  };
  EXPECT_EQ(crossings(-5, 5), 2);
  EXPECT_EQ(crossings(5, 5), 1);
  EXPECT_FALSE(MCZone::xRay(*P(0, 5), *P(1, 0), *P(1, 10, 3)));
  EXPECT_TRUE(MCZone::point(*P(5, 0), *P(0, 0), *P(10, 0)));
  EXPECT_FALSE(MCZone::point(*P(11, 0), *P(0, 0), *P(10, 0)));
}

TEST(MCZoneTest, Center) {
  auto c = Zone({{0, 0}, {4, 0}, {0, 3}}).center();
  ASSERT_TRUE(c);
  EXPECT_EQ(c->x.doubleValue(), 1.5);
  EXPECT_EQ(c->y.doubleValue(), 1.0);
  EXPECT_EQ(c->sublocation, 2);

  MCZone same = Zone({{3, 3}, {3, 3}, {3, 3}});
  EXPECT_EQ(same.center(), same.points[0]);
  MCZone one = Zone({{3, 3}});
  EXPECT_EQ(one.center(), one.points[0]);
  MCZone split = Zone({{0, 0}, {4, 0}});
  split.points.push_back(P(0, 3, 9));  // a vertex on another floor
  EXPECT_EQ(split.center(), split.points[0]);
  EXPECT_EQ(Zone({}).center(), nullptr);
  MCZone holes = Zone({{0, 0}, {4, 0}});
  holes.points.push_back(nullptr);
  holes.center();  // a host's missing vertex: no crash
  EXPECT_FALSE(holes.containsPoint(*P(1, 1)));
}

TEST(MCLocationTest, CopiesShareFloorListsAndDropDeclination) {
  auto floor = std::make_shared<MCSublocation>();
  floor->id = 2, floor->location = 1, floor->magneticDeclination = 4, floor->name = "G";
  auto zone = std::make_shared<MCZone>(Zone({{0, 0}}));
  zone->id = 8;
  floor->zones->push_back(zone);
  MCLocation loc;
  loc.id = 1, loc.name = "L", loc.version = 3, loc.modified = true;
  loc.sublocations = {floor};

  auto copy = MCLocation::initWithLocation(loc);
  ASSERT_EQ(copy->sublocations.size(), 1u);
  auto cf = copy->sublocations[0];
  EXPECT_NE(cf, floor);
  EXPECT_EQ(cf->magneticDeclination, 0.0f);
  EXPECT_EQ(cf->name, "G");
  EXPECT_TRUE(copy->modified);
  cf->beacons->push_back(std::make_shared<MCBeacon>());
  EXPECT_EQ(floor->beacons->size(), 1u);

  EXPECT_EQ(copy->subLocationWithId(2), cf);
  EXPECT_EQ(copy->subLocationWithId(5), nullptr);
  EXPECT_EQ(copy->zoneWithId(8), zone);
  EXPECT_EQ(copy->zoneWithId(9), nullptr);
  EXPECT_EQ(loc.viewController(), nullptr);
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
}

}  // namespace
