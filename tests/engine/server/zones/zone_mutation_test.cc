#include <random>
#include <string>

#include <gtest/gtest.h>

#include "server/zones/zones.h"
#include "text_mutation.h"

namespace {

std::string Mutate(const std::string& s, std::mt19937& rng) {
  static const std::vector<std::string> pieces = {
      "<", ">", "/", "\"", "=", "&", "&#", "-1", "1e308", "nan", "</", "<Zone id=\"9\">",
      "<Vertex kx=\"2\"/>", "<!--", "\xff", " "};
  return testmut::Mutate(s, rng, pieces);
}

// Mutated members end in a clear verdict: a failure leaves an empty map and an
// error text; a success gives sane floors, working lookups and a written form
// that reads back to the same text.
TEST(ZoneMapMutation, MutatedMembersNeverCrashAndKeepInvariants) {
  const std::string config =
      "<Location id=\"3\"><Sublocation id=\"1\"><Metrics width_meters=\"40.5\" height_meters=\"30\"/>"
      "</Sublocation><Sublocation id=\"2\"><Metrics width_meters=\"12\" height_meters=\"9\"/>"
      "</Sublocation></Location>";
  const std::string zones =
      "<Location id=\"3\"><Sublocation id=\"1\">"
      "<Zone id=\"1\" name=\"A &amp; B\" color=\"#abc\" alias=\"e\" timeout=\"5\"><Polygon>"
      "<Vertex kx=\"0.1\" ky=\"0.1\"/><Vertex kx=\"0.4\" ky=\"0.1\"/><Vertex kx=\"0.25\" ky=\"0.6\"/>"
      "</Polygon></Zone><Zone id=\"2\" name=\"Hall\"><Polygon><Vertex kx=\"0.5\" ky=\"0.5\"/>"
      "<Vertex kx=\"0.9\" ky=\"0.5\"/><Vertex kx=\"0.7\" ky=\"0.7\"/><Vertex kx=\"0.5\" ky=\"0.9\"/>"
      "</Polygon></Zone></Sublocation><Sublocation id=\"2\"><Zone id=\"4\"><Polygon>"
      "<Vertex kx=\"0\" ky=\"0\"/><Vertex kx=\"1\" ky=\"1\"/></Polygon></Zone></Sublocation></Location>";
  std::mt19937 rng(0x5a0e5);
  int accepted = 0;
  for (int iter = 0; iter < 3000; ++iter) {
    const unsigned which = rng() % 3;
    const std::string c = which != 1 ? Mutate(config, rng) : config;
    const std::string z = which != 0 ? Mutate(zones, rng) : zones;
    std::string error;
    bool ok = false;
    const ZoneMap map = ZoneMap::parse(c, z, &error, &ok);
    if (!ok) {
      EXPECT_TRUE(map.isEmpty());
      EXPECT_FALSE(error.empty());
      continue;
    }
    ++accepted;
    for (int f = 1; f <= 2; ++f) {
      const ZoneMap::SubLocation floor = map.getSubLocation(f);
      if (floor.id == 0) continue;
      EXPECT_TRUE(floor.width >= 1.0 && floor.height >= 1.0);
      map.getZones(f, 0.3 * floor.width, 0.4 * floor.height);
    }
    const ZoneMap back = ZoneMap::parse(c, map.toString(), &error, &ok);
    ASSERT_TRUE(ok) << error << "\n" << map.toString();
    EXPECT_EQ(back.toString(), map.toString());
  }
  EXPECT_GT(accepted, 60) << accepted;  // the success path is exercised too
}

}  // namespace
