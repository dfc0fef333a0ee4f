// Gaussian-process parameters: reading gp.xml into the floors.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

const std::string kConfig = mapfx::configXml(
    5, mapfx::floorXml(1, "f1.bmp", 20, 10) + mapfx::floorXml(2, "f2.bmp", 20, 10));

const std::string kA = "aa:00:00:00:00:01";
const std::string kB = "aa:00:00:00:00:02";
const std::string kC = "aa:00:00:00:00:03";

std::string ap(const std::string& mac, const std::string& attrs,
               const std::string& model = "LogDistance") {
  return "<AP mac=\"" + mac + "\"><" + model + " " + attrs + "/></AP>";
}

const std::string kFull =
    R"(mu="-40" A="-50.5" B="-2" x_AP="3.5" y_AP="4" sf="1.25" sn="0.5" ell="1.75")";

std::string gp(const std::string& floor1, const std::string& floor2 = "<Sublocation id=\"2\"/>",
               const std::string& id = "5") {
  return "<Location id=\"" + id + "\"><Sublocation id=\"1\">" + floor1 + "</Sublocation>" +
         floor2 + "</Location>";
}

class GpParamsTest : public ::testing::Test {
 protected:
  // Floors with the key lists {A, B, C} and {B}; gp.xml as given (none when empty).
  int read(const std::string& member, int meanModel = GP_MEAN_LOG) {
    mapfx::Members members = {{"config.xml", kConfig}};
    if (!member.empty()) members.emplace_back("gp.xml", member);
    EXPECT_TRUE(mapfx::writeArchive(path_, members));
    map_ = NavigationMap(EngineBehaviour::kit());
    map_.setPathToNavArchive(path_.c_str());
    EXPECT_EQ(map_.parseConfigXML(), 0);
    map_.getNavigationProperties().gaussianProcesses.Mean_model = meanModel;
    map_.getSublocationsVector()[0].getUniqueApsBssid() = {kA, kB, kC};
    map_.getSublocationsVector()[1].getUniqueApsBssid() = {kB};
    return map_.parseGpXML();
  }
  const std::vector<GpParams>& params(int floor) {
    return map_.getSublocationsVector()[floor].getGpParams();
  }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
  NavigationMap map_{EngineBehaviour::kit()};
};

TEST_F(GpParamsTest, MutatedMembersAreReadSafely) {
  std::string floor1;
  for (const std::string& k : {kA, kB, kC, std::string("zz")}) floor1 += ap(k, kFull);
  const std::string valid = gp(floor1, "<Sublocation id=\"2\">" + ap(kB, kFull) + "</Sublocation>");
  std::mt19937 rng(1131);
  int succeeded = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = valid;
    for (int e = static_cast<int>(rng() % 6); e >= 0; --e) text = mapfx::mutate(text, rng);
    if (text.empty()) text = " ";
    const int rc = read(text, i % 2 ? GP_MEAN_LOG : GP_MEAN_CONST);
    EXPECT_TRUE(rc == 0 || rc == 5 || rc == 9 || rc == 21) << rc;
    succeeded += rc == 0;
    for (int f = 0; f < 2; ++f)
      EXPECT_TRUE(params(f).empty() ||
                  params(f).size() == map_.getSublocationsVector()[f].getUniqueApsBssid().size());
  }
  EXPECT_GT(succeeded, 0);
}

}  // namespace
