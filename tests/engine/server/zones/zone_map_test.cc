#include <random>
#include <string>

#include <gtest/gtest.h>

#include "server/zones/zones.h"

namespace {

const std::string kConfig =
    "<Location id=\"42\"><Sublocation id=\"1\"><Metrics width_meters=\"100\" height_meters=\"50\"/>"
    "</Sublocation><Sublocation id=\"2\"><Metrics width_meters=\"1\" height_meters=\"2\"/>"
    "<Metrics width_meters=\"80\" height_meters=\"40\"/></Sublocation></Location>";

// Written zones read back equal: texts exactly, whatever characters they hold,
// vertices to 1e-6 of the floor size; writing again gives the same text.
TEST(ZoneMapWrite, WrittenZonesReadBackEqual) {
  std::mt19937 rng(20261206);
  const std::string alphabet = "aZ09 &<>\"'\t\n\r\x01\x1f;=/#\xc3\xa9";
  auto text = [&](size_t n) {
    std::string s;
    while (n--) s += alphabet[rng() % alphabet.size()];
    return s;
  };
  ZoneMap map;
  map.setLocation(77);
  std::string config = "<Location id=\"77\">";
  for (int f = 1; f <= 3; ++f) {
    ZoneMap::SubLocation floor(f, 10.0 + 37.5 * f, 5.0 + 11.25 * f);
    config += "<Sublocation id=\"" + std::to_string(f) + "\"><Metrics width_meters=\"" +
              std::to_string(floor.width) + "\" height_meters=\"" + std::to_string(floor.height) +
              "\"/></Sublocation>";
    for (int z = 1; z <= 6; ++z) {
      Zone zone;
      zone.id = z * 3;
      zone.name = text(rng() % 12);
      zone.color = text(rng() % 8);
      zone.alias = text(rng() % 8);
      zone.timeout = static_cast<int>(rng() % 1000);
      for (int v = static_cast<int>(rng() % 7); v > 0; --v)
        zone.points.emplace_back(f, (rng() % 1000) * floor.width / 999, (rng() % 1000) * floor.height / 999);
      floor.addZone(zone);
    }
    map.addSubLocation(floor);
  }
  std::string error;
  bool ok = false;
  const ZoneMap back = ZoneMap::parse(config + "</Location>", map.toString(), &error, &ok);
  ASSERT_TRUE(ok) << error;
  for (int f = 1; f <= 3; ++f) {
    const ZoneMap::SubLocation floor = map.getSubLocation(f);
    ASSERT_EQ(back.getZones(f).size(), floor.zones.size());
    for (const auto& [id, za] : floor.zones) {
      const Zone zb = back.getZone(f, id);
      EXPECT_EQ(zb.name, za.name);
      EXPECT_EQ(zb.color, za.color);
      EXPECT_EQ(zb.alias, za.alias);
      EXPECT_EQ(zb.timeout, za.timeout);
      ASSERT_EQ(zb.points.size(), za.points.size());
      for (size_t i = 0; i < za.points.size(); ++i) {
        EXPECT_NEAR(zb.points[i].x, za.points[i].x, 1e-6 * floor.width);
        EXPECT_NEAR(zb.points[i].y, za.points[i].y, 1e-6 * floor.height);
      }
    }
  }
  EXPECT_EQ(back.toString(), map.toString());

  ZoneMap small;
  small.setLocation(5);
  ZoneMap::SubLocation floor(2, 20, 10);
  floor.addZone(Zone{4, "A&B", "#0f0", "a", {LocationPoint(2, 2, 1)}, 9});
  small.addSubLocation(floor);
  small.addSubLocation(ZoneMap::SubLocation(1, 5, 5));
  EXPECT_EQ(small.toString(),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Location id=\"5\">\n"
            "  <Sublocation id=\"1\">\n  </Sublocation>\n  <Sublocation id=\"2\">\n"
            "    <Zone id=\"4\" name=\"A&amp;B\" color=\"#0f0\" alias=\"a\" timeout=\"9\" type=\"polygon\">\n"
            "      <Polygon>\n        <Vertex kx=\"0.100000\" ky=\"0.100000\"/>\n      </Polygon>\n"
            "    </Zone>\n  </Sublocation>\n</Location>\n");
}

}  // namespace
