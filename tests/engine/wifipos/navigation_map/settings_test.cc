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

// A floor's settings without what config.xml put there.
SublocationNavProperties ownSettings(const SublocationMap& floor) {
  SublocationNavProperties s = floor.getProperties();
  s.width_meters = s.height_meters = 0;
  return s;
}

class SettingsTest : public ::testing::Test {
 protected:
  int load(const std::string& navigation, CommonNavProperties& props) {
    EXPECT_TRUE(mapfx::writeArchive(path_, {{"config.xml", kConfig}, {"navigation.xml", navigation}}));
    map_ = NavigationMap();
    map_.setPathToNavArchive(path_.c_str());
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
  NavigationMap map_;
};

TEST_F(SettingsTest, MissingElementsTakeTheirWhenAbsentValues) {
  CommonNavProperties expected;
  expected.Use_Signals = NAV_SIGNALS_BLE;
  expected.sensorFusion.Fusion_acc_coef = 2.0;
  expected.sensorFusion.Fusion_magn_coef = 4.0;
  expected.sensorFusion.Low_pass_time = 0.18;
  // Values already in the record do not survive a missing element...
  CommonNavProperties p;
  p.Max_out_R = 99;
  p.knn.Min_nvisible_aps = 9;
  ASSERT_EQ(load(member("<Common_nav_prop/>" + kFloors), p), 0);
  EXPECT_EQ(p, expected);
  // ...but without any settings element the record is left alone.
  ASSERT_EQ(load(member(kFloors), p = CommonNavProperties()), 0);
  EXPECT_EQ(p, CommonNavProperties());
}

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

TEST_F(SettingsTest, MemberAndRootErrors) {
  CommonNavProperties p;
  EXPECT_EQ(load("", p), 25);
  EXPECT_EQ(load("<Location id=\"12\"><Common_nav_prop>", p), 21);
  EXPECT_EQ(load("<Map id=\"12\"/>", p), 21);
  EXPECT_EQ(load("<Location/>", p), 5);
  EXPECT_EQ(load(member(kFloors, "13"), p), 5);
  EXPECT_EQ(load(member(kFloors, "12abc"), p), 0);
  EXPECT_EQ(load(member("<Common_nav_prop/>"), p), 5);
  // Floor 2 missing: floor 1 and the common settings keep what was read.
  EXPECT_EQ(load(member("<Common_nav_prop><Max_out_R>8</Max_out_R></Common_nav_prop>" +
                        floorElement(1)),
                 p),
            5);
  EXPECT_EQ(p.Max_out_R, 8.0);
  EXPECT_EQ(ownSettings(floor(0)).Number_of_part, 500);
  EXPECT_EQ(ownSettings(floor(1)), SublocationNavProperties());
}

TEST_F(SettingsTest, FloorSettings) {
  CommonNavProperties p;
  const std::string odd = "Number_of_part=\"12.7\" Correction_noise_meters=\" 3\" "
                          "Resampling_noise_meters=\"6m\" Resampling_treshold_persantage=\"50\"";
  ASSERT_EQ(load(member(floorElement(2, odd) + floorElement(7) + floorElement(1)), p), 0);
  SublocationNavProperties f1;
  f1.Number_of_part = 500, f1.Correction_noise_meters = 1.5, f1.Resampling_noise_meters = 4;
  f1.Resampling_treshold_persantage = 80, f1.ell = 3, f1.A = -70.5, f1.B = 2.5;
  f1.Histogram_interval_width = 2, f1.Vector_of_signals_maximal_size = 7;
  f1.Autocalibrate_Histogram_interval_width = 3, f1.Number_of_points_in_MNK = 11;
  EXPECT_EQ(ownSettings(floor(0)), f1);
  EXPECT_EQ(floor(1).getProperties().Number_of_part, 12);
  EXPECT_EQ(floor(1).getProperties().Correction_noise_meters, 3.0);
  EXPECT_EQ(floor(1).getProperties().Resampling_noise_meters, 6.0);
  EXPECT_EQ(floor(1).getProperties().width_meters, 30.0);

  // A bad value stops the read: 5, or -1 for the Gaussian-process elements;
  // what was stored before it stays.
  EXPECT_EQ(load(member(floorElement(1, "") + floorElement(2)), p), 5);
  EXPECT_EQ(ownSettings(floor(0)), SublocationNavProperties());
  EXPECT_EQ(load(member(floorElement(1, "Number_of_part=\"30\" Correction_noise_meters=\"1\" "
                                        "Resampling_noise_meters=\"x\"") +
                        floorElement(2)),
                 p),
            5);
  EXPECT_EQ(floor(0).getProperties().Correction_noise_meters, 1.0);
  const std::pair<std::string, std::string> edits[] = {
      {"B=\"2.5\"", ""}, {"A=\"-70.5\"", "A=\"a\""}, {"ell=\"3\"", "ell=\"inf\""},
      {"GP_Fixed_Mode", "GP_Fixed"}, {"Histogram_interval_width=\"2\"", ""},
      {"Number_of_points_in_MNK=\"11\"", "Number_of_points_in_MNK=\"\""},
      {"Number_of_part=\"500\"", "Number_of_part=\"x12\""}};
  const int expected[] = {-1, -1, -1, 5, 5, 5, 5};
  for (size_t i = 0; i < std::size(edits); ++i) {
    std::string f = floorElement(1);
    f.replace(f.find(edits[i].first), edits[i].first.size(), edits[i].second);
    EXPECT_EQ(load(member(f + floorElement(2)), p), expected[i]) << edits[i].second;
  }
}

TEST_F(SettingsTest, WrittenSettingsReadBackEqual) {
  std::mt19937 rng(20261206);
  std::uniform_real_distribution<double> r(-1000, 1000);
  std::uniform_int_distribution<int> n(-5000, 5000);
  auto b = [&] { return (rng() & 1) != 0; };
  auto pick = [&](int first, int count) { return first + static_cast<int>(rng() % count); };
  for (int round = 0; round < 4; ++round) {
    CommonNavProperties p;
    p.Use_Signals = pick(101, 3);
    p.Use_algorithm = std::vector<int>{107, 108, 109, 110, 112, 113, 114}[rng() % 7];
    p.Step_multiplier = r(rng), p.Max_out_R = r(rng), p.Min_out_R = 1.0 / 3.0;
    p.Sig_averaging_time = r(rng), p.Graph_prog_distance = 1e-300, p.Sig_window_shift = r(rng);
    p.Dead_reckon_time = r(rng), p.Stop_averaging_time = r(rng), p.N_round_particles_pf = n(rng);
    p.Use_particle_filter = b(), p.Use_smoothing = b(), p.Use_graph_projection = b();
    p.Use_gps = b(), p.Use_closest_aps = b(), p.Use_stops = b(), p.Use_stops_PF = b();
    p.Use_pf_estimated_angle = b(), p.Use_number_of_beacons = b();
    p.N_additional_particles = n(rng), p.Cutoff_rss = n(rng), p.N_closest_aps = n(rng);
    p.N_particles_location_change = n(rng), p.N_particles_around_closest_AP = n(rng);
    p.Noisy_resampling_trigger_counter = n(rng);
    p.sensorFusion = {r(rng), r(rng), r(rng), r(rng), r(rng), r(rng), r(rng)};
    p.gaussianProcesses = {b(),    b(),    pick(104, 3), pick(121, 3), r(rng),
                           n(rng), r(rng), r(rng),       r(rng)};
    p.sigmaFilter = {b(), r(rng), r(rng)};
    p.knn = {b(), b(), b(), r(rng), pick(301, 2), n(rng), n(rng), 1};
    p.motion = {r(rng), r(rng)};
    SublocationNavProperties f1, f2;
    f1.A = r(rng), f1.B = r(rng), f1.ell = r(rng), f1.Histogram_interval_width = 0;
    f1.Vector_of_signals_maximal_size = n(rng), f1.Autocalibrate_Histogram_interval_width = n(rng);
    f1.Number_of_points_in_MNK = n(rng), f1.Correction_noise_meters = r(rng);
    f1.Resampling_noise_meters = r(rng), f1.Resampling_treshold_persantage = r(rng);
    f1.Number_of_part = n(rng), f2.ell = 0.1;

    ASSERT_TRUE(mapfx::writeArchive(path_, {{"config.xml", kConfig}, {"keep.txt", "kept"}}));
    map_ = NavigationMap();
    map_.setPathToNavArchive(path_.c_str());
    ASSERT_EQ(map_.parseConfigXML(), 0);
    ASSERT_EQ(map_.createNavFileInArchieve(FormatNavigationConfigXML(12, p, {{2, f2}, {1, f1}}),
                                           "tracking.xml"),
              0);
    CommonNavProperties back;
    ASSERT_EQ(map_.parseNavigationConfigXML("tracking.xml", back), 0);
    EXPECT_EQ(back, p) << "round " << round;
    EXPECT_EQ(ownSettings(floor(0)), f1);
    EXPECT_EQ(ownSettings(floor(1)), f2);
    char* data = nullptr;  // the other members are kept
    ASSERT_EQ(map_.getDataFromZip(path_.c_str(), "keep.txt", data, nullptr), 0);
    EXPECT_STREQ(data, "kept");
    std::free(data);
  }
  map_.setPathToNavArchive(dir_.file("none.mvz").c_str());
  EXPECT_EQ(map_.createNavFileInArchieve("<Location/>", "navigation.xml"), 1);
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

}  // namespace
