#include <random>
#include <string>

#include <gtest/gtest.h>

#include "server/zones/zones.h"

namespace {

const std::string kConfig =
    "<Location id=\"42\"><Sublocation id=\"1\"><Metrics width_meters=\"100\" height_meters=\"50\"/>"
    "</Sublocation><Sublocation id=\"2\"><Metrics width_meters=\"1\" height_meters=\"2\"/>"
    "<Metrics width_meters=\"80\" height_meters=\"40\"/></Sublocation></Location>";

TEST(ZoneMapParse, ReadsZonesAndAnswersLookups) {
  const std::string zones =
      "<Location><Sublocation id=\"1\">"
      "<Zone id=\"7\" name=\"Cafe\" color=\"#f00\" alias=\"c\" timeout=\"30\"><Polygon>"
      "<Vertex kx=\"0.1\" ky=\"0.1\"/><Vertex kx=\"0.2\" ky=\"0.1\"/><Vertex kx=\"0.2\" ky=\"0.2\"/>"
      "<Vertex kx=\"0.1\" ky=\"0.2\"/></Polygon></Zone>"
      "<Zone id=\"3\" name=\"Hall\"><Polygon><Vertex kx=\"0\" ky=\"0\"/><Vertex kx=\"0.5\" ky=\"0\"/>"
      "<Vertex kx=\"0.5\" ky=\"0.5\"/><Vertex ky=\"0.5\"/></Polygon></Zone>"
      "<Zone id=\"7\" name=\"Again\"/></Sublocation><Sublocation id=\"2\"/></Location>";
  std::string error;
  bool ok = false;
  const ZoneMap map = ZoneMap::parse(kConfig, zones, &error, &ok);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(map.getLocation(), 42);
  EXPECT_DOUBLE_EQ(map.getSubLocation(2).width, 80.0);  // the last Metrics wins
  const Zone cafe = map.getZone(1, 7);                   // the first of one id stays
  EXPECT_EQ(cafe.name + cafe.color + cafe.alias, "Cafe#f00c");
  EXPECT_EQ(cafe.timeout, 30);
  ASSERT_EQ(cafe.points.size(), 4u);
  EXPECT_DOUBLE_EQ(cafe.points[2].x, 20.0);
  EXPECT_DOUBLE_EQ(cafe.points[2].y, 10.0);
  EXPECT_DOUBLE_EQ(map.getZone(1, 3).points[3].y, 25.0);

  const std::vector<Zone> both = map.getZones(1, 15, 7);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].id, 3);  // id order
  EXPECT_EQ(map.getZones(LocationPoint(1, 50, 25)).size(), 1u);  // hall corner
  EXPECT_TRUE(map.getZones(1, 60, 40).empty());
  for (int id : {0, -1, 5}) {
    EXPECT_TRUE(map.getZones(id, 15, 7).empty());
    EXPECT_TRUE(map.getZones(id).empty());
    EXPECT_EQ(map.getSubLocation(id).id, 0);
  }
  EXPECT_EQ(map.getZone(1, 8).id, 0);
  EXPECT_TRUE(ZoneMap().getZones(1, 0, 0).empty());
}

TEST(ZoneMapParse, MalformedMembersGiveTheirErrorTexts) {
  const std::string good = "<Location id=\"1\"><Sublocation id=\"1\"><Metrics width_meters=\"10\" height_meters=\"10\"/></Sublocation></Location>";
  auto floor = [](const char* w, const char* h) {
    return std::string("<Location id=\"1\"><Sublocation id=\"2\"><Metrics width_meters=\"") + w +
           "\" height_meters=\"" + h + "\"/></Sublocation></Location>";
  };
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "<Location id=\"1\">";
  const std::string size = "config.xml: invalid sublocation size\n";
  const struct { std::string config, zones, error; } cases[] = {
      {"", "", "config.xml: no <Location> element!"},
      {"<Loc id=\"1\"/>", "", "config.xml: no <Location> element!"},
      {deep, "", "config.xml: no <Location> element!"},
      {"<Location id=\"abc\"/>", "", "config.xml: invalid location id!"},
      {"<Location id=\"1\"><Sublocation/></Location>", "", "config.xml: invalid sublocation id!"},
      {floor("0.5", "10"), "", size},
      {floor("10", "nan"), "", size},
      {floor("inf", "10"), "", size},
      {"<Location id=\"1\"><Sublocation id=\"2\"/></Location>", "", size},
      {good, deep, "zones.xml: no Location element!\n"},
      {good, "<Zones/>", "zones.xml: no Location element!\n"},
      {good, "<Location><Sublocation id=\"x\"/></Location>", "zones.xml: invalid sublocation id!"},
      {good, "<Location><Sublocation id=\"7\"/></Location>", "zones.xml: unknown sublocation: 7!"},
      {good, "<Location><Sublocation id=\"1\"><Zone name=\"x\"/></Sublocation></Location>",
       "zones.xml: invalid zone identifier (sublocation 1)!"},
  };
  for (const auto& c : cases) {
    std::string error;
    bool ok = true;
    const ZoneMap map = ZoneMap::parse(c.config, c.zones, &error, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, c.error) << c.config << " / " << c.zones;
    EXPECT_TRUE(map.isEmpty());
  }
  // The size error is appended; what was read before a failure stays.
  ZoneMap map;
  std::string error = "x: ";
  EXPECT_FALSE(map.parseConfig(floor("10", "0"), &error));
  EXPECT_EQ(error, "x: " + size);
  EXPECT_EQ(map.getLocation(), 1);
}

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
