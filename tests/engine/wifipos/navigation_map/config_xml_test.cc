#include <gtest/gtest.h>

#include <string>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

using mapfx::configXml;
using mapfx::floorXml;

class ConfigXmlTest : public ::testing::Test {
 protected:
  // Loads config.xml from an archive holding just that text.
  int parse(const std::string& text) {
    EXPECT_TRUE(mapfx::writeArchive(path_, {{"config.xml", text}}));
    map_ = NavigationMap();
    map_.setPathToNavArchive(path_.c_str());
    return map_.parseConfigXML();
  }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
  NavigationMap map_;
};

TEST_F(ConfigXmlTest, ReadsLocationFloorsFilesSizesAndGpsBinding) {
  const std::string floors =
      "<Sublocation id=\"3\" name=\"ground\">"
      "<Files><File type=\"BMP\" name=\"g.bmp\"/><File type=\"BMP2\" name=\"g2.bmp\"/>"
      "<File type=\"SVG\" name=\"g.svg\"/><File type=\"PNG\" name=\"old.png\"/>"
      "<File type=\"PNG\" name=\"g.png\"/><File type=\"JPG\" name=\"g.jpg\"/>"
      "<File type=\"bmp\" name=\"ignored.bmp\"/><File type=\"PDF\" name=\"x.pdf\"/></Files>"
      "<Metrics width_meters=\"52.5\" height_meters=\"20\"/>"
      "<GPS latitude_deg=\"55.75\" longitude_deg=\"37.61\" azimuth_deg=\"-12.5\" "
      "magnetic_declination_deg=\"11\"/>"
      "</Sublocation>\n" +
      floorXml(-4, "b.bmp", 10, 5);
  ASSERT_EQ(parse(configXml(77, floors)), 0);
  EXPECT_EQ(map_.getLocationId(), 77);
  EXPECT_EQ(map_.getLocationName(), "office");
  EXPECT_EQ(map_.getLocationDescription(), "two test floors");
  ASSERT_EQ(map_.getNSublocations(), 2u);

  const SublocationMap& ground = map_.getSublocationsVector()[0];
  EXPECT_EQ(ground.getId(), 3);
  EXPECT_EQ(ground.getName(), "ground");
  EXPECT_EQ(ground.getBmpFile(), "g.bmp");
  EXPECT_EQ(ground.getBmp2File(), "g2.bmp");
  EXPECT_EQ(ground.getImages().getSvgName(), "g.svg");
  EXPECT_EQ(ground.getImages().getPngName(), "g.png");  // a later entry replaces an earlier one
  EXPECT_EQ(ground.getImages().getJpgName(), "g.jpg");
  const SublocationNavProperties& p = ground.getProperties();
  EXPECT_DOUBLE_EQ(p.width_meters, 52.5);
  EXPECT_DOUBLE_EQ(p.height_meters, 20.0);
  EXPECT_DOUBLE_EQ(p.latitude_deg, 55.75);
  EXPECT_DOUBLE_EQ(p.longitude_deg, 37.61);
  EXPECT_DOUBLE_EQ(p.azimuth_deg, -12.5);
  EXPECT_DOUBLE_EQ(p.magnetic_declination_deg, 11.0);

  const SublocationMap& basement = map_.getSublocationsVector()[1];
  EXPECT_EQ(basement.getId(), -4);
  EXPECT_TRUE(basement.getImages().getPngName().empty());
  EXPECT_EQ(basement.getImages().getPngSize(), 0);
  EXPECT_TRUE(basement.getImages().getPngData().empty());
  EXPECT_EQ(basement.getProperties().latitude_deg, 0.0);  // GPS is optional
}

TEST_F(ConfigXmlTest, GpsWithoutUsableCoordinatesDropsTheDeclination) {
  auto gpsFloor = [](const std::string& gps) {
    return "<Sublocation id=\"1\" name=\"f\"><Files><File type=\"BMP\" name=\"f.bmp\"/></Files>"
           "<Metrics width_meters=\"5\" height_meters=\"5\"/><GPS " +
           gps + "/></Sublocation>";
  };
  ASSERT_EQ(parse(configXml(1, gpsFloor("latitude_deg=\"north\" longitude_deg=\"37\" "
                                        "azimuth_deg=\"90\" magnetic_declination_deg=\"9\""))),
            0);
  const SublocationNavProperties& p = map_.getSublocationsVector()[0].getProperties();
  EXPECT_EQ(p.latitude_deg, 0.0);
  EXPECT_EQ(p.longitude_deg, 37.0);
  EXPECT_EQ(p.magnetic_declination_deg, 0.0);

  ASSERT_EQ(parse(configXml(1, gpsFloor("latitude_deg=\"1\" longitude_deg=\"2\" "
                                        "azimuth_deg=\"3\""))),
            0);
  EXPECT_EQ(map_.getSublocationsVector()[0].getProperties().magnetic_declination_deg, 0.0);
}

TEST_F(ConfigXmlTest, LocationFilesListTheRouteGraphsByTag) {
  const std::string files =
      "<Files><File type=\"GRAPH:XML\" name=\"main.xml\" tag=\"main\"/>"
      "<File type=\"graph:xml\" name=\"untagged.xml\"/>"
      "<Other type=\"Graph:Xml\" name=\"lift.xml\" tag=\"lift\"/>"
      "<File type=\"graph:xml\" tag=\"noname\"/>"
      "<File type=\"zones:xml\" name=\"z.xml\" tag=\"z\"/></Files>\n";
  ASSERT_EQ(parse(configXml(5, files + floorXml(1, "f.bmp", 4, 4))), 0);
  const std::vector<RouteGraph>& graphs = map_.getGraphs();
  ASSERT_EQ(graphs.size(), 2u);
  EXPECT_EQ(graphs[0].getTag(), "main");
  EXPECT_EQ(graphs[0].getName(), "main.xml");
  EXPECT_EQ(graphs[1].getTag(), "lift");  // every sibling after the first File counts
  EXPECT_EQ(graphs[1].getName(), "lift.xml");
}

TEST_F(ConfigXmlTest, BrokenLocationsFailWithTheirCodeAndMessage) {
  const std::string good = floorXml(1, "f.bmp", 4, 4);
  const struct {
    const char* what;
    std::string text;
    int code;
    const char* message;
  } cases[] = {
      {"not XML", "<Location id=\"1\" name=\"x\"><Sublocation>", 21, "error parse config.xml\n"},
      {"wrong root", "<Building id=\"1\" name=\"x\">" + good + "</Building>", 21,
       "root element <Location> wasn't found"},
      {"no name", "<Location id=\"1\">" + good + "</Location>", 5,
       "Bad location name at config.xml\n"},
      {"no id", "<Location name=\"x\">" + good + "</Location>", 5, "Bad location id in config.xml\n"},
      {"unreadable id", "<Location id=\"abc\" name=\"x\">" + good + "</Location>", 5,
       "Bad location id in config.xml\n"},
      {"no children", "<Location id=\"8\" name=\"x\"/>", 5,
       "There is no any subloations at 8 Location\n"},
      {"no floor", "<Location id=\"8\" name=\"x\"><Description>d</Description></Location>", 5,
       "there is no any floors at xml file\n"},
  };
  for (const auto& c : cases) {
    mapfx::LogCapture log;
    EXPECT_EQ(parse(c.text), c.code) << c.what;
    EXPECT_TRUE(log.contains(c.message)) << c.what << "\n" << log.text();
  }
  EXPECT_EQ(parse(""), 25);  // an empty member
}

TEST_F(ConfigXmlTest, BrokenFloorsFailWithTheirCodeAndMessage) {
  const std::string files = "<Files><File type=\"BMP\" name=\"f.bmp\"/></Files>";
  const std::string metrics = "<Metrics width_meters=\"4\" height_meters=\"3\"/>";
  auto floor = [](const std::string& attrs, const std::string& body) {
    return "<Sublocation " + attrs + ">" + body + "</Sublocation>";
  };
  const std::string ok = "id=\"6\" name=\"f\"";
  const struct {
    const char* what;
    std::string floor;
    const char* message;
  } cases[] = {
      {"no name", floor("id=\"6\"", files + metrics), "Bad sublocation name of office location"},
      {"no id", floor("name=\"f\"", files + metrics), "Bad sublocation id of 9 location"},
      {"no children", floor(ok, ""), "there is no childs of 6 sublocation\n"},
      {"unknown child", floor(ok, files + metrics + "<Stairs/>"),
       "Bad sublocation childs at 9 location\n"},
      {"Files without File", floor(ok, "<Files><Image/></Files>" + metrics),
       "There is no Any File element at config file of 6 sublocation id\n"},
      {"File without type", floor(ok, "<Files><File name=\"f.bmp\"/></Files>" + metrics),
       "There is no type attribute of File node at 6 sublocation id\n"},
      {"File without name", floor(ok, "<Files><File type=\"BMP\"/></Files>" + metrics),
       "There is no name attribute of File node at 6 sublocation id\n"},
      {"only BMP2", floor(ok, "<Files><File type=\"BMP2\" name=\"a.bmp\"/></Files>" + metrics),
       "there is no some attributes of Files element in 6 sublocation\n"},
      {"Metrics without height", floor(ok, files + "<Metrics width_meters=\"4\"/>"),
       "Bad building attributes at 6 sublocation\n"},
      {"unreadable width", floor(ok, files + "<Metrics width_meters=\"wide\" height_meters=\"3\"/>"),
       "Bad sscanf of width_meters parameter at 6 sublocation\n"},
      {"unreadable height", floor(ok, files + "<Metrics width_meters=\"4\" height_meters=\"\"/>"),
       "Bad sscanf of buildingHeightMeters parameter at 6 sublocation\n"},
      {"no Metrics", floor(ok, files), "Bad or missing Metrics at 6 sublocation"},
      {"zero width", floor(ok, files + "<Metrics width_meters=\"0\" height_meters=\"3\"/>"),
       "Bad or missing Metrics at 6 sublocation"},
      {"negative height", floor(ok, files + "<Metrics width_meters=\"4\" height_meters=\"-3\"/>"),
       "Bad or missing Metrics at 6 sublocation"},
      {"NaN width", floor(ok, files + "<Metrics width_meters=\"nan\" height_meters=\"3\"/>"),
       "Bad or missing Metrics at 6 sublocation"},
      {"infinite height", floor(ok, files + "<Metrics width_meters=\"4\" height_meters=\"1e999\"/>"),
       "Bad or missing Metrics at 6 sublocation"},
      {"GPS without azimuth",
       floor(ok, files + metrics + "<GPS latitude_deg=\"1\" longitude_deg=\"2\"/>"),
       "There is no some attributes of GPS node\n"},
      {"unreadable azimuth",
       floor(ok, files + metrics +
                     "<GPS latitude_deg=\"1\" longitude_deg=\"2\" azimuth_deg=\"east\"/>"),
       "Bad sscanf of azimuth_deg attribute at 6 sublocation\n"},
      {"unreadable declination",
       floor(ok, files + metrics +
                     "<GPS latitude_deg=\"1\" longitude_deg=\"2\" azimuth_deg=\"3\" "
                     "magnetic_declination_deg=\"?\"/>"),
       "Bad sscanf of magnetic_declination_deg attribute at 6 sublocation\n"},
  };
  for (const auto& c : cases) {
    mapfx::LogCapture log;
    // A good floor first: it stays in the map when the broken one stops the read.
    EXPECT_EQ(parse(configXml(9, floorXml(2, "g.bmp", 2, 2) + c.floor)), 5) << c.what;
    EXPECT_TRUE(log.contains(c.message)) << c.what << "\n" << log.text();
    ASSERT_EQ(map_.getNSublocations(), 1u) << c.what;
    EXPECT_EQ(map_.getSublocationsVector()[0].getId(), 2);
  }
}

TEST_F(ConfigXmlTest, MutatedConfigNeverLoadsAFloorWithoutASize) {
  mapfx::QuietLog quiet;
  std::mt19937 rng(106);
  const std::string seed = configXml(
      3, floorXml(1, "a.bmp", 12.5, 7, "<File type=\"PNG\" name=\"a.png\"/>") +
             "<Files><File type=\"graph:xml\" name=\"g.xml\" tag=\"t\"/></Files>" +
             "<Sublocation id=\"2\" name=\"b\"><Files><File type=\"BMP\" name=\"b.bmp\"/></Files>"
             "<Metrics width_meters=\"3\" height_meters=\"4\"/><GPS latitude_deg=\"1\" "
             "longitude_deg=\"2\" azimuth_deg=\"3\" magnetic_declination_deg=\"4\"/></Sublocation>");
  for (int i = 0; i < 600; ++i) {
    std::string text = seed;
    for (int e = 1 + static_cast<int>(rng() % 3); e > 0; --e) text = mapfx::mutate(text, rng);
    const int code = parse(text);
    ASSERT_TRUE(code == 0 || code == 5 || code == 21 || code == 25) << code;
    for (const SublocationMap& floor : map_.getSublocationsVector()) {
      EXPECT_GT(floor.getProperties().width_meters, 0.0);
      EXPECT_GT(floor.getProperties().height_meters, 0.0);
      EXPECT_FALSE(floor.getBmpFile().empty());
    }
  }
}

}  // namespace
