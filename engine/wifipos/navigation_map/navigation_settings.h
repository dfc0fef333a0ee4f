// The tunable values of the positioning engine for one map: the common
// settings record (one for navigation, one for tracking) and the per-floor
// settings record, with the codes their word-valued settings take.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Kinds of radio signal kept in the radio map (`Use_Signals`).
constexpr int NAV_SIGNALS_BOTH = 101;
constexpr int NAV_SIGNALS_WIFI = 102;
constexpr int NAV_SIGNALS_BLE = 103;

// Mean model of the Gaussian-process method (`Mean_model`).
constexpr int GP_MEAN_CONST = 104;
constexpr int GP_MEAN_LINEAR = 105;
constexpr int GP_MEAN_LOG = 106;

// Positioning method (`Use_algorithm`). There is no 111.
constexpr int NAV_ALG_KNN = 107;
constexpr int NAV_ALG_GP = 108;
constexpr int NAV_ALG_HISTOGRAM = 109;
constexpr int NAV_ALG_GAUSS = 110;
constexpr int NAV_ALG_TRILAT = 112;
constexpr int NAV_ALG_RP = 113;
constexpr int NAV_ALG_ZONE = 114;

// Mode of the Gaussian-process method (`Mode`).
constexpr int GP_MODE_FULL = 121;
constexpr int GP_MODE_NORMAL = 122;
constexpr int GP_MODE_FIXED = 123;

// Histogram model of the histogram method (`Histogram_type`).
constexpr int HISTOGRAM_WEIBULL = 301;
constexpr int HISTOGRAM_BINNED = 302;

// What the kit uses where a map's settings member leaves a setting out (the
// record's own defaults are the original ones, kept for "defaults=classic").
struct KitDefaults {
  int minVisibleAps = 3;
  int minPointVisibleAps = 3;
  double stepLengthNoise = 0.1;  // metres
  double angleNoise = 5.0;       // degrees
};

// Common settings of a map. Member names are the element names of the settings
// member, so a consumer can be traced to the text that set it.
struct CommonNavProperties {
  struct SensorFusion {
    double Fusion_acc_coef = 1.0;
    double Fusion_magn_coef = 1.0;
    double Low_pass_time = 1.0;
    double Pf_init_angle_noise = 10.0;
    double Gyro_bias_degpersec = 1.0;
    double Angles_var_correction_threshold_deg = 60.0;
    double Minimal_alignment_gap_sec = 35.0;

    bool operator==(const SensorFusion&) const = default;
  };

  struct GaussianProcesses {
    bool Differention_mode = false;
    bool Use_beacon_power = false;
    int Mean_model = GP_MEAN_LOG;
    int Mode = GP_MODE_NORMAL;
    double Correction_noise = 10.0;
    int Corrections_number = 1;
    double Normal_mode_A = -82.0;
    double Normal_mode_B = 3.0;
    double Fixed_mode_ell = 5.0;

    bool operator==(const GaussianProcesses&) const = default;
  };

  struct SigmaFilter {
    bool Use_sigma_filter = false;
    double Var_window_sec = 1.0;
    double Stat_accum_sec = 0.01;

    bool operator==(const SigmaFilter&) const = default;
  };

  // The copies read by the k-nearest-neighbour weights, the histogram method
  // and the radio-map filters.
  struct Knn {
    bool Use_ap_weights = false;
    bool Differention_mode = false;
    bool Clear_unknown_beacons = false;
    double Minimal_ap_freq = 0.0;
    int Histogram_type = HISTOGRAM_BINNED;
    int Min_nvisible_aps = 2;
    int Min_rpvis_aps = 1;
    int reserved = 1;  // kept for the record's layout; nothing fills or reads it

    bool operator==(const Knn&) const = default;
  };

  struct Motion {
    double Steplength_noise = 0.0;
    double Angle_noise = 0.0;

    bool operator==(const Motion&) const = default;
  };

  int Use_Signals = NAV_SIGNALS_BOTH;
  int Use_algorithm = NAV_ALG_GP;
  double Step_multiplier = 1.0;
  bool Use_particle_filter = true;
  bool Use_smoothing = true;
  double Max_out_R = 6.0;
  double Min_out_R = 1.5;
  double Sig_averaging_time = 1.5;
  bool Use_ap_weights = false;  // legacy format only
  bool Use_graph_projection = true;
  double Graph_prog_distance = 5.0;
  bool Use_gps = true;
  double Minimal_ap_freq = 0.0;  // legacy format only
  int N_additional_particles = 0;
  double Sig_window_shift = 0.5;
  int Histogram_type = HISTOGRAM_BINNED;  // legacy format only
  double Dead_reckon_time = 6.0;
  int Cutoff_rss = -100;
  bool Clear_unknown_beacons = false;  // legacy format only
  bool Use_closest_aps = false;
  int N_closest_aps = 0;
  bool Use_stops = true;
  bool Use_stops_PF = false;
  double Stop_averaging_time = 6.0;
  int N_particles_location_change = 1000;
  int N_particles_around_closest_AP = 0;
  int Noisy_resampling_trigger_counter = 0;
  bool Use_pf_estimated_angle = false;
  double N_round_particles_pf = 180.0;
  bool Use_number_of_beacons = true;

  SensorFusion sensorFusion;
  GaussianProcesses gaussianProcesses;
  SigmaFilter sigmaFilter;
  Knn knn;
  Motion motion;

  CommonNavProperties() = default;

  bool operator==(const CommonNavProperties&) const = default;
};

// Settings of one floor: size and GPS binding from config.xml, the rest from
// the floor's element of the settings member.
struct SublocationNavProperties {
  double width_meters = 0.0;
  double height_meters = 0.0;
  double latitude_deg = 0.0;
  double longitude_deg = 0.0;
  double azimuth_deg = 0.0;
  double magnetic_declination_deg = 0.0;
  double spareDouble = 0.0;  // no reader fills it
  double A = 0.0;
  double B = 0.0;
  double ell = 0.0;
  int spareInt = 0;  // no reader fills it
  // Bin width of the histogram method. Stored as read: 0 or a negative value
  // is possible and must be guarded by whoever divides by it.
  int Histogram_interval_width = 1;
  bool spareFlag = false;  // no reader fills it
  int Vector_of_signals_maximal_size = 0;
  int Autocalibrate_Histogram_interval_width = 1;  // stored as read, may be 0
  int Number_of_points_in_MNK = 10;
  double Correction_noise_meters = 2.0;
  double Resampling_noise_meters = 5.0;
  double Resampling_treshold_persantage = 900.0;
  int Number_of_part = 1000;  // stored as read, may be 0 or negative

  SublocationNavProperties() = default;

  bool operator==(const SublocationNavProperties&) const = default;
};

// The settings-member text (navigation.xml / tracking.xml) for a location:
// the common settings in the current format and, for each (floor id, floor
// settings) pair, that floor's element. Reading it back gives the same values,
// except for what the current format does not carry: the four top-level
// members set only by the legacy format (Use_ap_weights, Minimal_ap_freq,
// Histogram_type, Clear_unknown_beacons; their Knn twins are carried), the
// Knn group's reserved member, and a floor's config.xml values and spares.
std::string FormatNavigationConfigXML(
    int locationId, const CommonNavProperties& common,
    const std::vector<std::pair<int, SublocationNavProperties>>& floors);
