// Settings member: current element form, floor settings, writer round trip.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/utils.h"
#include "server/zip_archive.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/navigation_settings.h"

namespace {

namespace fs = std::filesystem;

const char* kConfigTwoFloors = R"(<Location id="12" name="loc">
  <Sublocation id="1" name="f1"><Files><File type="BMP" name="f1.bmp"/></Files>
    <Metrics width_meters="20" height_meters="10"/></Sublocation>
  <Sublocation id="2" name="f2"><Files><File type="BMP" name="f2.bmp"/></Files>
    <Metrics width_meters="30" height_meters="15"/></Sublocation>
</Location>)";

std::string floorElement(int id, const std::string& pf = R"(Number_of_part="500" Correction_noise_meters="1.5" Resampling_noise_meters="4" Resampling_treshold_persantage="80")") {
  return "<Sublocation id=\"" + std::to_string(id) + "\"><Particle_filter " + pf +
         "/><GP_Fixed_Mode ell=\"3\"/><GP_Normal_Mode A=\"-70.5\" B=\"2.5\"/>"
         "<Probabilistic_method Histogram_interval_width=\"2\"/>"
         "<Autocalibration Vector_of_signals_maximal_size=\"7\" "
         "Autocalibrate_Histogram_interval_width=\"3\" Number_of_points_in_MNK=\"11\"/>"
         "</Sublocation>";
}

std::string settingsMember(const std::string& common, const std::string& floors = "",
                           const std::string& id = "12") {
  return "<?xml version=\"1.0\"?>\n<Location id=\"" + id + "\">" + common + floors +
         "</Location>";
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mv_settings_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "map.mvz").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void writeArchive(const std::map<std::string, std::string>& members) {
    zip* z = ZipCreate(path_.c_str());
    ASSERT_NE(z, nullptr);
    for (const auto& [name, text] : members)
      ASSERT_EQ(ZipWriteBuffer(z, name.c_str(), text.data(), static_cast<int>(text.size())), 0);
    ASSERT_EQ(ZipClose(z), 0);
  }

  // A map with the two floors of kConfigTwoFloors and the given settings member.
  int load(const std::string& navigation, CommonNavProperties& props) {
    writeArchive({{"config.xml", kConfigTwoFloors}, {"navigation.xml", navigation}});
    map_ = NavigationMap();
    map_.setPathToNavArchive(path_.c_str());
    EXPECT_EQ(map_.parseConfigXML(), 0);
    return map_.parseNavigationConfigXML("navigation.xml", props);
  }

  // Reads a current-form settings element with both floors present.
  CommonNavProperties readCommon(const std::string& inner) {
    CommonNavProperties p;
    EXPECT_EQ(load(settingsMember("<Common_nav_prop>" + inner + "</Common_nav_prop>",
                                  floorElement(1) + floorElement(2)),
                   p),
              0);
    return p;
  }

  fs::path dir_;
  std::string path_;
  NavigationMap map_;
};

// Collects what the readers log while alive.
class LogCapture {
 public:
  explicit LogCapture(const fs::path& file) : file_(file.string()) {
    _Logger.setOutStream(nullptr);
    _Logger.setLogFile(file_);
    _Logger.setDebugLevel(11, "parse_navigation_config.cc");
  }
  ~LogCapture() {
    _Logger.setDebugLevel(1, "parse_navigation_config.cc");
    _Logger.setLogFile("");
    _Logger.setOutStream(stdout);
  }
  std::string text() const {
    std::ifstream in(file_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::string file_;
};

TEST_F(SettingsTest, EmptyElementGivesWhenAbsentValuesAndNoElementKeepsDefaults) {
  CommonNavProperties expected;  // the constructor defaults...
  EXPECT_EQ(expected.Use_Signals, NAV_SIGNALS_BOTH);
  EXPECT_EQ(expected.Use_algorithm, NAV_ALG_GP);
  EXPECT_EQ(expected.knn.Histogram_type, HISTOGRAM_BINNED);
  EXPECT_EQ(expected.gaussianProcesses.Mode, GP_MODE_NORMAL);
  EXPECT_EQ(expected.gaussianProcesses.Mean_model, GP_MEAN_LOG);

  // ...except where the reader's when-absent value differs.
  expected.Use_Signals = NAV_SIGNALS_BLE;
  expected.sensorFusion.Fusion_acc_coef = 2.0;
  expected.sensorFusion.Fusion_magn_coef = 4.0;
  expected.sensorFusion.Low_pass_time = 0.18;
  EXPECT_EQ(readCommon(""), expected);

  // Values already in the record do not survive a missing element.
  CommonNavProperties p;
  p.Max_out_R = 99;
  p.knn.Min_nvisible_aps = 9;
  p.Use_Signals = NAV_SIGNALS_WIFI;
  ASSERT_EQ(load(settingsMember("<Common_nav_prop/>", floorElement(1) + floorElement(2)), p), 0);
  EXPECT_EQ(p, expected);

  CommonNavProperties untouched;
  untouched.Max_out_R = 99;
  ASSERT_EQ(load(settingsMember("", floorElement(1) + floorElement(2)), untouched), 0);
  EXPECT_EQ(untouched.Max_out_R, 99);
  EXPECT_EQ(untouched.Use_Signals, NAV_SIGNALS_BOTH);
}

TEST_F(SettingsTest, WordSettingsIgnoreCaseAndUnknownWordsKeepTheValue) {
  CommonNavProperties p = readCommon(
      "<Use_Signals>WiFi</Use_Signals><Use_algorithm>ZONES</Use_algorithm>"
      "<Gaussian_Processes><Mean_model>Const</Mean_model><Mode>FIXED</Mode></Gaussian_Processes>"
      "<KNN><Histogram_type>weibull</Histogram_type></KNN>");
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_WIFI);
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_ZONE);
  EXPECT_EQ(p.gaussianProcesses.Mean_model, GP_MEAN_CONST);
  EXPECT_EQ(p.gaussianProcesses.Mode, GP_MODE_FIXED);
  EXPECT_EQ(p.knn.Histogram_type, HISTOGRAM_WEIBULL);

  p = readCommon("<Use_algorithm>statistical</Use_algorithm><Use_Signals>both</Use_Signals>");
  EXPECT_EQ(p.Use_algorithm, NAV_ALG_GP);
  EXPECT_EQ(p.Use_Signals, NAV_SIGNALS_BOTH);

  const std::pair<const char*, int> algorithms[] = {
      {"knn", NAV_ALG_KNN}, {"histogram", NAV_ALG_HISTOGRAM}, {"gauss", NAV_ALG_GAUSS},
      {"trilat", NAV_ALG_TRILAT}, {"RP", NAV_ALG_RP}, {"zone", NAV_ALG_ZONE}};
  for (const auto& [word, code] : algorithms)
    EXPECT_EQ(readCommon(std::string("<Use_algorithm>") + word + "</Use_algorithm>").Use_algorithm,
              code)
        << word;
}

TEST_F(SettingsTest, FlagsReadNumbersAndTheWordsTrueAndFalse) {
  CommonNavProperties p = readCommon(
      "<Use_gps>false</Use_gps><Use_smoothing>0</Use_smoothing>"
      "<Use_stops_PF>true</Use_stops_PF><Use_closest_aps>TRUE</Use_closest_aps>"
      "<Use_pf_estimated_angle>1</Use_pf_estimated_angle><Use_stops>7</Use_stops>"
      "<Sigma_filter><Use_sigma_filter>True</Use_sigma_filter></Sigma_filter>");
  EXPECT_FALSE(p.Use_gps);
  EXPECT_FALSE(p.Use_smoothing);
  EXPECT_TRUE(p.Use_stops_PF);
  EXPECT_TRUE(p.Use_closest_aps);
  EXPECT_TRUE(p.Use_pf_estimated_angle);
  EXPECT_TRUE(p.Use_stops);
  EXPECT_TRUE(p.sigmaFilter.Use_sigma_filter);

  // Other unreadable flags take the conversion result, with a message.
  LogCapture log(dir_ / "log.txt");
  p = readCommon("<Use_gps>yes</Use_gps><Use_stops_PF>1a</Use_stops_PF><Use_smoothing/>");
  EXPECT_FALSE(p.Use_gps);
  EXPECT_TRUE(p.Use_stops_PF);
  EXPECT_FALSE(p.Use_smoothing);
  const std::string text = log.text();
  EXPECT_NE(text.find("ERROR: incorrect value of Use_gps element"), std::string::npos);
  EXPECT_NE(text.find("ERROR: incorrect value of Use_stops_PF element"), std::string::npos);
}

TEST_F(SettingsTest, NumbersMustBeWholeAndInRange) {
  CommonNavProperties p = readCommon(
      "<Max_out_R>7.5x</Max_out_R><Min_out_R>1e1</Min_out_R><Dead_reckon_time>1e999"
      "</Dead_reckon_time><Sig_window_shift>nan</Sig_window_shift>"
      "<Step_multiplier>\n   2.25\n  </Step_multiplier><Cutoff_rss>-90</Cutoff_rss>"
      "<N_closest_aps>99999999999</N_closest_aps><N_additional_particles>3.5"
      "</N_additional_particles><N_particles_location_change/>"
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
}

TEST_F(SettingsTest, GroupsAreReadFromTheirFirstElement) {
  CommonNavProperties p = readCommon(
      "<KNN><Minimal_ap_freq>0.5</Minimal_ap_freq><Clear_unknown_beacons>1"
      "</Clear_unknown_beacons><Min_rpvis_aps>4</Min_rpvis_aps><Differention_mode>1"
      "</Differention_mode></KNN>"
      "<KNN><Min_nvisible_aps>5</Min_nvisible_aps></KNN>"
      "<Gaussian_Processes><Differention_mode>0</Differention_mode><Normal_mode_A>-60"
      "</Normal_mode_A><Corrections_number>3</Corrections_number></Gaussian_Processes>"
      "<Motion><Angle_noise>0.25</Angle_noise></Motion>"
      "<Sensor_fusion><Low_pass_time>0.5</Low_pass_time></Sensor_fusion>"
      "<Minimal_ap_freq>7</Minimal_ap_freq>");
  EXPECT_EQ(p.knn.Minimal_ap_freq, 0.5);
  EXPECT_TRUE(p.knn.Clear_unknown_beacons);
  EXPECT_EQ(p.knn.Min_rpvis_aps, 4);
  EXPECT_EQ(p.knn.Min_nvisible_aps, 2);  // only the first KNN element counts
  EXPECT_TRUE(p.knn.Differention_mode);
  EXPECT_FALSE(p.gaussianProcesses.Differention_mode);
  EXPECT_EQ(p.gaussianProcesses.Normal_mode_A, -60);
  EXPECT_EQ(p.gaussianProcesses.Corrections_number, 3);
  EXPECT_EQ(p.motion.Angle_noise, 0.25);
  EXPECT_EQ(p.sensorFusion.Low_pass_time, 0.5);
  EXPECT_EQ(p.sensorFusion.Fusion_acc_coef, 2.0);  // present group, missing element
  // The top-level twins of the KNN members belong to the legacy form only.
  EXPECT_EQ(p.Minimal_ap_freq, 0.0);
  EXPECT_FALSE(p.Clear_unknown_beacons);
}

TEST_F(SettingsTest, MemberAndRootErrors) {
  CommonNavProperties p;
  writeArchive({{"config.xml", kConfigTwoFloors}});
  map_.setPathToNavArchive(path_.c_str());
  ASSERT_EQ(map_.parseConfigXML(), 0);
  EXPECT_EQ(map_.parseNavigationConfigXML("navigation.xml", p), 25);

  const std::string floors = floorElement(1) + floorElement(2);
  EXPECT_EQ(load("", p), 25);
  EXPECT_EQ(load("<Location id=\"12\"><Common_nav_prop>", p), 21);
  EXPECT_EQ(load("<Map id=\"12\"/>", p), 21);
  EXPECT_EQ(load("<Location/>", p), 5);
  EXPECT_EQ(load(settingsMember("", floors, "13"), p), 5);
  EXPECT_EQ(load(settingsMember("", floors, "12abc"), p), 0);
  EXPECT_EQ(load(settingsMember("<Common_nav_prop/>", ""), p), 5);
}

TEST_F(SettingsTest, FloorSettingsAreFoundByIdInAnyOrder) {
  CommonNavProperties p;
  ASSERT_EQ(load(settingsMember("", floorElement(2, R"(Number_of_part="12.7" Correction_noise_meters=" 3" Resampling_noise_meters="6m" Resampling_treshold_persantage="50")") +
                                        floorElement(7) + floorElement(1)),
                 p),
            0);
  const SublocationNavProperties& f1 = map_.getSublocationsVector()[0].getProperties();
  const SublocationNavProperties& f2 = map_.getSublocationsVector()[1].getProperties();
  EXPECT_EQ(f1.Number_of_part, 500);
  EXPECT_EQ(f1.Correction_noise_meters, 1.5);
  EXPECT_EQ(f1.Resampling_treshold_persantage, 80.0);
  EXPECT_EQ(f1.ell, 3.0);
  EXPECT_EQ(f1.A, -70.5);
  EXPECT_EQ(f1.B, 2.5);
  EXPECT_EQ(f1.Histogram_interval_width, 2);
  EXPECT_EQ(f1.Vector_of_signals_maximal_size, 7);
  EXPECT_EQ(f1.Autocalibrate_Histogram_interval_width, 3);
  EXPECT_EQ(f1.Number_of_points_in_MNK, 11);
  EXPECT_EQ(f1.width_meters, 20.0);  // config.xml values are left alone
  EXPECT_EQ(f2.Number_of_part, 12);
  EXPECT_EQ(f2.Correction_noise_meters, 3.0);
  EXPECT_EQ(f2.Resampling_noise_meters, 6.0);
  EXPECT_EQ(f2.width_meters, 30.0);
}

TEST_F(SettingsTest, FloorSettingsFailuresStopTheReadAndKeepWhatWasStored) {
  CommonNavProperties p;
  const SublocationNavProperties defaults;
  EXPECT_EQ(defaults.Resampling_treshold_persantage, 900.0);
  EXPECT_EQ(defaults.Number_of_part, 1000);
  EXPECT_EQ(defaults.Histogram_interval_width, 1);

  // Second floor missing: the first keeps its settings, the common ones too.
  EXPECT_EQ(load(settingsMember("<Common_nav_prop><Max_out_R>8</Max_out_R></Common_nav_prop>",
                                floorElement(1)),
                 p),
            5);
  EXPECT_EQ(p.Max_out_R, 8.0);
  EXPECT_EQ(map_.getSublocationsVector()[0].getProperties().Number_of_part, 500);
  SublocationNavProperties f2 = map_.getSublocationsVector()[1].getProperties();
  f2.width_meters = f2.height_meters = 0;
  EXPECT_EQ(f2, defaults);

  // Particle_filter without attributes: 5, the floor stays at its defaults.
  EXPECT_EQ(load(settingsMember("", floorElement(1, "") + floorElement(2)), p), 5);
  SublocationNavProperties f1 = map_.getSublocationsVector()[0].getProperties();
  f1.width_meters = f1.height_meters = 0;
  EXPECT_EQ(f1, defaults);

  // A number must begin the text; attributes read before the bad one stay.
  EXPECT_EQ(load(settingsMember("", floorElement(1, R"(Number_of_part="x12")") + floorElement(2)), p), 5);
  EXPECT_EQ(load(settingsMember("", floorElement(1, R"(Number_of_part="30" Correction_noise_meters="1" Resampling_noise_meters="x")") + floorElement(2)), p), 5);
  EXPECT_EQ(map_.getSublocationsVector()[0].getProperties().Number_of_part, 30);
  EXPECT_EQ(map_.getSublocationsVector()[0].getProperties().Correction_noise_meters, 1.0);

  // The two Gaussian-process elements fail with -1, missing elements with 5.
  auto withFloor1 = [&](const std::string& from, const std::string& to) {
    std::string f = floorElement(1);
    f.replace(f.find(from), from.size(), to);
    return load(settingsMember("", f + floorElement(2)), p);
  };
  EXPECT_EQ(withFloor1("B=\"2.5\"", ""), -1);
  EXPECT_EQ(withFloor1("A=\"-70.5\"", "A=\"a\""), -1);
  EXPECT_EQ(withFloor1("ell=\"3\"", ""), -1);
  EXPECT_EQ(withFloor1("ell=\"3\"", "ell=\"inf\""), -1);
  EXPECT_EQ(withFloor1("GP_Fixed_Mode", "GP_Fixed"), 5);
  EXPECT_EQ(withFloor1("Histogram_interval_width=\"2\"", ""), 5);
  EXPECT_EQ(withFloor1("Number_of_points_in_MNK=\"11\"", "Number_of_points_in_MNK=\"\""), 5);
  EXPECT_EQ(withFloor1("<Autocalibration", "<Calibration"), 5);
}

TEST_F(SettingsTest, WrittenSettingsReadBackEqual) {
  std::mt19937 rng(20261206);
  std::uniform_real_distribution<double> real(-1000, 1000);
  std::uniform_int_distribution<int> whole(-5000, 5000);
  auto flag = [&] { return (rng() & 1) != 0; };
  for (int round = 0; round < 5; ++round) {
    CommonNavProperties p;
    p.Use_Signals = NAV_SIGNALS_BOTH + static_cast<int>(rng() % 3);
    const int algorithms[] = {107, 108, 109, 110, 112, 113, 114};
    p.Use_algorithm = algorithms[rng() % 7];
    p.Step_multiplier = real(rng);
    p.Use_particle_filter = flag();
    p.Use_smoothing = flag();
    p.Max_out_R = real(rng);
    p.Min_out_R = 1.0 / 3.0;
    p.Sig_averaging_time = real(rng);
    p.Use_graph_projection = flag();
    p.Graph_prog_distance = 1e-300;
    p.Use_gps = flag();
    p.N_additional_particles = whole(rng);
    p.Sig_window_shift = real(rng);
    p.Dead_reckon_time = real(rng);
    p.Cutoff_rss = whole(rng);
    p.Use_closest_aps = flag();
    p.N_closest_aps = whole(rng);
    p.Use_stops = flag();
    p.Use_stops_PF = flag();
    p.Stop_averaging_time = real(rng);
    p.N_particles_location_change = whole(rng);
    p.N_particles_around_closest_AP = whole(rng);
    p.Noisy_resampling_trigger_counter = whole(rng);
    p.Use_pf_estimated_angle = flag();
    p.N_round_particles_pf = whole(rng);
    p.Use_number_of_beacons = flag();
    p.sensorFusion = {real(rng), real(rng), real(rng), real(rng), real(rng), real(rng), real(rng)};
    p.gaussianProcesses = {flag(),    flag(),    GP_MEAN_CONST + static_cast<int>(rng() % 3),
                           GP_MODE_FULL + static_cast<int>(rng() % 3), real(rng), whole(rng),
                           real(rng), real(rng), real(rng)};
    p.sigmaFilter = {flag(), real(rng), real(rng)};
    p.knn = {flag(), flag(), flag(), real(rng), HISTOGRAM_WEIBULL + static_cast<int>(rng() % 2),
             whole(rng), whole(rng), 1};
    p.motion = {real(rng), real(rng)};

    SublocationNavProperties f1, f2;
    f1.A = real(rng);
    f1.B = real(rng);
    f1.ell = real(rng);
    f1.Histogram_interval_width = 0;
    f1.Vector_of_signals_maximal_size = whole(rng);
    f1.Autocalibrate_Histogram_interval_width = whole(rng);
    f1.Number_of_points_in_MNK = whole(rng);
    f1.Correction_noise_meters = real(rng);
    f1.Resampling_noise_meters = real(rng);
    f1.Resampling_treshold_persantage = real(rng);
    f1.Number_of_part = whole(rng);
    f2.ell = 0.1;

    writeArchive({{"config.xml", kConfigTwoFloors}, {"keep.txt", "kept"}});
    map_ = NavigationMap();
    map_.setPathToNavArchive(path_.c_str());
    ASSERT_EQ(map_.parseConfigXML(), 0);
    // Floor order in the member does not matter; floor 2 first.
    ASSERT_EQ(map_.createNavFileInArchieve(
                  FormatNavigationConfigXML(12, p, {{2, f2}, {1, f1}}), "tracking.xml"),
              0);
    CommonNavProperties back;
    back.Use_Signals = 0;  // must be overwritten
    ASSERT_EQ(map_.parseNavigationConfigXML("tracking.xml", back), 0);
    EXPECT_EQ(back, p) << "round " << round;
    SublocationNavProperties r1 = map_.getSublocationsVector()[0].getProperties();
    SublocationNavProperties r2 = map_.getSublocationsVector()[1].getProperties();
    f1.width_meters = r1.width_meters;
    f1.height_meters = r1.height_meters;
    f2.width_meters = r2.width_meters;
    f2.height_meters = r2.height_meters;
    EXPECT_EQ(r1, f1);
    EXPECT_EQ(r2, f2);

    char* data = nullptr;
    ASSERT_EQ(map_.getDataFromZip(path_.c_str(), "keep.txt", data, nullptr), 0);
    EXPECT_STREQ(data, "kept");
    std::free(data);
  }
}

TEST_F(SettingsTest, WritingIntoAMissingArchiveFails) {
  map_.setPathToNavArchive((dir_ / "none.mvz").string().c_str());
  EXPECT_EQ(map_.createNavFileInArchieve("<Location/>", "navigation.xml"), 1);
}

// Mutated settings members: any result code is fine, a crash or hang is not.
TEST_F(SettingsTest, MutatedMembersAreReadSafely) {
  CommonNavProperties base;
  SublocationNavProperties floor;
  const std::string valid = FormatNavigationConfigXML(12, base, {{1, floor}, {2, floor}});
  const std::string legacy =
      "<Location id=\"12\"><Common_nav_properties out_R=\"5\" Use_algorithm=\"GP\" "
      "Mean_model=\"log\" GP_Mode=\"Full\" Use_gps=\"1\" Histogram_type=\"Binned\">"
      "<KNN Use_ap_weights=\"1\"/><Sensor_fusion Low_pass_time=\"0.2\"/>"
      "<Gaussian_Processes Mode=\"Fixed\"/><Sigma_filter/><Motion Angle_noise=\"1\"/>"
      "</Common_nav_properties>" +
      floorElement(1) + floorElement(2) + "</Location>";
  const char tokens[] = "<>/=\"' \n&;!?-[]0123456789.eE+xX";
  std::mt19937 rng(7151);
  writeArchive({{"config.xml", kConfigTwoFloors}});
  map_.setPathToNavArchive(path_.c_str());
  ASSERT_EQ(map_.parseConfigXML(), 0);
  int succeeded = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = (i % 3 == 0) ? legacy : valid;
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = rng() % text.size();
      switch (rng() % 5) {
        case 0: text[at] = tokens[rng() % (sizeof tokens - 1)]; break;
        case 1: text.erase(at, 1 + rng() % 16); break;
        case 2: text.insert(at, 1, tokens[rng() % (sizeof tokens - 1)]); break;
        case 3: text.resize(at); break;
        default: text.insert(at, text.substr(rng() % text.size(), rng() % 64)); break;
      }
    }
    if (text.empty()) text = " ";
    zip* z = ZipOpen(path_.c_str());
    ASSERT_NE(z, nullptr);
    ASSERT_EQ(ZipWriteBuffer(z, "navigation.xml", text.data(), static_cast<int>(text.size())), 0);
    ASSERT_EQ(ZipClose(z), 0);
    CommonNavProperties p;
    const int rc = map_.parseNavigationConfigXML("navigation.xml", p);
    EXPECT_TRUE(rc == 0 || rc == 5 || rc == 9 || rc == 21 || rc == 25 || rc == -1) << rc;
    succeeded += rc == 0;
  }
  EXPECT_GT(succeeded, 0);
}

}  // namespace
