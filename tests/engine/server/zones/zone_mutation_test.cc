#include <random>
#include <string>

#include <gtest/gtest.h>

#include "server/zones/zones.h"

namespace {

const char* kConfig =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Location id=\"3\" name=\"Site\">\n"
    "  <Description>demo</Description>\n"
    "  <Sublocation id=\"1\" name=\"A\"><Metrics width_meters=\"40.5\" height_meters=\"30\"/></Sublocation>\n"
    "  <Sublocation id=\"2\" name=\"B\"><Metrics width_meters=\"12\" height_meters=\"9.25\"/></Sublocation>\n"
    "</Location>\n";

const char* kZones =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Location id=\"3\">\n"
    "  <Sublocation id=\"1\">\n"
    "    <Zone id=\"1\" name=\"Entry &amp; lobby\" color=\"#a0b0c0\" alias=\"e\" timeout=\"5\" type=\"polygon\">\n"
    "      <Polygon>\n"
    "        <Vertex kx=\"0.100000\" ky=\"0.100000\"/>\n"
    "        <Vertex kx=\"0.400000\" ky=\"0.100000\"/>\n"
    "        <Vertex kx=\"0.250000\" ky=\"0.600000\"/>\n"
    "      </Polygon>\n"
    "    </Zone>\n"
    "    <Zone id=\"2\" name=\"Hall\" color=\"red\" alias=\"h\" timeout=\"0\" type=\"polygon\">\n"
    "      <Polygon><Vertex kx=\"0.5\" ky=\"0.5\"/><Vertex kx=\"0.9\" ky=\"0.5\"/>"
    "<Vertex kx=\"0.9\" ky=\"0.9\"/><Vertex kx=\"0.7\" ky=\"0.7\"/><Vertex kx=\"0.5\" ky=\"0.9\"/></Polygon>\n"
    "    </Zone>\n"
    "  </Sublocation>\n"
    "  <Sublocation id=\"2\">\n"
    "    <Zone id=\"4\" name=\"Room\"><Polygon><Vertex kx=\"0\" ky=\"0\"/><Vertex kx=\"1\" ky=\"1\"/>"
    "<Vertex kx=\"0\" ky=\"1\"/></Polygon></Zone>\n"
    "  </Sublocation>\n"
    "</Location>\n";

std::string Mutate(std::string s, std::mt19937& rng) {
  static const std::string pieces[] = {"<",  ">",   "/",  "\"", "=",     "&",      "&amp;", "&#",
                                       "-1", "0",   "1e308", "nan", "<Zone id=\"9\">", "<Vertex kx=\"2\"/>",
                                       "</", "<!--", "]]>", "\xff", std::string(1, '\0'), " "};
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits && !s.empty(); ++e) {
    const size_t pos = rng() % s.size();
    switch (rng() % 6) {
      case 0:  // flip one byte
        s[pos] = static_cast<char>(rng() % 256);
        break;
      case 1:  // delete a run
        s.erase(pos, 1 + rng() % 16);
        break;
      case 2:  // insert a markup piece
        s.insert(pos, pieces[rng() % (sizeof pieces / sizeof pieces[0])]);
        break;
      case 3:  // duplicate a run
        s.insert(pos, s.substr(rng() % s.size(), 1 + rng() % 40));
        break;
      case 4:  // truncate
        s.resize(pos);
        break;
      default:  // swap two bytes
        std::swap(s[pos], s[rng() % s.size()]);
        break;
    }
  }
  return s;
}

// Whatever the members hold, parsing ends with a clear verdict, a failure
// leaves an empty map with an error text, and a success gives a map whose
// lookups work and whose written form reads back to the same text.
TEST(ZoneMapMutation, MutatedMembersNeverCrashAndKeepInvariants) {
  std::mt19937 rng(0x5a0e5);
  int accepted = 0;
  for (int iter = 0; iter < 3000; ++iter) {
    std::string config = kConfig, zones = kZones;
    const unsigned which = rng() % 3;
    if (which != 1) config = Mutate(config, rng);
    if (which != 0) zones = Mutate(zones, rng);

    std::string error;
    bool ok = !(iter % 2);
    const ZoneMap map = ZoneMap::parse(config, zones, &error, &ok);
    if (!ok) {
      EXPECT_TRUE(map.isEmpty());
      EXPECT_FALSE(error.empty());
      continue;
    }
    ++accepted;
    ASSERT_GE(map.getLocation(), 1);
    for (int f = -1; f <= 4; ++f) {
      const ZoneMap::SubLocation floor = map.getSubLocation(f);
      if (floor.id == 0) continue;
      EXPECT_GE(floor.width, 1.0);
      EXPECT_GE(floor.height, 1.0);
      for (const Zone& z : map.getZones(f)) EXPECT_GE(z.id, 1);
      map.getZones(f, 0.3 * floor.width, 0.4 * floor.height);
      map.getZones(f, 0.7 * floor.width, 0.7 * floor.height);
    }
    std::string again;
    bool okAgain = false;
    const ZoneMap back = ZoneMap::parse(config, map.toString(), &again, &okAgain);
    ASSERT_TRUE(okAgain) << again << "\n" << map.toString();
    EXPECT_EQ(back.toString(), map.toString());
  }
  // The mutations must leave enough texts readable to exercise the success path.
  EXPECT_GT(accepted, 100);
}

}  // namespace
