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
    NavigationMap map(EngineBehaviour::kit());
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

}  // namespace
