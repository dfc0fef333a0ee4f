// Reading and writing the settings member (navigation.xml / tracking.xml):
// the common settings in the current element form (the legacy attribute
// form is read in parse_navigation_legacy.cc), and the per-floor settings.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "server/utils.h"
#include "server/zip_archive.h"
#include "wifipos/navigation_map/navigation_config_internal.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/navigation_settings.h"
#include "wifipos/navigation_map/scan_number.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

using namespace navigation_config_internal;

namespace {

// ---- Current form: values are the texts of named child elements. ----

// The text of parent's first child element `name`, or null after logging
// why there is none. An empty element gives an empty text.
const char* childText(const XMLElement* parent, const std::string& name, bool& found) {
  found = false;
  if (!parent) {
    MV_LOG(kLogLevel, "Error, element == 0\n");
    return nullptr;
  }
  if (name.empty()) {
    MV_LOG(kLogLevel, "Error, empty property name\n");
    return nullptr;
  }
  const XMLElement* child = parent->FirstChildElement(name.c_str());
  if (!child) {
    MV_LOG(kLogLevel, "Error, there is no %s property of %s element\n", name.c_str(),
           parent->Name());
    return nullptr;
  }
  found = true;
  const char* text = child->GetText();
  return text ? text : "";
}

std::string getStringValue(const XMLElement* parent, const std::string& name,
                           const std::string& def, bool& ok) {
  ok = false;
  bool found = false;
  const char* text = childText(parent, name, found);
  if (!found) return def;
  if (!*text) MV_LOG(kLogLevel, "ERROR: incorrect value of %s element\n", text);
  return text;
}

double getDoubleValue(const XMLElement* parent, const std::string& name, double def, bool& ok) {
  ok = false;
  bool found = false;
  const char* text = childText(parent, name, found);
  if (!found) return def;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || std::isnan(v)) {
    MV_LOG(kLogLevel, "ERROR: incorrect value of %s element\n", name.c_str());
    return def;
  }
  if (errno == ERANGE || std::isinf(v)) {
    MV_LOG(kLogLevel, "ERROR: %s element is out of range\n", name.c_str());
    return def;
  }
  ok = true;
  return v;
}

// strtol over the whole text. Returns 0 on a clean conversion, 1 when out of
// range, 2 when nothing was converted or characters are left over; `value`
// holds the conversion result in every case.
int convertInt(const char* text, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return 1;
  if (end == text || *end != '\0') return 2;
  return 0;
}

int getIntValue(const XMLElement* parent, const std::string& name, int def, bool& ok) {
  ok = false;
  bool found = false;
  const char* text = childText(parent, name, found);
  if (!found) return def;
  long v = 0;
  switch (convertInt(text, v)) {
    case 1:
      MV_LOG(kLogLevel, "ERROR: %s element is out of range\n", name.c_str());
      return def;
    case 2:
      MV_LOG(kLogLevel, "ERROR: incorrect value of %s element\n", name.c_str());
      return def;
  }
  ok = true;
  return static_cast<int>(v);
}

// Unlike the number readers, a flag that does not convert cleanly takes the
// conversion result, not the default.
bool getBoolValue(const XMLElement* parent, const std::string& name, bool def, bool& ok) {
  ok = false;
  bool found = false;
  const char* text = childText(parent, name, found);
  if (!found) return def;
  bool word = false;
  if (flagWord(text, word)) {
    ok = true;
    return word;
  }
  long v = 0;
  switch (convertInt(text, v)) {
    case 1:
      MV_LOG(kLogLevel, "ERROR: %s element is out of range\n", name.c_str());
      return v != 0;
    case 2:
      MV_LOG(kLogLevel, "ERROR: incorrect value of %s element\n", name.c_str());
      return v != 0;
  }
  ok = true;
  return v != 0;
}

template <size_t N>
void readWord(const XMLElement* parent, const char* name, const char* defaultWord,
              const WordCode (&table)[N], int& member) {
  bool ok = false;
  std::string word = lowerCase(getStringValue(parent, name, defaultWord, ok));
  codeOfWord(table, word, member);  // an unknown word leaves the member as it is
}

// Current form. -1 for a missing element, which changes nothing.
int fillNewCommonNavProps(const XMLElement* cnp, CommonNavProperties& p) {
  if (!cnp) {
    MV_LOG(kLogLevel, "ERROR: missed Common_nav_prop node, properties are set to default\n");
    return -1;
  }
  const CommonNavProperties d;
  bool ok = false;
  readWord(cnp, "Use_Signals", "ble", kSignalWords, p.Use_Signals);
  readWord(cnp, "Use_algorithm", "GP", kAlgorithmWords, p.Use_algorithm);
  p.Step_multiplier = getDoubleValue(cnp, "Step_multiplier", d.Step_multiplier, ok);
  p.Use_particle_filter = getBoolValue(cnp, "Use_particle_filter", d.Use_particle_filter, ok);
  p.Use_smoothing = getBoolValue(cnp, "Use_smoothing", d.Use_smoothing, ok);
  p.Max_out_R = getDoubleValue(cnp, "Max_out_R", d.Max_out_R, ok);
  p.Min_out_R = getDoubleValue(cnp, "Min_out_R", d.Min_out_R, ok);
  p.Sig_averaging_time = getDoubleValue(cnp, "Sig_averaging_time", d.Sig_averaging_time, ok);
  p.Use_graph_projection =
      getBoolValue(cnp, "Use_graph_projection", d.Use_graph_projection, ok);
  p.Graph_prog_distance = getDoubleValue(cnp, "Graph_prog_distance", d.Graph_prog_distance, ok);
  p.Use_gps = getBoolValue(cnp, "Use_gps", d.Use_gps, ok);
  p.N_additional_particles =
      getIntValue(cnp, "N_additional_particles", d.N_additional_particles, ok);
  p.Sig_window_shift = getDoubleValue(cnp, "Sig_window_shift", d.Sig_window_shift, ok);
  p.Dead_reckon_time = getDoubleValue(cnp, "Dead_reckon_time", d.Dead_reckon_time, ok);
  p.Cutoff_rss = getIntValue(cnp, "Cutoff_rss", d.Cutoff_rss, ok);
  p.Use_closest_aps = getBoolValue(cnp, "Use_closest_aps", d.Use_closest_aps, ok);
  p.N_closest_aps = getIntValue(cnp, "N_closest_aps", d.N_closest_aps, ok);
  p.Use_stops = getBoolValue(cnp, "Use_stops", d.Use_stops, ok);
  p.Use_stops_PF = getBoolValue(cnp, "Use_stops_PF", d.Use_stops_PF, ok);
  p.Stop_averaging_time = getDoubleValue(cnp, "Stop_averaging_time", d.Stop_averaging_time, ok);
  p.N_particles_location_change =
      getIntValue(cnp, "N_particles_location_change", d.N_particles_location_change, ok);
  p.N_particles_around_closest_AP =
      getIntValue(cnp, "N_particles_around_closest_AP", d.N_particles_around_closest_AP, ok);
  p.Noisy_resampling_trigger_counter = getIntValue(
      cnp, "Noisy_resampling_trigger_counter", d.Noisy_resampling_trigger_counter, ok);
  p.Use_pf_estimated_angle =
      getBoolValue(cnp, "Use_pf_estimated_angle", d.Use_pf_estimated_angle, ok);
  p.N_round_particles_pf = getIntValue(cnp, "N_round_particles_pf", 180, ok);
  p.Use_number_of_beacons =
      getBoolValue(cnp, "Use_number_of_beacons", d.Use_number_of_beacons, ok);

  // A missing group element reaches every reader below as null, so each
  // setting of the group takes its when-absent value.
  const XMLElement* sf = cnp->FirstChildElement("Sensor_fusion");
  CommonNavProperties::SensorFusion& s = p.sensorFusion;
  s.Fusion_acc_coef = getDoubleValue(sf, "Fusion_acc_coef", 2.0, ok);
  s.Fusion_magn_coef = getDoubleValue(sf, "Fusion_magn_coef", 4.0, ok);
  s.Low_pass_time = getDoubleValue(sf, "Low_pass_time", 0.18, ok);
  s.Pf_init_angle_noise =
      getDoubleValue(sf, "Pf_init_angle_noise", d.sensorFusion.Pf_init_angle_noise, ok);
  s.Gyro_bias_degpersec =
      getDoubleValue(sf, "Gyro_bias_degpersec", d.sensorFusion.Gyro_bias_degpersec, ok);
  s.Angles_var_correction_threshold_deg =
      getDoubleValue(sf, "Angles_var_correction_threshold_deg",
                     d.sensorFusion.Angles_var_correction_threshold_deg, ok);
  s.Minimal_alignment_gap_sec = getDoubleValue(sf, "Minimal_alignment_gap_sec",
                                               d.sensorFusion.Minimal_alignment_gap_sec, ok);

  const XMLElement* gpe = cnp->FirstChildElement("Gaussian_Processes");
  CommonNavProperties::GaussianProcesses& g = p.gaussianProcesses;
  const CommonNavProperties::GaussianProcesses& dg = d.gaussianProcesses;
  g.Differention_mode = getBoolValue(gpe, "Differention_mode", dg.Differention_mode, ok);
  g.Use_beacon_power = getBoolValue(gpe, "Use_beacon_power", dg.Use_beacon_power, ok);
  readWord(gpe, "Mean_model", "log", kMeanModelWords, g.Mean_model);
  readWord(gpe, "Mode", "Normal", kGpModeWords, g.Mode);
  g.Correction_noise = getDoubleValue(gpe, "Correction_noise", dg.Correction_noise, ok);
  g.Corrections_number = getIntValue(gpe, "Corrections_number", dg.Corrections_number, ok);
  g.Normal_mode_A = getDoubleValue(gpe, "Normal_mode_A", dg.Normal_mode_A, ok);
  g.Normal_mode_B = getDoubleValue(gpe, "Normal_mode_B", dg.Normal_mode_B, ok);
  g.Fixed_mode_ell = getDoubleValue(gpe, "Fixed_mode_ell", dg.Fixed_mode_ell, ok);

  const XMLElement* sfe = cnp->FirstChildElement("Sigma_filter");
  CommonNavProperties::SigmaFilter& sg = p.sigmaFilter;
  sg.Use_sigma_filter =
      getBoolValue(sfe, "Use_sigma_filter", d.sigmaFilter.Use_sigma_filter, ok);
  sg.Var_window_sec = getDoubleValue(sfe, "Var_window_sec", d.sigmaFilter.Var_window_sec, ok);
  sg.Stat_accum_sec = getDoubleValue(sfe, "Stat_accum_sec", d.sigmaFilter.Stat_accum_sec, ok);

  const XMLElement* knn = cnp->FirstChildElement("KNN");
  CommonNavProperties::Knn& k = p.knn;
  const CommonNavProperties::Knn& dk = d.knn;
  k.Use_ap_weights = getBoolValue(knn, "Use_ap_weights", dk.Use_ap_weights, ok);
  k.Differention_mode = getBoolValue(knn, "Differention_mode", dk.Differention_mode, ok);
  k.Clear_unknown_beacons =
      getBoolValue(knn, "Clear_unknown_beacons", dk.Clear_unknown_beacons, ok);
  k.Minimal_ap_freq = getDoubleValue(knn, "Minimal_ap_freq", dk.Minimal_ap_freq, ok);
  readWord(knn, "Histogram_type", "Binned", kHistogramWords, k.Histogram_type);
  k.Min_nvisible_aps = getIntValue(knn, "Min_nvisible_aps", dk.Min_nvisible_aps, ok);
  k.Min_rpvis_aps = getIntValue(knn, "Min_rpvis_aps", dk.Min_rpvis_aps, ok);

  const XMLElement* motion = cnp->FirstChildElement("Motion");
  p.motion.Steplength_noise =
      getDoubleValue(motion, "Steplength_noise", d.motion.Steplength_noise, ok);
  p.motion.Angle_noise = getDoubleValue(motion, "Angle_noise", d.motion.Angle_noise, ok);
  return 0;
}

bool hasChild(const XMLElement* parent, const char* name) {
  return parent != nullptr && parent->FirstChildElement(name) != nullptr;
}

// The kit's own defaults, for what the settings member leaves out. A value
// the member states is never touched: only absent elements change.
// cnp is null when the member has no current-form settings at all.
void fillOmittedSettings(const XMLElement* cnp, CommonNavProperties& p) {
  const XMLElement* knn = cnp ? cnp->FirstChildElement("KNN") : nullptr;
  const XMLElement* motion = cnp ? cnp->FirstChildElement("Motion") : nullptr;
  const KitDefaults kit;
  // One matched transmitter alone lets a far point win the weighting.
  if (!hasChild(knn, "Min_nvisible_aps")) p.knn.Min_nvisible_aps = kit.minVisibleAps;
  if (!hasChild(knn, "Min_rpvis_aps")) p.knn.Min_rpvis_aps = kit.minPointVisibleAps;
  // Without any noise every particle moved by a step lands on the same
  // offset, and the cloud cannot follow an error in step length or heading.
  if (!hasChild(motion, "Steplength_noise")) p.motion.Steplength_noise = kit.stepLengthNoise;
  if (!hasChild(motion, "Angle_noise")) p.motion.Angle_noise = kit.angleNoise;
}

// ---- Per-floor settings: attributes of five required child elements. ----

int fillPFAttributes(const XMLElement* e, SublocationNavProperties& s, int floorId) {
  if (!e) {
    MV_LOG(kLogLevel, "there is no Particle_filter element for %d Sublocation\n", floorId);
    return 5;
  }
  if (!ScanInt(e->Attribute("Number_of_part"), s.Number_of_part)) {
    MV_LOG(kLogLevel, "error parsing Number_of_part of %d sublocation\n", floorId);
    return 5;
  }
  if (!ScanDouble(e->Attribute("Correction_noise_meters"), s.Correction_noise_meters)) {
    MV_LOG(kLogLevel, "error parsing Correction_noise_meters of %d sublocation\n", floorId);
    return 5;
  }
  if (!ScanDouble(e->Attribute("Resampling_noise_meters"), s.Resampling_noise_meters)) {
    MV_LOG(kLogLevel, "error parsing Resampling_noise_meters of %d sublocation\n", floorId);
    return 5;
  }
  if (!ScanDouble(e->Attribute("Resampling_treshold_persantage"),
                  s.Resampling_treshold_persantage)) {
    MV_LOG(kLogLevel, "error parsing Resampling_treshold_persantage of %d sublocation\n",
           floorId);
    return 5;
  }
  return 0;
}

int fillGpFixedModeAttributes(const XMLElement* e, SublocationNavProperties& s, int floorId) {
  if (!e) {
    MV_LOG(kLogLevel, "there is no GP_Fixed_Mode element for %d Sublocation\n", floorId);
    return 5;
  }
  const char* ell = e->Attribute("ell");
  if (!ell) {
    MV_LOG(kLogLevel, "WARNING: Absence of GP_Fixed_Mode attributes of %d sublocation\n",
           floorId);
    return -1;
  }
  if (!ScanDouble(ell, s.ell)) {
    MV_LOG(kLogLevel, "WARNING: sscanf Fixed_Mode_Ell of %d sublocation\n", floorId);
    return -1;
  }
  return 0;
}

int fillGpNormalModeAttributes(const XMLElement* e, SublocationNavProperties& s, int floorId) {
  if (!e) {
    MV_LOG(kLogLevel, "there is no GP_Normal_Mode element for %d Sublocation\n", floorId);
    return 5;
  }
  const char* a = e->Attribute("A");
  const char* b = e->Attribute("B");
  if (!a || !b) {
    MV_LOG(kLogLevel, "WARNING: Absence of GP_Normal_Mode attributes of %d sublocation\n",
           floorId);
    return -1;
  }
  if (!ScanDouble(a, s.A)) {
    MV_LOG(kLogLevel, "WARNING: sscanf Normal_Mode_A of %d sublocation\n", floorId);
    return -1;
  }
  if (!ScanDouble(b, s.B)) {
    MV_LOG(kLogLevel, "WARNING: sscanf Normal_Mode_B of %d sublocation\n", floorId);
    return -1;
  }
  return 0;
}

int fillProbabilisticAttributes(const XMLElement* e, SublocationNavProperties& s, int floorId) {
  if (!e) {
    MV_LOG(kLogLevel, "there is no Probabilistic_method element for %d Sublocation\n", floorId);
    return 5;
  }
  if (!ScanInt(e->Attribute("Histogram_interval_width"), s.Histogram_interval_width)) {
    MV_LOG(kLogLevel, "error parsing Histogram_interval_width of %d sublocation\n", floorId);
    return 5;
  }
  return 0;
}

int fillCalibrationAttributes(const XMLElement* e, SublocationNavProperties& s, int floorId) {
  if (!e) {
    MV_LOG(kLogLevel, "there is no Autocalibration element for %d Sublocation\n", floorId);
    return 5;
  }
  if (!ScanInt(e->Attribute("Vector_of_signals_maximal_size"),
               s.Vector_of_signals_maximal_size)) {
    MV_LOG(kLogLevel, "error sscanf calibrationSignalsMaxSize of %d sublocation\n", floorId);
    return 5;
  }
  if (!ScanInt(e->Attribute("Autocalibrate_Histogram_interval_width"),
               s.Autocalibrate_Histogram_interval_width)) {
    MV_LOG(kLogLevel, "error sscanf Autocalibrate_Histogram_interval_width of %d sublocation\n",
           floorId);
    return 5;
  }
  if (!ScanInt(e->Attribute("Number_of_points_in_MNK"), s.Number_of_points_in_MNK)) {
    MV_LOG(kLogLevel, "error sscanf Number_of_points_in_MNK of %d sublocation\n", floorId);
    return 5;
  }
  return 0;
}

int fillFloorSettings(const XMLElement* sub, SublocationNavProperties& s, int floorId) {
  int rc = fillPFAttributes(sub->FirstChildElement("Particle_filter"), s, floorId);
  if (rc == 0) rc = fillGpFixedModeAttributes(sub->FirstChildElement("GP_Fixed_Mode"), s, floorId);
  if (rc == 0)
    rc = fillGpNormalModeAttributes(sub->FirstChildElement("GP_Normal_Mode"), s, floorId);
  if (rc == 0)
    rc = fillProbabilisticAttributes(sub->FirstChildElement("Probabilistic_method"), s, floorId);
  if (rc == 0) rc = fillCalibrationAttributes(sub->FirstChildElement("Autocalibration"), s, floorId);
  return rc;
}

// ---- Writing ----

// Shortest text that reads back as the same double.
std::string numberText(double v) {
  char buf[64];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

std::string numberText(int v) { return std::to_string(v); }

class SettingsWriter {
 public:
  explicit SettingsWriter(std::string& out) : out_(out) {}
  void open(const char* name, int depth) { out_ += indent(depth) + "<" + name + ">\n"; }
  void close(const char* name, int depth) { out_ += indent(depth) + "</" + name + ">\n"; }
  void value(const char* name, const std::string& text, int depth) {
    out_ += indent(depth) + "<" + name + ">" + text + "</" + name + ">\n";
  }
  void number(const char* name, double v, int depth) { value(name, numberText(v), depth); }
  void integer(const char* name, int v, int depth) { value(name, numberText(v), depth); }
  void flag(const char* name, bool v, int depth) { value(name, v ? "1" : "0", depth); }
  // A code without a word is written as its number: the reader ignores it and
  // keeps whatever it had, which is all a record holding such a code allows.
  template <size_t N>
  void word(const char* name, const WordCode (&table)[N], int code, int depth) {
    const char* w = wordOfCode(table, code);
    value(name, w ? w : numberText(code), depth);
  }

 private:
  static std::string indent(int depth) { return std::string(2 * depth, ' '); }
  std::string& out_;
};

}  // namespace

std::string FormatNavigationConfigXML(
    int locationId, const CommonNavProperties& p,
    const std::vector<std::pair<int, SublocationNavProperties>>& floors) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<Location id=\"" + std::to_string(locationId) + "\">\n";
  SettingsWriter w(out);
  w.open("Common_nav_prop", 1);
  w.word("Use_Signals", kSignalWords, p.Use_Signals, 2);
  w.word("Use_algorithm", kAlgorithmWords, p.Use_algorithm, 2);
  w.number("Step_multiplier", p.Step_multiplier, 2);
  w.flag("Use_particle_filter", p.Use_particle_filter, 2);
  w.flag("Use_smoothing", p.Use_smoothing, 2);
  w.number("Max_out_R", p.Max_out_R, 2);
  w.number("Min_out_R", p.Min_out_R, 2);
  w.number("Sig_averaging_time", p.Sig_averaging_time, 2);
  w.flag("Use_graph_projection", p.Use_graph_projection, 2);
  w.number("Graph_prog_distance", p.Graph_prog_distance, 2);
  w.flag("Use_gps", p.Use_gps, 2);
  w.integer("N_additional_particles", p.N_additional_particles, 2);
  w.number("Sig_window_shift", p.Sig_window_shift, 2);
  w.number("Dead_reckon_time", p.Dead_reckon_time, 2);
  w.integer("Cutoff_rss", p.Cutoff_rss, 2);
  w.flag("Use_closest_aps", p.Use_closest_aps, 2);
  w.integer("N_closest_aps", p.N_closest_aps, 2);
  w.flag("Use_stops", p.Use_stops, 2);
  w.flag("Use_stops_PF", p.Use_stops_PF, 2);
  w.number("Stop_averaging_time", p.Stop_averaging_time, 2);
  w.integer("N_particles_location_change", p.N_particles_location_change, 2);
  w.integer("N_particles_around_closest_AP", p.N_particles_around_closest_AP, 2);
  w.integer("Noisy_resampling_trigger_counter", p.Noisy_resampling_trigger_counter, 2);
  w.flag("Use_pf_estimated_angle", p.Use_pf_estimated_angle, 2);
  // Read as an integer: the fraction of a non-whole count cannot be carried,
  // and a value beyond int is written as it is (and refused by the reader).
  const double round = p.N_round_particles_pf;
  if (round >= INT_MIN && round <= INT_MAX)
    w.integer("N_round_particles_pf", static_cast<int>(round), 2);
  else
    w.number("N_round_particles_pf", round, 2);
  w.flag("Use_number_of_beacons", p.Use_number_of_beacons, 2);

  const CommonNavProperties::SensorFusion& s = p.sensorFusion;
  w.open("Sensor_fusion", 2);
  w.number("Fusion_acc_coef", s.Fusion_acc_coef, 3);
  w.number("Fusion_magn_coef", s.Fusion_magn_coef, 3);
  w.number("Low_pass_time", s.Low_pass_time, 3);
  w.number("Pf_init_angle_noise", s.Pf_init_angle_noise, 3);
  w.number("Gyro_bias_degpersec", s.Gyro_bias_degpersec, 3);
  w.number("Angles_var_correction_threshold_deg", s.Angles_var_correction_threshold_deg, 3);
  w.number("Minimal_alignment_gap_sec", s.Minimal_alignment_gap_sec, 3);
  w.close("Sensor_fusion", 2);

  const CommonNavProperties::GaussianProcesses& g = p.gaussianProcesses;
  w.open("Gaussian_Processes", 2);
  w.flag("Differention_mode", g.Differention_mode, 3);
  w.flag("Use_beacon_power", g.Use_beacon_power, 3);
  w.word("Mean_model", kMeanModelWords, g.Mean_model, 3);
  w.word("Mode", kGpModeWords, g.Mode, 3);
  w.number("Correction_noise", g.Correction_noise, 3);
  w.integer("Corrections_number", g.Corrections_number, 3);
  w.number("Normal_mode_A", g.Normal_mode_A, 3);
  w.number("Normal_mode_B", g.Normal_mode_B, 3);
  w.number("Fixed_mode_ell", g.Fixed_mode_ell, 3);
  w.close("Gaussian_Processes", 2);

  w.open("Sigma_filter", 2);
  w.flag("Use_sigma_filter", p.sigmaFilter.Use_sigma_filter, 3);
  w.number("Var_window_sec", p.sigmaFilter.Var_window_sec, 3);
  w.number("Stat_accum_sec", p.sigmaFilter.Stat_accum_sec, 3);
  w.close("Sigma_filter", 2);

  const CommonNavProperties::Knn& k = p.knn;
  w.open("KNN", 2);
  w.flag("Use_ap_weights", k.Use_ap_weights, 3);
  w.flag("Differention_mode", k.Differention_mode, 3);
  w.flag("Clear_unknown_beacons", k.Clear_unknown_beacons, 3);
  w.number("Minimal_ap_freq", k.Minimal_ap_freq, 3);
  w.word("Histogram_type", kHistogramWords, k.Histogram_type, 3);
  w.integer("Min_nvisible_aps", k.Min_nvisible_aps, 3);
  w.integer("Min_rpvis_aps", k.Min_rpvis_aps, 3);
  w.close("KNN", 2);

  w.open("Motion", 2);
  w.number("Steplength_noise", p.motion.Steplength_noise, 3);
  w.number("Angle_noise", p.motion.Angle_noise, 3);
  w.close("Motion", 2);
  w.close("Common_nav_prop", 1);

  for (const auto& [id, f] : floors) {
    out += "  <Sublocation id=\"" + std::to_string(id) + "\">\n";
    out += "    <Particle_filter Number_of_part=\"" + numberText(f.Number_of_part) +
           "\" Correction_noise_meters=\"" + numberText(f.Correction_noise_meters) +
           "\" Resampling_noise_meters=\"" + numberText(f.Resampling_noise_meters) +
           "\" Resampling_treshold_persantage=\"" + numberText(f.Resampling_treshold_persantage) +
           "\"/>\n";
    out += "    <GP_Fixed_Mode ell=\"" + numberText(f.ell) + "\"/>\n";
    out += "    <GP_Normal_Mode A=\"" + numberText(f.A) + "\" B=\"" + numberText(f.B) + "\"/>\n";
    out += "    <Probabilistic_method Histogram_interval_width=\"" +
           numberText(f.Histogram_interval_width) + "\"/>\n";
    out += "    <Autocalibration Vector_of_signals_maximal_size=\"" +
           numberText(f.Vector_of_signals_maximal_size) +
           "\" Autocalibrate_Histogram_interval_width=\"" +
           numberText(f.Autocalibrate_Histogram_interval_width) +
           "\" Number_of_points_in_MNK=\"" + numberText(f.Number_of_points_in_MNK) + "\"/>\n";
    out += "  </Sublocation>\n";
  }
  out += "</Location>\n";
  return out;
}

int NavigationMap::parseNavigationConfigXML(const std::string& memberName,
                                            CommonNavProperties& props) {
  char* data = nullptr;
  int size = 0;
  int rc = getDataFromZip(files_.pathToArchive.c_str(), memberName.c_str(), data, &size);
  if (rc != 0) return rc;
  std::string text(data, static_cast<size_t>(size));
  std::free(data);

  // Values are element texts; surrounding white space of a pretty-printed
  // value is not part of it.
  XMLDocument document(true, tinyxml2::COLLAPSE_WHITESPACE);
  if (document.Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS) {
    MV_LOG(kLogLevel, "Eror parse navigation.xml\n ERROR =%s\n", document.ErrorStr());
    return 21;
  }
  XMLElement* root = document.FirstChildElement();
  if (!root || std::string(root->Name()) != "Location") {
    MV_LOG(kLogLevel, "Parse error: root element <Location> wasn't found\n");
    return 21;
  }
  const char* idText = root->Attribute("id");
  if (!idText) {
    MV_LOG(kLogLevel, "Bad location id at config.xml\n");
    return 5;
  }
  int id = 0;
  if (!ScanInt(idText, id) || id != locationId_) {
    MV_LOG(kLogLevel, "location id in config.xml and navigation.xml are different\n");
    return 5;
  }

  if (const XMLElement* current = root->FirstChildElement("Common_nav_prop")) {
    fillNewCommonNavProps(current, props);
    if (behaviour_.fillsOmittedSettings()) fillOmittedSettings(current, props);
  } else if (const XMLElement* legacy = root->FirstChildElement("Common_nav_properties")) {
    fillCommonNavProperties(legacy, props);
  } else if (behaviour_.fillsOmittedSettings()) {
    fillOmittedSettings(nullptr, props);
  }

  for (SublocationMap& floor : sublocations_) {
    XMLElement* sub = root->FirstChildElement("Sublocation");
    if (!sub) {
      MV_LOG(kLogLevel, "There is no Sublocation childs of %d location\n", locationId_);
      return 5;
    }
    rc = findSublocationHandle(sub, floor);
    if (rc != 0) return rc;
    rc = fillFloorSettings(sub, floor.getProperties(), floor.getId());
    if (rc != 0) return rc;
  }
  return 0;
}

int NavigationMap::createNavFileInArchieve(const std::string& content,
                                           const std::string& memberName) {
  MV_LOG(kLogLevel, "Opening archive = %s\n", files_.pathToArchive.c_str());
  zip* archive = ZipOpen(files_.pathToArchive.c_str());
  if (!archive) {
    MV_LOG(kLogLevel, "Can't open zip archive %s!\n", files_.pathToArchive.c_str());
    return 1;
  }
  int rc = ZipWriteBuffer(archive, memberName.c_str(), content.data(),
                          static_cast<int>(content.size()));
  if (rc != 0) {
    MV_LOG(kLogLevel, "Error in ZipWriteBuffer function = %d \n", rc);
    ZipClose(archive);  // nothing was added, so this only releases the handle
    return rc;
  }
  rc = ZipClose(archive);
  if (rc != 0) {
    MV_LOG(kLogLevel, "Error in ZipClose function = %d \n", rc);
    return rc;
  }
  return 0;
}
