#include <string>

#include <gtest/gtest.h>

#include "server/zones/zones.h"

namespace {

// Zone texts with markup and white space survive a write and a read.
TEST(ZoneMapText, NamesColoursAndAliasesReadBackAsWritten) {
  const std::string config =
      "<Location id=\"3\"><Sublocation id=\"1\"><Metrics width_meters=\"40\" height_meters=\"30\"/>"
      "</Sublocation></Location>";
  const struct {
    const char *name, *color, *alias;
  } cases[] = {
      {"A &amp; B", "&lt;red&gt;", "&quot;q&quot; &apos;s&apos;"},
      {"two&#10;lines", "tab&#9;bed", "cr&#13;&#10;lf"},
      {"caf\xC3\xA9", "", "  spaced  "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string zones = std::string("<Location id=\"3\"><Sublocation id=\"1\"><Zone id=\"1\" name=\"") +
                              c.name + "\" color=\"" + c.color + "\" alias=\"" + c.alias +
                              "\"><Polygon><Vertex kx=\"0.1\" ky=\"0.1\"/><Vertex kx=\"0.5\" ky=\"0.1\"/>"
                              "<Vertex kx=\"0.3\" ky=\"0.6\"/></Polygon></Zone></Sublocation></Location>";
    std::string error;
    bool ok = false;
    const ZoneMap map = ZoneMap::parse(config, zones, &error, &ok);
    ASSERT_TRUE(ok) << error;
    const ZoneMap back = ZoneMap::parse(config, map.toString(), &error, &ok);
    ASSERT_TRUE(ok) << error;
    const Zone a = map.getZone(1, 1), b = back.getZone(1, 1);
    EXPECT_EQ(b.name, a.name);
    EXPECT_EQ(b.color, a.color);
    EXPECT_EQ(b.alias, a.alias);
  }
}

}  // namespace
