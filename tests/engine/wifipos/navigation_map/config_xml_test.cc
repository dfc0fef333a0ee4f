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
    map_ = NavigationMap(EngineBehaviour::kit());
    map_.setPathToNavArchive(path_.c_str());
    return map_.parseConfigXML();
  }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
  NavigationMap map_{EngineBehaviour::kit()};
};

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
