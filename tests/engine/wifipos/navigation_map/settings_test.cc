// Settings member: current element form, floor settings, writer round trip.
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

const std::string kConfig = mapfx::configXml(
    12, mapfx::floorXml(1, "f1.bmp", 20, 10) + mapfx::floorXml(2, "f2.bmp", 30, 15));

std::string floorElement(int id, const std::string& pf = "Number_of_part=\"500\" "
                                                         "Correction_noise_meters=\"1.5\" "
                                                         "Resampling_noise_meters=\"4\" "
                                                         "Resampling_treshold_persantage=\"80\"") {
  return "<Sublocation id=\"" + std::to_string(id) + "\"><Particle_filter " + pf +
         "/><GP_Fixed_Mode ell=\"3\"/><GP_Normal_Mode A=\"-70.5\" B=\"2.5\"/>"
         "<Probabilistic_method Histogram_interval_width=\"2\"/><Autocalibration "
         "Vector_of_signals_maximal_size=\"7\" Autocalibrate_Histogram_interval_width=\"3\" "
         "Number_of_points_in_MNK=\"11\"/></Sublocation>";
}

const std::string kFloors = floorElement(1) + floorElement(2);

std::string member(const std::string& body, const std::string& id = "12") {
  return "<?xml version=\"1.0\"?>\n<Location id=\"" + id + "\">" + body + "</Location>";
}

class SettingsTest : public ::testing::Test {
 protected:
  int load(const std::string& navigation, CommonNavProperties& props) {
    EXPECT_TRUE(mapfx::writeArchive(path_, {{"config.xml", kConfig}, {"navigation.xml", navigation}}));
    map_ = NavigationMap(EngineBehaviour::kit());
    map_.setPathToNavArchive(path_.c_str());
    map_.setParameters(classic_ ? "defaults=classic;" : "");
    EXPECT_EQ(map_.parseConfigXML(), 0);
    return map_.parseNavigationConfigXML("navigation.xml", props);
  }
  CommonNavProperties readCommon(const std::string& inner) {
    CommonNavProperties p;
    EXPECT_EQ(load(member("<Common_nav_prop>" + inner + "</Common_nav_prop>" + kFloors), p), 0);
    return p;
  }
  SublocationMap& floor(int i) { return map_.getSublocationsVector()[i]; }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
  NavigationMap map_{EngineBehaviour::kit()};
  bool classic_ = true;
};

TEST_F(SettingsTest, WordsAndFlags) {
  CommonNavProperties p = readCommon(
      "<Use_Signals>WiFi</Use_Signals><Use_algorithm>ZONES</Use_algorithm><Gaussian_Processes>"
      "<Mean_model>Const</Mean_model><Mode>FIXED</Mode></Gaussian_Processes><KNN><Histogram_type>"
      "weibull</Histogram_type></KNN><Use_gps>false</Use_gps><Use_smoothing>0</Use_smoothing>"
      "<Use_stops_PF>true</Use_stops_PF><Use_closest_aps>TRUE</Use_closest_aps><Use_stops>7"
      "</Use_stops><Use_pf_estimated_angle>1a</Use_pf_estimated_angle><Use_particle_filter>yes"
      "</Use_particle_filter><Use_graph_projection/>");
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_WIFI);
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_ZONE);
  EXPECT_EQ(p.gaussianProcesses.Mean_model, GP_MEAN_CONST);
  EXPECT_EQ(p.gaussianProcesses.Mode, GP_MODE_FIXED);
  EXPECT_EQ(p.knn.Histogram_type, HISTOGRAM_WEIBULL);
  // true and false read as what they say, in any case.
  EXPECT_FALSE(p.Use_gps);
  EXPECT_TRUE(p.Use_stops_PF);
  EXPECT_TRUE(p.Use_closest_aps);
  EXPECT_FALSE(p.Use_smoothing);
  EXPECT_TRUE(p.Use_stops);
  // Other unreadable flags take the leading number, or false without one.
  EXPECT_TRUE(p.Use_pf_estimated_angle);
  EXPECT_FALSE(p.Use_particle_filter);
  EXPECT_FALSE(p.Use_graph_projection);

  // An unknown word keeps the value.
  p = readCommon("<Use_algorithm>statistical</Use_algorithm><Use_Signals>both</Use_Signals>");
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_GP);
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_BOTH);
}

TEST_F(SettingsTest, NumbersMustBeWholeFiniteAndInRange) {
  CommonNavProperties p = readCommon(
      "<Max_out_R>7.5x</Max_out_R><Min_out_R>1e1</Min_out_R><Dead_reckon_time>1e999"
      "</Dead_reckon_time><Sig_window_shift>nan</Sig_window_shift><Step_multiplier>\n  2.25\n"
      "</Step_multiplier><Cutoff_rss>-90</Cutoff_rss><N_closest_aps>99999999999</N_closest_aps>"
      "<N_additional_particles>3.5</N_additional_particles><N_particles_location_change/>"
      "<N_round_particles_pf>90</N_round_particles_pf>");
  EXPECT_EQ(p.Max_out_R, 6.0);
  EXPECT_EQ(p.Min_out_R, 10.0);
  EXPECT_EQ(p.Dead_reckon_time, 6.0);
  EXPECT_EQ(p.Sig_window_shift, 0.5);
  EXPECT_EQ(p.Step_multiplier, 2.25);
  EXPECT_EQ(p.Cutoff_rss, -90);
  EXPECT_EQ(p.N_closest_aps, 0);
  EXPECT_EQ(p.N_additional_particles, 0);
  EXPECT_EQ(p.N_particles_location_change, 1000);
  EXPECT_EQ(p.N_round_particles_pf, 90.0);
  EXPECT_EQ(readCommon("<N_round_particles_pf>90.5</N_round_particles_pf>").N_round_particles_pf,
            180.0);

  // Groups are read from their first element only; the top-level twins of
  // the KNN members are not part of this form.
  p = readCommon("<KNN><Minimal_ap_freq>0.5</Minimal_ap_freq><Min_rpvis_aps>4</Min_rpvis_aps>"
                 "</KNN><KNN><Min_nvisible_aps>5</Min_nvisible_aps></KNN><Sensor_fusion>"
                 "<Low_pass_time>0.5</Low_pass_time></Sensor_fusion><Minimal_ap_freq>7"
                 "</Minimal_ap_freq>");
  EXPECT_EQ(p.knn.Minimal_ap_freq, 0.5);
  EXPECT_EQ(p.knn.Min_rpvis_aps, 4);
  EXPECT_EQ(p.knn.Min_nvisible_aps, 2);
  EXPECT_EQ(p.sensorFusion.Low_pass_time, 0.5);
  EXPECT_EQ(p.sensorFusion.Fusion_acc_coef, 2.0);
  EXPECT_EQ(p.Minimal_ap_freq, 0.0);
}

// Mutated settings members, current and legacy form: any code, no crash or hang.
TEST_F(SettingsTest, MutatedMembersAreReadSafely) {
  const std::string current = FormatNavigationConfigXML(12, CommonNavProperties(), {{1, {}}, {2, {}}});
  const std::string legacy = member(
      "<Common_nav_properties out_R=\"5\" Use_algorithm=\"GP\" Mean_model=\"log\" GP_Mode=\"Full\" "
      "Use_gps=\"1\" Histogram_type=\"Binned\"><KNN Use_ap_weights=\"1\"/><Sensor_fusion "
      "Low_pass_time=\"0.2\"/><Gaussian_Processes Mode=\"Fixed\"/><Sigma_filter/><Motion "
      "Angle_noise=\"1\"/></Common_nav_properties>" + kFloors);
  std::mt19937 rng(7151);
  int succeeded = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = i % 3 ? current : legacy;
    for (int e = static_cast<int>(rng() % 6); e >= 0; --e) text = mapfx::mutate(text, rng);
    CommonNavProperties p;
    const int rc = load(text.empty() ? " " : text, p);
    EXPECT_TRUE(rc == 0 || rc == 5 || rc == 9 || rc == 21 || rc == 25 || rc == -1) << rc;
    succeeded += rc == 0;
  }
  EXPECT_GT(succeeded, 0);
}

TEST_F(SettingsTest, KitDefaultsFillOnlyWhatTheMemberLeavesOut) {
  const KitDefaults kit;
  const struct {
    const char* name;
    bool classic;
    std::string inner;  // null: no current-form settings at all
    bool hasSettings;
    int minVisible, minPointVisible;
    double angleNoise;
  } cases[] = {
      {"classic, empty", true, "", true, 2, 1, 0.0},
      {"kit, empty", false, "", true, kit.minVisibleAps, kit.minPointVisibleAps, kit.angleNoise},
      {"kit, stated values kept", false,
       "<KNN><Min_nvisible_aps>2</Min_nvisible_aps><Min_rpvis_aps>1</Min_rpvis_aps></KNN>"
       "<Motion><Angle_noise>0</Angle_noise></Motion>",
       true, 2, 1, 0.0},
      {"kit, one element of a group stated", false,
       "<KNN><Min_rpvis_aps>5</Min_rpvis_aps></KNN>", true, kit.minVisibleAps, 5, kit.angleNoise},
      {"kit, no settings element", false, "", false, kit.minVisibleAps, kit.minPointVisibleAps,
       kit.angleNoise},
      {"classic, no settings element", true, "", false, 2, 1, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    classic_ = c.classic;
    CommonNavProperties p;
    ASSERT_EQ(load(member((c.hasSettings ? "<Common_nav_prop>" + c.inner + "</Common_nav_prop>"
                                         : std::string()) +
                          kFloors),
                   p),
              0);
    EXPECT_EQ(p.knn.Min_nvisible_aps, c.minVisible);
    EXPECT_EQ(p.knn.Min_rpvis_aps, c.minPointVisible);
    EXPECT_EQ(p.motion.Angle_noise, c.angleNoise);
    // Settings the kit has no default of its own for read as before.
    EXPECT_EQ(p.Use_Signals, c.hasSettings ? NAV_SIGNALS_BLE : NAV_SIGNALS_BOTH);
  }
}

// Every member the writer carries, each set apart from its default and from every other
// member, reads back as written: a member the writer drops or swaps shows here.
TEST_F(SettingsTest, WriterRoundTripCarriesEveryMember) {
  CommonNavProperties c;
  c.Use_Signals = NAV_SIGNALS_WIFI;
  c.Use_algorithm = NAV_ALG_KNN;
  c.Step_multiplier = 1.01;
  c.Use_particle_filter = false;
  c.Use_smoothing = false;
  c.Max_out_R = 7.02;
  c.Min_out_R = 1.03;
  c.Sig_averaging_time = 2.04;
  c.Use_graph_projection = false;
  c.Graph_prog_distance = 4.05;
  c.Use_gps = false;
  c.N_additional_particles = 6;
  c.Sig_window_shift = 0.07;
  c.Dead_reckon_time = 8.08;
  c.Cutoff_rss = -91;
  c.Use_closest_aps = true;
  c.N_closest_aps = 10;
  c.Use_stops = false;
  c.Use_stops_PF = true;
  c.Stop_averaging_time = 11.11;
  c.N_particles_location_change = 1212;
  c.N_particles_around_closest_AP = 13;
  c.Noisy_resampling_trigger_counter = 14;
  c.Use_pf_estimated_angle = true;
  c.N_round_particles_pf = 15.0;
  c.Use_number_of_beacons = false;
  c.sensorFusion = {1.16, 1.17, 1.18, 19.19, 1.20, 61.21, 36.22};
  c.gaussianProcesses = {true, true, GP_MEAN_LINEAR, GP_MODE_FULL, 10.23, 24, -80.25, 3.26, 5.27};
  c.sigmaFilter = {true, 1.28, 0.29};
  c.knn.Use_ap_weights = true;
  c.knn.Differention_mode = true;
  c.knn.Clear_unknown_beacons = true;
  c.knn.Minimal_ap_freq = 0.30;
  c.knn.Histogram_type = HISTOGRAM_WEIBULL;
  c.knn.Min_nvisible_aps = 31;
  c.knn.Min_rpvis_aps = 32;
  c.motion = {0.33, 3.34};

  auto floorProps = [](int base) {
    SublocationNavProperties f;
    f.A = -60.5 - base;
    f.B = 2.25 + base;
    f.ell = 3.5 + base;
    f.Histogram_interval_width = 4 + base;
    f.Vector_of_signals_maximal_size = 5 + base;
    f.Autocalibrate_Histogram_interval_width = 6 + base;
    f.Number_of_points_in_MNK = 7 + base;
    f.Correction_noise_meters = 1.75 + base;
    f.Resampling_noise_meters = 4.5 + base;
    f.Resampling_treshold_persantage = 81.0 + base;
    f.Number_of_part = 900 + base;
    return f;
  };
  const std::vector<std::pair<int, SublocationNavProperties>> floors = {{1, floorProps(0)},
                                                                        {2, floorProps(10)}};
  CommonNavProperties read;
  ASSERT_EQ(load(FormatNavigationConfigXML(12, c, floors), read), 0);
  EXPECT_EQ(read, c);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    SublocationNavProperties want = floors[i].second;
    const SublocationNavProperties& got = floor(i).getProperties();
    // What config.xml gives a floor is not the settings member's to carry.
    want.width_meters = got.width_meters;
    want.height_meters = got.height_meters;
    want.latitude_deg = got.latitude_deg;
    want.longitude_deg = got.longitude_deg;
    want.azimuth_deg = got.azimuth_deg;
    want.magnetic_declination_deg = got.magnetic_declination_deg;
    EXPECT_EQ(got, want);
  }
}

}  // namespace
