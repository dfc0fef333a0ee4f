#include <gtest/gtest.h>

#include <string>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

using mapfx::configXml;
using mapfx::floorXml;

class ConfigXmlTest : public ::testing::Test {
 protected:
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

TEST_F(ConfigXmlTest, ReadsFloorsFilesSizesGpsAndGraphs) {
  const std::string body =
      "<Files><File type=\"GRAPH:XML\" name=\"main.xml\" tag=\"main\"/>"
      "<File type=\"graph:xml\" name=\"untagged.xml\"/>"
      "<Other type=\"Graph:Xml\" name=\"lift.xml\" tag=\"lift\"/></Files>\n"
      "<Sublocation id=\"3\" name=\"ground\"><Files><File type=\"BMP\" name=\"g.bmp\"/>"
      "<File type=\"BMP2\" name=\"g2.bmp\"/><File type=\"SVG\" name=\"g.svg\"/>"
      "<File type=\"PNG\" name=\"old.png\"/><File type=\"PNG\" name=\"g.png\"/>"
      "<File type=\"bmp\" name=\"ignored.bmp\"/></Files>"
      "<Metrics width_meters=\"52.5\" height_meters=\"20\"/><GPS latitude_deg=\"55.75\" "
      "longitude_deg=\"37.61\" azimuth_deg=\"-12.5\" magnetic_declination_deg=\"11\"/>"
      "</Sublocation>\n" +
      floorXml(-4, "b.bmp", 10, 5);
  ASSERT_EQ(parse(configXml(77, body)), 0);
  EXPECT_EQ(map_.getLocationId(), 77);
  EXPECT_EQ(map_.getLocationName(), "office");
  EXPECT_EQ(map_.getLocationDescription(), "test floors");
  ASSERT_EQ(map_.getNSublocations(), 2u);
  const SublocationMap& ground = map_.getSublocationsVector()[0];
  EXPECT_EQ(ground.getBmpFile(), "g.bmp");
  EXPECT_EQ(ground.getBmp2File(), "g2.bmp");
  EXPECT_EQ(ground.getImages().getSvgName(), "g.svg");
  EXPECT_EQ(ground.getImages().getPngName(), "g.png");  // the later entry wins
  EXPECT_TRUE(ground.getImages().getJpgName().empty());
  const SublocationNavProperties& p = ground.getProperties();
  EXPECT_DOUBLE_EQ(p.width_meters, 52.5);
  EXPECT_DOUBLE_EQ(p.height_meters, 20.0);
  EXPECT_DOUBLE_EQ(p.longitude_deg, 37.61);
  EXPECT_DOUBLE_EQ(p.azimuth_deg, -12.5);
  EXPECT_DOUBLE_EQ(p.magnetic_declination_deg, 11.0);
  EXPECT_EQ(map_.getSublocationsVector()[1].getId(), -4);
  // Graph files need a tag; every sibling after the first File counts.
  ASSERT_EQ(map_.getGraphs().size(), 2u);
  EXPECT_EQ(map_.getGraphs()[0].getTag(), "main");
  EXPECT_EQ(map_.getGraphs()[0].getName(), "main.xml");
  EXPECT_EQ(map_.getGraphs()[1].getTag(), "lift");

  // An unreadable latitude reads as 0, which also drops the declination.
  ASSERT_EQ(parse(configXml(1, "<Sublocation id=\"1\" name=\"f\"><Files><File type=\"BMP\" "
                               "name=\"f.bmp\"/></Files><Metrics width_meters=\"5\" "
                               "height_meters=\"5\"/><GPS latitude_deg=\"north\" longitude_deg="
                               "\"37\" azimuth_deg=\"90\" magnetic_declination_deg=\"9\"/>"
                               "</Sublocation>")),
            0);
  EXPECT_EQ(map_.getSublocationsVector()[0].getProperties().magnetic_declination_deg, 0.0);
}

TEST_F(ConfigXmlTest, BrokenLocationsAndFloorsFailWithTheirCodeAndMessage) {
  const std::string files = "<Files><File type=\"BMP\" name=\"f.bmp\"/></Files>";
  const std::string metrics = "<Metrics width_meters=\"4\" height_meters=\"3\"/>";
  const std::string gps = "<GPS latitude_deg=\"1\" longitude_deg=\"2\" ";
  auto floor = [](const std::string& attrs, const std::string& body) {
    return "<Sublocation " + attrs + ">" + body + "</Sublocation>";
  };
  const std::string ok = "id=\"6\" name=\"f\"";
  const std::string good = floorXml(2, "g.bmp", 2, 2);
  // A good floor comes first: it stays in the map when a later one fails.
  auto located = [&](const std::string& broken) { return configXml(9, good + broken); };
  const struct {
    std::string text;
    int code;
    const char* message;
  } cases[] = {
      {"<Location id=\"1\" name=\"x\"><Sublocation>", 21, "error parse config.xml\n"},
      {"<Building id=\"1\" name=\"x\">" + good + "</Building>", 21, "<Location> wasn't found"},
      {"<Location id=\"1\">" + good + "</Location>", 5, "Bad location name at config.xml\n"},
      {"<Location id=\"abc\" name=\"x\">" + good + "</Location>", 5, "Bad location id in config"},
      {"<Location id=\"8\" name=\"x\"/>", 5, "There is no any subloations at 8 Location\n"},
      {"<Location id=\"8\" name=\"x\"><Description/></Location>", 5, "there is no any floors"},
      {located(floor("id=\"6\"", files + metrics)), 5, "Bad sublocation name of office location"},
      {located(floor("name=\"f\"", files + metrics)), 5, "Bad sublocation id of 9 location"},
      {located(floor(ok, "")), 5, "there is no childs of 6 sublocation\n"},
      {located(floor(ok, files + metrics + "<Stairs/>")), 5, "Bad sublocation childs at 9 loc"},
      {located(floor(ok, "<Files><Image/></Files>" + metrics)), 5, "There is no Any File element"},
      {located(floor(ok, "<Files><File name=\"f.bmp\"/></Files>")), 5, "no type attribute of File"},
      {located(floor(ok, "<Files><File type=\"BMP\"/></Files>")), 5, "no name attribute of File"},
      {located(floor(ok, "<Files><File type=\"BMP2\" name=\"a.bmp\"/></Files>" + metrics)), 5,
       "there is no some attributes of Files element in 6 sublocation\n"},
      {located(floor(ok, files + "<Metrics width_meters=\"4\"/>")), 5, "Bad building attributes"},
      {located(floor(ok, files + "<Metrics width_meters=\"w\" height_meters=\"3\"/>")), 5,
       "Bad sscanf of width_meters parameter at 6 sublocation\n"},
      {located(floor(ok, files + "<Metrics width_meters=\"4\" height_meters=\"\"/>")), 5,
       "Bad sscanf of buildingHeightMeters parameter at 6 sublocation\n"},
      // A floor without a usable size is dropped; the good floor loads.
      {located(floor(ok, files)), 0, "Bad or missing Metrics at 6 sublocation"},
      {located(floor(ok, files + "<Metrics width_meters=\"0\" height_meters=\"3\"/>")), 0,
       "Bad or missing Metrics at 6 sublocation"},
      {located(floor(ok, files + "<Metrics width_meters=\"4\" height_meters=\"-3\"/>")), 0,
       "Bad or missing Metrics at 6 sublocation"},
      {located(floor(ok, files + "<Metrics width_meters=\"nan\" height_meters=\"3\"/>")), 0,
       "Bad or missing Metrics at 6 sublocation"},
      {located(floor(ok, files + "<Metrics width_meters=\"4\" height_meters=\"1e999\"/>")), 0,
       "Bad or missing Metrics at 6 sublocation"},
      {configXml(7, floor(ok, files)), 5, "there is no any floors"},
      {located(floor(ok, files + metrics + gps + "/>")), 5, "There is no some attributes of GPS"},
      {located(floor(ok, files + metrics + gps + "azimuth_deg=\"e\"/>")), 5,
       "Bad sscanf of azimuth_deg attribute at 6 sublocation\n"},
      {located(floor(ok, files + metrics + gps +
                             "azimuth_deg=\"3\" magnetic_declination_deg=\"?\"/>")),
       5, "Bad sscanf of magnetic_declination_deg attribute at 6 sublocation\n"},
  };
  for (const auto& c : cases) {
    LogCapture log(13);
    EXPECT_EQ(parse(c.text), c.code) << c.message;
    EXPECT_TRUE(log.contains(c.message)) << c.message;
    if (c.text.find("id=\"9\" name=\"office\"") != std::string::npos) {
      EXPECT_EQ(map_.getNSublocations(), 1u);
    }
  }
  EXPECT_EQ(parse(""), 25);
}

}  // namespace
