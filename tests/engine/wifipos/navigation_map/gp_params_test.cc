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
    map_ = NavigationMap();
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
  NavigationMap map_;
};

TEST_F(GpParamsTest, RecordsFollowTheKeyList) {
  ASSERT_EQ(read(gp(ap(kC, kFull) + ap("ff:ff:ff:ff:ff:ff", kFull) + ap(kA, R"(mu="-41" sn="0.5")"),
                    "<Sublocation id=\"9\"/><Sublocation id=\"2\">" + ap(kB, "sf=\"2\"") +
                        "</Sublocation>")),
            0);
  ASSERT_EQ(params(0).size(), 3u);
  const GpParams& c = params(0)[2];
  EXPECT_EQ(c[GP_PARAM_MU], -40.0);
  EXPECT_EQ(c[GP_PARAM_A], -50.5);
  EXPECT_EQ(c[GP_PARAM_B], -2.0);
  EXPECT_EQ(c[GP_PARAM_X_AP], 3.5);
  EXPECT_EQ(c[GP_PARAM_Y_AP], 4.0);
  EXPECT_EQ(c[GP_PARAM_SF], 1.25);  // sf before sn in the record
  EXPECT_EQ(c[GP_PARAM_SN], 0.5);
  EXPECT_EQ(c[GP_PARAM_ELL], 1.75);
  // Missing attributes leave zeros; a missing sf marks the record unusable.
  EXPECT_EQ(params(0)[0], (GpParams{-41, 0, 0, 0, 0, 0, 0.5, 0}));
  // A key gp.xml does not mention keeps an all-zero record.
  EXPECT_EQ(params(0)[1], GpParams{});
  ASSERT_EQ(params(1).size(), 1u);
  EXPECT_EQ(params(1)[0][GP_PARAM_SF], 2.0);
}

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
