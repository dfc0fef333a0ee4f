// Settings member in the legacy attribute form.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "server/zip_archive.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/navigation_settings.h"

namespace {

namespace fs = std::filesystem;

const char* kConfig = R"(<Location id="3" name="loc">
  <Sublocation id="1" name="f1"><Files><File type="BMP" name="f1.bmp"/></Files>
    <Metrics width_meters="10" height_meters="10"/></Sublocation>
</Location>)";

const char* kFloor =
    R"(<Sublocation id="1"><Particle_filter Number_of_part="1" Correction_noise_meters="1" )"
    R"(Resampling_noise_meters="1" Resampling_treshold_persantage="1"/><GP_Fixed_Mode ell="1"/>)"
    R"(<GP_Normal_Mode A="1" B="1"/><Probabilistic_method Histogram_interval_width="1"/>)"
    R"(<Autocalibration Vector_of_signals_maximal_size="1" )"
    R"(Autocalibrate_Histogram_interval_width="1" Number_of_points_in_MNK="1"/></Sublocation>)";

class LegacySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mv_legacy_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "map.mvz").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Reads a Location holding `body` (settings elements) and the floor.
  CommonNavProperties read(const std::string& body) {
    const std::string member = "<Location id=\"3\">" + body + kFloor + "</Location>";
    zip* z = ZipCreate(path_.c_str());
    EXPECT_NE(z, nullptr);
    ZipWriteBuffer(z, "config.xml", kConfig, static_cast<int>(std::string(kConfig).size()));
    ZipWriteBuffer(z, "navigation.xml", member.data(), static_cast<int>(member.size()));
    EXPECT_EQ(ZipClose(z), 0);
    NavigationMap map;
    map.setPathToNavArchive(path_.c_str());
    EXPECT_EQ(map.parseConfigXML(), 0);
    CommonNavProperties p;
    EXPECT_EQ(map.parseNavigationConfigXML("navigation.xml", p), 0);
    return p;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(LegacySettingsTest, TopLevelAttributesFillTheirMembers) {
  CommonNavProperties p = read(
      R"(<Common_nav_properties out_R="7.5x" min_out_R=" 2" Use_Signals="wifi" )"
      R"(Use_algorithm="HISTOGRAM" Use_particle_filter="0" Use_smoothing="0" Use_closest_aps="1" )"
      R"(N_closest_aps="4" N_particles_around_closest_AP="20" Noisy_resampling_trigger_counter="3" )"
      R"(Use_stops="0" Use_stops_PF="1" Stop_averaging_time="4" Step_multiplier="1.25" )"
      R"(Histogram_type="Weibull" GP_corrections_number="5" Sig_averaging_time="2" )"
      R"(Sig_window_shift="0.25" Dead_reckon_time="9" Use_ap_weights="1" Minimal_ap_freq="0.5" )"
      R"(N_additional_particles="6" gp_correction_noise="3" Use_graph_projection="0" )"
      R"(Use_gps="0" Cutoff_rss="-95" Clear_unknown_beacons="1" Graph_prog_distance="1" )"
      R"(N_round_particles_pf="9"/>)");
  EXPECT_EQ(p.Max_out_R, 7.5);  // trailing characters are ignored here
  EXPECT_EQ(p.Min_out_R, 2.0);
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_WIFI);
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_HISTOGRAM);
  EXPECT_FALSE(p.Use_particle_filter);
  EXPECT_FALSE(p.Use_smoothing);
  EXPECT_TRUE(p.Use_closest_aps);
  EXPECT_EQ(p.N_closest_aps, 4);
  EXPECT_EQ(p.N_particles_around_closest_AP, 20);
  EXPECT_EQ(p.Noisy_resampling_trigger_counter, 3);
  EXPECT_FALSE(p.Use_stops);
  EXPECT_TRUE(p.Use_stops_PF);
  EXPECT_EQ(p.Stop_averaging_time, 4.0);
  EXPECT_EQ(p.Step_multiplier, 1.25);
  EXPECT_EQ(p.Histogram_type, HISTOGRAM_WEIBULL);
  EXPECT_EQ(p.gaussianProcesses.Corrections_number, 5);
  EXPECT_EQ(p.Sig_averaging_time, 2.0);
  EXPECT_EQ(p.Sig_window_shift, 0.25);
  EXPECT_EQ(p.Dead_reckon_time, 9.0);
  EXPECT_TRUE(p.Use_ap_weights);
  EXPECT_EQ(p.Minimal_ap_freq, 0.5);
  EXPECT_EQ(p.N_additional_particles, 6);
  EXPECT_EQ(p.gaussianProcesses.Correction_noise, 3.0);
  EXPECT_FALSE(p.Use_graph_projection);
  EXPECT_FALSE(p.Use_gps);
  EXPECT_EQ(p.Cutoff_rss, -95);
  EXPECT_TRUE(p.Clear_unknown_beacons);
  // Not carried by this form.
  EXPECT_EQ(p.Graph_prog_distance, 5.0);
  EXPECT_EQ(p.N_round_particles_pf, 180.0);
  // Without a KNN child the group keeps its defaults.
  EXPECT_EQ(p.knn, CommonNavProperties::Knn());
}

TEST_F(LegacySettingsTest, UnreadableValuesKeepOrClearTheirMember) {
  CommonNavProperties p = read(
      R"(<Common_nav_properties Use_gps="true" Use_smoothing="false" Use_stops="x" )"
      R"(Dead_reckon_time="soon" Cutoff_rss="" Use_Signals="BLE" Use_algorithm="Knn" )"
      R"(Histogram_type="binned" Step_multiplier="inf"/>)");
  EXPECT_TRUE(p.Use_gps);         // the word reads as what it says
  EXPECT_FALSE(p.Use_smoothing);
  EXPECT_FALSE(p.Use_stops);      // any other unreadable flag becomes false
  EXPECT_EQ(p.Dead_reckon_time, 6.0);
  EXPECT_EQ(p.Cutoff_rss, -100);
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_BOTH);  // words are case-sensitive here
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_GP);
  EXPECT_EQ(p.Histogram_type, HISTOGRAM_BINNED);
  EXPECT_EQ(p.Step_multiplier, 1.0);

  // Missing attributes keep the constructor values, flags included.
  p = read("<Common_nav_properties/>");
  EXPECT_EQ(p, CommonNavProperties());
}

TEST_F(LegacySettingsTest, GaussianProcessAttributesDependOnTheAlgorithmAndTheGroupWins) {
  // "Gp" is not a listed word, but the algorithm is 108 by default, so the
  // mean model and mode are still read.
  CommonNavProperties p = read(
      R"(<Common_nav_properties Use_algorithm="Gp" Mean_model="const" GP_Mode="Full"/>)");
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_GP);
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
  const CommonNavProperties::GaussianProcesses& g = p.gaussianProcesses;
  EXPECT_EQ(g.Mode, GP_MODE_NORMAL);
  EXPECT_EQ(g.Mean_model, GP_MEAN_LINEAR);
  EXPECT_EQ(g.Correction_noise, 4.0);
  EXPECT_EQ(g.Corrections_number, 6);
  EXPECT_EQ(g.Normal_mode_A, -50.0);
  EXPECT_EQ(g.Normal_mode_B, 2.0);
  EXPECT_EQ(g.Fixed_mode_ell, 8.0);
  EXPECT_TRUE(g.Use_beacon_power);
  EXPECT_TRUE(g.Differention_mode);
}

TEST_F(LegacySettingsTest, KnnChildEnablesTheParentsKnnAttributes) {
  CommonNavProperties p = read(
      R"(<Common_nav_properties Clear_unknown_beacons="1" Minimal_ap_freq="2.5" )"
      R"(Histogram_type="Weibull" Differention_mode="1" Min_nvisible_aps="3" Min_rpvis_aps="4" )"
      R"(N_closest_rp="6" Use_ap_weights="0"><KNN Use_ap_weights="1"/>)"
      R"(<Sensor_fusion Fusion_acc_coef="3" Fusion_magn_coef="5" Low_pass_time="0.3" )"
      R"(Gyro_bias_degpersec="9"/><Sigma_filter Use_sigma_filter="1" Var_window_sec="2" )"
      R"(Stat_accum_sec="0.5"/><Motion Steplength_noise="0.1" Angle_noise="3"/>)"
      R"(</Common_nav_properties>)");
  EXPECT_TRUE(p.knn.Use_ap_weights);
  EXPECT_FALSE(p.Use_ap_weights);
  EXPECT_TRUE(p.knn.Clear_unknown_beacons);
  EXPECT_TRUE(p.Clear_unknown_beacons);
  EXPECT_EQ(p.knn.Minimal_ap_freq, 2.5);
  EXPECT_EQ(p.Minimal_ap_freq, 2.5);
  EXPECT_EQ(p.knn.Histogram_type, HISTOGRAM_WEIBULL);
  EXPECT_EQ(p.Histogram_type, HISTOGRAM_WEIBULL);
  EXPECT_TRUE(p.knn.Differention_mode);
  EXPECT_EQ(p.knn.Min_nvisible_aps, 3);
  EXPECT_EQ(p.knn.Min_rpvis_aps, 6);  // N_closest_rp is read later into the same member
  EXPECT_EQ(p.sensorFusion.Fusion_acc_coef, 3.0);
  EXPECT_EQ(p.sensorFusion.Fusion_magn_coef, 5.0);
  EXPECT_EQ(p.sensorFusion.Low_pass_time, 0.3);
  EXPECT_EQ(p.sensorFusion.Gyro_bias_degpersec, 1.0);  // not carried by this form
  EXPECT_TRUE(p.sigmaFilter.Use_sigma_filter);
  EXPECT_EQ(p.sigmaFilter.Var_window_sec, 2.0);
  EXPECT_EQ(p.sigmaFilter.Stat_accum_sec, 0.5);
  EXPECT_EQ(p.motion.Steplength_noise, 0.1);
  EXPECT_EQ(p.motion.Angle_noise, 3.0);
}

TEST_F(LegacySettingsTest, CurrentFormWinsWhenBothArePresent) {
  CommonNavProperties p = read(
      R"(<Common_nav_properties out_R="9" Use_Signals="wifi"/>)"
      R"(<Common_nav_prop><Max_out_R>4</Max_out_R></Common_nav_prop>)");
  EXPECT_EQ(p.Max_out_R, 4.0);
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_BLE);
}

}  // namespace
