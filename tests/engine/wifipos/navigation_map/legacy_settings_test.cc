// Settings member in the legacy attribute form.
#include <string>

#include <gtest/gtest.h>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

class LegacySettingsTest : public ::testing::Test {
 protected:
  // Reads the given settings elements from a one-floor location.
  CommonNavProperties read(const std::string& body) {
    const std::string floor =
        "<Particle_filter Number_of_part=\"1\" Correction_noise_meters=\"1\" "
        "Resampling_noise_meters=\"1\" Resampling_treshold_persantage=\"1\"/><GP_Fixed_Mode "
        "ell=\"1\"/><GP_Normal_Mode A=\"1\" B=\"1\"/><Probabilistic_method "
        "Histogram_interval_width=\"1\"/><Autocalibration Vector_of_signals_maximal_size=\"1\" "
        "Autocalibrate_Histogram_interval_width=\"1\" Number_of_points_in_MNK=\"1\"/>";
    std::string settings = mapfx::floorsMember(3, {{1, floor}});
    settings.insert(settings.find('\n') + 1, body);
    EXPECT_TRUE(mapfx::writeArchive(
        path_, {{"config.xml", mapfx::configXml(3, mapfx::floorXml(1, "f.bmp", 10, 10))},
                {"navigation.xml", settings}}));
    NavigationMap map;
    map.setPathToNavArchive(path_.c_str());
    EXPECT_EQ(map.parseConfigXML(), 0);
    CommonNavProperties p;
    EXPECT_EQ(map.parseNavigationConfigXML("navigation.xml", p), 0);
    return p;
  }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
};

TEST_F(LegacySettingsTest, TopLevelAttributesFillTheirMembers) {
  CommonNavProperties e;
  e.Max_out_R = 7.5, e.Min_out_R = 2, e.Use_Signals = NAV_SIGNALS_WIFI;
  e.Use_algorithm = NAV_ALG_HISTOGRAM, e.Use_particle_filter = false, e.Use_smoothing = false;
  e.Use_closest_aps = true, e.N_closest_aps = 4, e.N_particles_around_closest_AP = 20;
  e.Noisy_resampling_trigger_counter = 3, e.Use_stops = false, e.Use_stops_PF = true;
  e.Stop_averaging_time = 4, e.Step_multiplier = 1.25, e.Histogram_type = HISTOGRAM_WEIBULL;
  e.gaussianProcesses.Corrections_number = 5, e.Sig_averaging_time = 2, e.Sig_window_shift = 0.25;
  e.Dead_reckon_time = 9, e.Use_ap_weights = true, e.Minimal_ap_freq = 0.5;
  e.N_additional_particles = 6, e.gaussianProcesses.Correction_noise = 3;
  e.Use_graph_projection = false, e.Use_gps = false, e.Cutoff_rss = -95;
  e.Clear_unknown_beacons = true;
  // Trailing characters are ignored; Graph_prog_distance and
  // N_round_particles_pf are not carried by this form; without a KNN child
  // the Knn group keeps its defaults.
  EXPECT_EQ(read(R"(<Common_nav_properties out_R="7.5x" min_out_R=" 2" Use_Signals="wifi" )"
                 R"(Use_algorithm="HISTOGRAM" Use_particle_filter="0" Use_smoothing="0" )"
                 R"(Use_closest_aps="1" N_closest_aps="4" N_particles_around_closest_AP="20" )"
                 R"(Noisy_resampling_trigger_counter="3" Use_stops="0" Use_stops_PF="1" )"
                 R"(Stop_averaging_time="4" Step_multiplier="1.25" Histogram_type="Weibull" )"
                 R"(GP_corrections_number="5" Sig_averaging_time="2" Sig_window_shift="0.25" )"
                 R"(Dead_reckon_time="9" Use_ap_weights="1" Minimal_ap_freq="0.5" )"
                 R"(N_additional_particles="6" gp_correction_noise="3" Use_graph_projection="0" )"
                 R"(Use_gps="0" Cutoff_rss="-95" Clear_unknown_beacons="1" )"
                 R"(Graph_prog_distance="1" N_round_particles_pf="9"/>)"),
            e);
}

TEST_F(LegacySettingsTest, UnreadableValuesKeepOrClearTheirMember) {
  CommonNavProperties p = read(
      R"(<Common_nav_properties Use_gps="true" Use_smoothing="false" Use_stops="x" )"
      R"(Dead_reckon_time="soon" Cutoff_rss="" Use_Signals="BLE" Use_algorithm="Knn" )"
      R"(Histogram_type="binned" Step_multiplier="inf"/>)");
  EXPECT_TRUE(p.Use_gps);  // the words read as what they say
  EXPECT_FALSE(p.Use_smoothing);
  EXPECT_FALSE(p.Use_stops);  // any other unreadable flag becomes false
  EXPECT_EQ(p.Dead_reckon_time, 6.0);
  EXPECT_EQ(p.Cutoff_rss, -100);
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_BOTH);  // words are case-sensitive here
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_GP);
  EXPECT_EQ(p.Histogram_type, HISTOGRAM_BINNED);
  EXPECT_EQ(p.Step_multiplier, 1.0);
  EXPECT_EQ(read("<Common_nav_properties/>"), CommonNavProperties());
}

TEST_F(LegacySettingsTest, GaussianProcessAttributesDependOnTheAlgorithmAndTheGroupWins) {
  // "Gp" is not a listed word, but the algorithm stays 108, so the mean
  // model and the mode are still read.
  CommonNavProperties p =
      read(R"(<Common_nav_properties Use_algorithm="Gp" Mean_model="const" GP_Mode="Full"/>)");
  EXPECT_EQ(p.gaussianProcesses.Mean_model, GP_MEAN_CONST);
  EXPECT_EQ(p.gaussianProcesses.Mode, GP_MODE_FULL);

  p = read(R"(<Common_nav_properties Use_algorithm="KNN" GP_Mode="Full" Mean_model="const">)"
           R"(<Gaussian_Processes Mode="Fixed"/></Common_nav_properties>)");
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_KNN);
  EXPECT_EQ(p.gaussianProcesses.Mode, GP_MODE_FIXED);
  EXPECT_EQ(p.gaussianProcesses.Mean_model, GP_MEAN_LOG);

  p = read(R"(<Common_nav_properties Use_algorithm="gp" GP_Mode="Full" gp_correction_noise="2" )"
           R"(GP_corrections_number="2"><Gaussian_Processes Mode="Normal" Mean_model="linear" )"
           R"(Correction_noise="4" Corrections_number="6" Normal_mode_A="-50" Normal_mode_B="2" )"
           R"(Fixed_mode_ell="8" Use_beacon_power="1" Differention_mode="1"/>)"
           R"(</Common_nav_properties>)");
  EXPECT_EQ(p.gaussianProcesses, (CommonNavProperties::GaussianProcesses{
                                     true, true, GP_MEAN_LINEAR, GP_MODE_NORMAL, 4, 6, -50, 2, 8}));
}

TEST_F(LegacySettingsTest, KnnChildEnablesTheParentsKnnAttributesAndTheOtherGroups) {
  CommonNavProperties p = read(
      R"(<Common_nav_properties Clear_unknown_beacons="1" Minimal_ap_freq="2.5" )"
      R"(Histogram_type="Weibull" Differention_mode="1" Min_nvisible_aps="3" Min_rpvis_aps="4" )"
      R"(N_closest_rp="6" Use_ap_weights="0"><KNN Use_ap_weights="1"/>)"
      R"(<Sensor_fusion Fusion_acc_coef="3" Fusion_magn_coef="5" Low_pass_time="0.3" )"
      R"(Gyro_bias_degpersec="9"/><Sigma_filter Use_sigma_filter="1" Var_window_sec="2" )"
      R"(Stat_accum_sec="0.5"/><Motion Steplength_noise="0.1" Angle_noise="3"/>)"
      R"(</Common_nav_properties>)");
  // N_closest_rp is read after Min_rpvis_aps, into the same member.
  EXPECT_EQ(p.knn, (CommonNavProperties::Knn{true, true, true, 2.5, HISTOGRAM_WEIBULL, 3, 6, 1}));
  EXPECT_FALSE(p.Use_ap_weights);
  EXPECT_TRUE(p.Clear_unknown_beacons);
  EXPECT_EQ(p.Minimal_ap_freq, 2.5);
  EXPECT_EQ(p.Histogram_type, HISTOGRAM_WEIBULL);
  // Gyro_bias_degpersec is not carried by this form.
  EXPECT_EQ(p.sensorFusion, (CommonNavProperties::SensorFusion{3, 5, 0.3, 10, 1, 60, 35}));
  EXPECT_EQ(p.sigmaFilter, (CommonNavProperties::SigmaFilter{true, 2, 0.5}));
  EXPECT_EQ(p.motion, (CommonNavProperties::Motion{0.1, 3}));
}

TEST_F(LegacySettingsTest, CurrentFormWinsWhenBothArePresent) {
  CommonNavProperties p = read(R"(<Common_nav_properties out_R="9" Use_Signals="wifi"/>)"
                               R"(<Common_nav_prop><Max_out_R>4</Max_out_R></Common_nav_prop>)");
  EXPECT_EQ(p.Max_out_R, 4.0);
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_BLE);
}

}  // namespace
