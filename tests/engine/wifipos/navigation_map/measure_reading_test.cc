// measure.xml read piece by piece against the same member read as one
// document: the same floors, the same result code, whatever the text.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "map_fixtures.h"
#include "venuesim/config_xml.h"
#include "venuesim/generator.h"
#include "venuesim/measure_xml.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/parse_measure_xml.h"

namespace {

struct Reading {
  int rc = -1;
  bool piecewise = false;
  NavigationMap map{EngineBehaviour::kit()};
};

struct Settings {
  double minimalFrequency = 0.0;
  int useSignals = NAV_SIGNALS_BOTH;
};

Reading read(const std::string& path, MeasureReading how, const Settings& settings,
             size_t chunkBytes = 0) {
  Reading r;
  r.map.setPathToNavArchive(path.c_str());
  EXPECT_EQ(r.map.parseConfigXML(), 0);
  r.map.getNavigationProperties().knn.Minimal_ap_freq = settings.minimalFrequency;
  r.map.getNavigationProperties().Use_Signals = settings.useSignals;
  r.rc = ReadSignalsMap(r.map, how, &r.piecewise, chunkBytes);
  return r;
}

// Every field the reading fills, doubles in hexadecimal so that equal texts
// mean equal bits.
std::string dump(const Reading& r) {
  std::string out = "rc " + std::to_string(r.rc) + " signals " +
                    std::to_string(r.map.getNavigationProperties().Use_Signals) + "\n";
  char line[256];
  for (const SublocationMap& f : r.map.getSublocationsVector()) {
    out += "floor " + std::to_string(f.getId()) + "\n";
    for (unsigned i = 0; i < f.getNRp(); ++i) {
      const ReferencePoint& p = *f.getRp(static_cast<int>(i));
      std::snprintf(line, sizeof line, "|%a %a %a %a %a %a|%d %d\n", p.getX(), p.getY(),
                    p.getKX(), p.getKY(), p.getQuality(), p.getMagneticIntensity(),
                    p.getDuration(), p.getIndex());
      out += p.getName() + "|" + p.getDeviceModel() + "|" + p.getDeviceId() + "|" +
             p.getStatus() + line;
    }
    for (const std::string& key : f.getUniqueApsBssid()) out += key + ",";
    for (const auto& [key, ap] : f.getRadioMap()) {
      std::snprintf(line, sizeof line, "|%a %a %a %a|%d %d %d %d|", ap.getRssi(),
                    ap.getVariance(), ap.getFrequency(), ap.getPower(), ap.getMeasurementCount(),
                    ap.getType(), ap.getBattery(), ap.getRefPointIndex());
      out += "\n" + key.str() + "|" + ap.getBssid() + "|" + ap.getSsid() + "|" + ap.getDistribution() +
             line;
      for (const auto& [level, count] : ap.getHistogram())
        out += std::to_string(level) + ":" + std::to_string(count) + " ";
    }
    out += "\n";
  }
  return out;
}

// Both readings of one archive, compared; the piecewise one's path returned.
bool compareReadings(const std::string& path, const Settings& settings = {},
                     size_t chunkBytes = 0) {
  const Reading whole = read(path, MeasureReading::kWholeDocument, settings);
  const Reading pieces =
      read(path, MeasureReading::kPiecewiseWherePossible, settings, chunkBytes);
  EXPECT_FALSE(whole.piecewise);
  EXPECT_EQ(dump(pieces), dump(whole));
  return pieces.piecewise;
}

venuesim::Venue smallVenue(uint64_t seed, int floors, double width, double rpSpacing) {
  venuesim::VenueSpec setup;
  setup.seed = seed;
  setup.floors = floors;
  setup.width = width;
  setup.height = width / 2;
  setup.rpSpacing = rpSpacing;
  setup.beaconSpacing = 6.0;
  venuesim::Venue venue;
  std::string error;
  EXPECT_EQ(venuesim::GenerateVenue(setup, &venue, &error), 0) << error;
  return venue;
}

class MeasureReadingTest : public ::testing::Test {
 protected:
  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
};

TEST_F(MeasureReadingTest, GeneratedVenuesReadPiecewiseAsWhole) {
  struct Case {
    uint64_t seed;
    int floors;
    double width;
    double rpSpacing;
    Settings settings;
  };
  const Case cases[] = {
      {11, 1, 20, 2.0, {}},
      {12, 2, 24, 1.5, {1.0, NAV_SIGNALS_BOTH}},
      {13, 3, 16, 2.0, {0.5, NAV_SIGNALS_BLE}},
      {14, 2, 30, 3.0, {2.0, NAV_SIGNALS_WIFI}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("seed " + std::to_string(c.seed));
    const venuesim::Venue venue = smallVenue(c.seed, c.floors, c.width, c.rpSpacing);
    ASSERT_TRUE(mapfx::writeArchive(path_, {{"config.xml", venuesim::ConfigXml(venue)},
                                            {"measure.xml", venuesim::MeasureXml(venue)}}));
    EXPECT_TRUE(compareReadings(path_, c.settings));
    const Reading r = read(path_, MeasureReading::kPiecewiseWherePossible, c.settings);
    EXPECT_EQ(r.rc, 0);
    // The venues' transmitters are beacons, which a Wi-Fi-only reading drops.
    if (c.settings.useSignals != NAV_SIGNALS_WIFI) {
      EXPECT_GT(r.map.getSublocationsVector()[0].getRadioMap().size(), 0u);
    }
  }
}

TEST_F(MeasureReadingTest, RecordedSurveyReadsPiecewiseAsWhole) {
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  const std::filesystem::path archive =
      std::filesystem::path(shared ? shared : "/work/shared/data") / "ble-tetam" / "map.mvz";
  if (!std::filesystem::exists(archive)) GTEST_SKIP() << "no recorded survey at " << archive;
  EXPECT_TRUE(compareReadings(archive.string(), {0.5, NAV_SIGNALS_BOTH}));
}

// Texts built to mislead a boundary finder, or that only the whole
// document can read.
TEST_F(MeasureReadingTest, UnusualTextsGiveTheWholeDocumentsResult) {
  const std::string config =
      mapfx::configXml(12, mapfx::floorXml(1, "a", 20, 10) + mapfx::floorXml(2, "b", 30, 15));
  auto entry = [](const std::string& bssid, const std::string& value) {
    return "<entry type=\"WIFI\" bssid=\"" + bssid + "\" frequency=\"2412\" value=\"" + value +
           "\"/>";
  };
  auto point = [&](const std::string& name, const std::string& more = "") {
    return "<point name=\"" + name + "\" deviceModel=\"m\" deviceId=\"d\" kx=\"0.5\" ky=\"0.5\" " +
           "quality=\"1\" duration=\"1000\">" + entry("aa:01", "70:2 71:1") + more +
           entry("aa:02", "80:3") + "</point>\n";
  };
  const std::string three = point("p1") + point("p2") + point("p3");
  std::string crowded;  // more entries than a piece's stretches between blanks
  for (int i = 0; i < 300; ++i)
    crowded += "\n  " + entry("cc:" + std::to_string(1000 + i), std::to_string(40 + i % 80) + ":1");
  std::string nested;
  for (int i = 0; i < 40; ++i) nested.insert(nested.size() / 2, "<d></d>");
  auto doc = [](const std::string& floor1, const std::string& floor2 = "") {
    return "<?xml version=\"1.0\"?>\n<Location id=\"12\">\n<Sublocation id=\"1\">\n" + floor1 +
           "</Sublocation>\n<Sublocation id=\"2\">\n" + floor2 + "</Sublocation>\n</Location>\n";
  };
  struct Case {
    const char* what;
    std::string text;
    bool piecewise;
  };
  const Case cases[] = {
      {"plain", doc(three, three), true},
      {"no declaration, one line",
       "<Location id=\"12\"><Sublocation id=\"2\">" + three + "</Sublocation></Location>", true},
      {"quoted < > and /> in values",
       doc(point("p1", "<entry type=\"WIFI\" bssid=\"a<b>/>\" frequency='2412' value='70:1'/>") +
           point("p<point name='x'>") + point("p3</point>")),
       true},
      {"blanks of every kind between and inside points",
       doc(point("p1", " \r\n\t\v\f ") + " \t\r\n" + point("p2", "\n    ") + point("p3")), true},
      {"text inside a point",
       doc(point("p1", "  some text \n ") + point("p2", "\t x") + point("p3", "y  ")), true},
      {"blanks inside quoted values",
       doc(point("p1", "<entry type=\"WIFI\" bssid=\"a >  < b\" frequency=\" 2412\" "
                       "value=\"70:2  71:1 \"/>") +
           point("p\n 2") + point("p3")),
       true},
      {"a point of many entries", doc(point("p1", crowded) + point("p2") + point("p3")), true},
      {"comment in the prolog", doc(three).insert(22, "<!-- <Location id=\"13\"> -->\n"), true},
      {"comment before the declaration", "<!-- x -->" + doc(three), false},
      {"entities in values", doc(point("p&amp;1") + point("p&lt;2") + point("p&#51;")), true},
      // Pieces with and without entities read side by side, in one batch
      // or (inflated a few bytes at a time) in batches of their own.
      {"entities in some points only",
       doc(point("p1") + point("p2", entry("aa:&#48;3", "7&#48;:1 &#55;1:2")) + point("p3"),
           point("q1") + point("q&lt;2") + point("q3")),
       true},
      {"floors in other order",
       "<Location id=\"12\"><Sublocation id=\"2\">" + three + "</Sublocation><Sublocation id=\"1\">" +
           point("q1") + point("q2") + "</Sublocation></Location>",
       true},
      {"other children skipped",
       doc("<note a=\"1\"><point name=\"n\"/></note>" + three + "<image/>"), true},
      {"one Sublocation empty", "<Location id=\"12\"><Sublocation id=\"1\"/><Sublocation id=\"2\">" +
                                    three + "</Sublocation></Location>",
       true},
      {"Sublocation without id first",
       "<Location id=\"12\"><Sublocation>" + three + "</Sublocation><Sublocation id=\"1\">" +
           three + "</Sublocation></Location>",
       true},
      {"no Sublocation at all", "<Location id=\"12\"><Floor id=\"1\">" + three + "</Floor></Location>",
       true},
      {"bad point stops its floor", doc(point("p1") + "<point name=\"\"/>" + point("p3"), three),
       true},
      {"comment between points", doc(point("p1") + "<!-- <point name=\"c\"> -->" + point("p2")),
       false},
      {"comment inside a point", doc(point("p1", "<!-- </point> -->") + point("p2") + point("p3")),
       false},
      {"CDATA inside a point", doc(point("p1", "<![CDATA[</point><point>]]>") + point("p2")), false},
      {"text between points", doc(point("p1") + "loose text" + point("p2") + point("p3")), false},
      {"byte order mark", "\xEF\xBB\xBF" + doc(three), false},
      {"NUL byte in a point", doc(point("p1") + point(std::string("p\0" "2", 3)) + point("p3")),
       false},
      {"NUL byte after the root", doc(three) + std::string(1, '\0') + "<junk", false},
      {"second root", doc(three) + "<Location id=\"12\"/>", false},
      {"comment after the root", doc(three) + "<!-- end -->", false},
      {"wrong location id", "<Location id=\"13\"><Sublocation id=\"1\">" + three +
                                "</Sublocation></Location>",
       false},
      {"root is not Location", "<Place id=\"12\"><Sublocation id=\"1\">" + three +
                                   "</Sublocation></Place>",
       false},
      {"mismatched end tag in a point", doc(point("p1") + "<point name=\"x\"></entry>" + three),
       false},
      {"unclosed Sublocation", "<Location id=\"12\"><Sublocation id=\"1\">" + three + "</Location>",
       false},
      {"truncated", doc(three, three).substr(0, 300), false},
      {"deep nesting", doc(point("p1", nested) + three), false},
      {"duplicate attribute", doc("<point name=\"a\" name=\"b\"/>" + three), false},
      {"attribute without blank", doc("<point name=\"a\"kx=\"1\"/>" + three), false},
      {"non-ASCII element name", doc("<p\xC3\xA9 a=\"1\"/>" + three), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(mapfx::writeArchive(path_, {{"config.xml", config}, {"measure.xml", c.text}}));
    // Also inflated a few bytes at a time, so that every tag is cut somewhere.
    for (size_t chunk : {size_t{0}, size_t{1}, size_t{7}}) EXPECT_EQ(compareReadings(path_, {}, chunk), c.piecewise);
  }
}

// Seeded mutations of a generated survey: whatever the damage, the piecewise
// reading (or what it falls back to) gives the whole document's result.
TEST_F(MeasureReadingTest, MutatedSurveysGiveTheWholeDocumentsResult) {
  const venuesim::Venue venue = smallVenue(21, 2, 12, 2.0);
  const std::string config = venuesim::ConfigXml(venue);
  const std::string valid = venuesim::MeasureXml(venue);
  std::mt19937 rng(1730);
  int piecewise = 0;
  int accepted = 0;
  const int rounds = 300;
  for (int i = 0; i < rounds; ++i) {
    std::string text = valid;
    for (int e = static_cast<int>(rng() % 4); e >= 0; --e) text = mapfx::mutate(text, rng);
    if (text.empty()) text = " ";
    ASSERT_TRUE(mapfx::writeArchive(path_, {{"config.xml", config}, {"measure.xml", text}}));
    SCOPED_TRACE("round " + std::to_string(i));
    const Settings settings{(i % 3) * 0.5, NAV_SIGNALS_BOTH + i % 3};
    const size_t chunks[] = {0, 3, 64, 1000};
    piecewise += compareReadings(path_, settings, chunks[i % 4]);
    accepted += read(path_, MeasureReading::kWholeDocument, settings).rc == 0;
    if (HasFailure()) break;
  }
  // Both ways were taken, and both decisions were met.
  EXPECT_GT(piecewise, rounds / 10);
  EXPECT_LT(piecewise, rounds);
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, rounds);
}

}  // namespace
