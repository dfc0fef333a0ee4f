// The settings member's legacy form: the common settings as attributes of
// one element.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "server/utils.h"
#include "wifipos/navigation_map/navigation_config_internal.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/navigation_settings.h"
#include "wifipos/navigation_map/scan_number.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace navigation_config_internal {

namespace {

void legacyDouble(const XMLElement* e, const char* name, double& member) {
  const char* text = e->Attribute(name);
  if (!text) {
    MV_LOG(kLogLevel, "0 at %s\nThe value will be set to default\n", name);
    return;
  }
  if (!ScanDouble(text, member)) MV_LOG(kLogLevel, "ERROR SCANF %s.\n", name);
}

void legacyInt(const XMLElement* e, const char* name, int& member) {
  const char* text = e->Attribute(name);
  if (!text) {
    MV_LOG(kLogLevel, "0 at %s\nThe value will be set to default\n", name);
    return;
  }
  if (!ScanInt(text, member)) MV_LOG(kLogLevel, "ERROR SCANF %s.\n", name);
}

// An unreadable flag becomes false.
void legacyFlag(const XMLElement* e, const char* name, bool& member) {
  const char* text = e->Attribute(name);
  if (!text) {
    MV_LOG(kLogLevel, "0 at %s\nThe value will be set to default\n", name);
    return;
  }
  if (flagWord(text, member)) return;
  int v = 0;
  if (!ScanInt(text, v)) {
    MV_LOG(kLogLevel, "ERROR SCANF %s. The value is set to false\n", name);
    member = false;
    return;
  }
  member = v != 0;
}

template <size_t N>
void legacyWord(const XMLElement* e, const char* name, const WordCode (&table)[N], int& member) {
  const char* text = e->Attribute(name);
  if (!text) {
    MV_LOG(kLogLevel, "0 at %s\nThe value will be set to default\n", name);
    return;
  }
  if (!codeOfWord(table, text, member))
    MV_LOG(kLogLevel, "ERROR: unknown %s = %s. Possible values: %s\n", name, text,
           wordList(table).c_str());
}

void parseSfProperties(const XMLElement* cnp, CommonNavProperties& p) {
  const XMLElement* e = cnp->FirstChildElement("Sensor_fusion");
  if (!e) {
    MV_LOG(kLogLevel,
           "Warning: there is no node with Sensor fusion navProperties.\nAll preferences will "
           "be set to default\n");
    return;
  }
  legacyDouble(e, "Fusion_acc_coef", p.sensorFusion.Fusion_acc_coef);
  legacyDouble(e, "Fusion_magn_coef", p.sensorFusion.Fusion_magn_coef);
  legacyDouble(e, "Low_pass_time", p.sensorFusion.Low_pass_time);
}

void parseGpProperties(const XMLElement* cnp, CommonNavProperties& p) {
  const XMLElement* e = cnp->FirstChildElement("Gaussian_Processes");
  if (!e) {
    MV_LOG(kLogLevel,
           "Warning: there is no node with Sensor fusion Gaussian_Processes All preferences "
           "will be set to default\n");
    return;
  }
  CommonNavProperties::GaussianProcesses& g = p.gaussianProcesses;
  legacyWord(e, "Mode", kLegacyGpModeWords, g.Mode);
  legacyWord(e, "Mean_model", kMeanModelWords, g.Mean_model);
  legacyDouble(e, "Correction_noise", g.Correction_noise);
  legacyInt(e, "Corrections_number", g.Corrections_number);
  legacyDouble(e, "Normal_mode_A", g.Normal_mode_A);
  legacyDouble(e, "Normal_mode_B", g.Normal_mode_B);
  legacyDouble(e, "Fixed_mode_ell", g.Fixed_mode_ell);
  legacyFlag(e, "Use_beacon_power", g.Use_beacon_power);
  legacyFlag(e, "Differention_mode", g.Differention_mode);
}

void parseSigmaFilterProperties(const XMLElement* cnp, CommonNavProperties& p) {
  const XMLElement* e = cnp->FirstChildElement("Sigma_filter");
  if (!e) {
    MV_LOG(kLogLevel,
           "Warning: there is no node with Sigma Filter navProperties. All preferences will be "
           "set to default\n");
    return;
  }
  legacyFlag(e, "Use_sigma_filter", p.sigmaFilter.Use_sigma_filter);
  legacyDouble(e, "Var_window_sec", p.sigmaFilter.Var_window_sec);
  legacyDouble(e, "Stat_accum_sec", p.sigmaFilter.Stat_accum_sec);
}

// The KNN element only switches the group on; apart from Use_ap_weights its
// values sit on the parent element.
void parseKnnProperties(const XMLElement* cnp, CommonNavProperties& p) {
  const XMLElement* e = cnp->FirstChildElement("KNN");
  if (!e) {
    MV_LOG(kLogLevel,
           "Warning: there is no node with KNN navProperties. All preferences will be set to "
           "default\n");
    return;
  }
  CommonNavProperties::Knn& k = p.knn;
  legacyFlag(e, "Use_ap_weights", k.Use_ap_weights);
  legacyFlag(cnp, "Differention_mode", k.Differention_mode);
  legacyFlag(cnp, "Clear_unknown_beacons", k.Clear_unknown_beacons);
  legacyDouble(cnp, "Minimal_ap_freq", k.Minimal_ap_freq);
  legacyWord(cnp, "Histogram_type", kLegacyHistogramWords, k.Histogram_type);
  legacyInt(cnp, "Min_nvisible_aps", k.Min_nvisible_aps);
  legacyInt(cnp, "Min_rpvis_aps", k.Min_rpvis_aps);
  // Older archives name the same count N_closest_rp; when both are given the
  // later one wins.
  if (cnp->Attribute("N_closest_rp")) legacyInt(cnp, "N_closest_rp", k.Min_rpvis_aps);
}

void parseMotionProperties(const XMLElement* cnp, CommonNavProperties& p) {
  const XMLElement* e = cnp->FirstChildElement("Motion");
  if (!e) {
    MV_LOG(kLogLevel,
           "Warning: there is no node with Motion navProperties.\nAll preferences will be set "
           "to default\n");
    return;
  }
  legacyDouble(e, "Steplength_noise", p.motion.Steplength_noise);
  legacyDouble(e, "Angle_noise", p.motion.Angle_noise);
}

}  // namespace

int fillCommonNavProperties(const XMLElement* e, CommonNavProperties& p) {
  if (!e) {
    MV_LOG(kLogLevel, "ERROR: missed navProperties node, properties are set to default\n");
    return -1;
  }
  legacyDouble(e, "out_R", p.Max_out_R);
  legacyDouble(e, "min_out_R", p.Min_out_R);
  legacyWord(e, "Use_Signals", kSignalWords, p.Use_Signals);
  legacyWord(e, "Use_algorithm", kLegacyAlgorithmWords, p.Use_algorithm);
  if (p.Use_algorithm == NAV_ALG_GP) {
    legacyWord(e, "Mean_model", kMeanModelWords, p.gaussianProcesses.Mean_model);
    legacyWord(e, "GP_Mode", kLegacyGpModeWords, p.gaussianProcesses.Mode);
  }
  legacyFlag(e, "Use_particle_filter", p.Use_particle_filter);
  legacyFlag(e, "Use_smoothing", p.Use_smoothing);
  legacyFlag(e, "Use_closest_aps", p.Use_closest_aps);
  legacyInt(e, "N_closest_aps", p.N_closest_aps);
  legacyInt(e, "N_particles_around_closest_AP", p.N_particles_around_closest_AP);
  legacyInt(e, "Noisy_resampling_trigger_counter", p.Noisy_resampling_trigger_counter);
  legacyFlag(e, "Use_stops", p.Use_stops);
  legacyFlag(e, "Use_stops_PF", p.Use_stops_PF);
  legacyDouble(e, "Stop_averaging_time", p.Stop_averaging_time);
  legacyDouble(e, "Step_multiplier", p.Step_multiplier);
  legacyWord(e, "Histogram_type", kLegacyHistogramWords, p.Histogram_type);
  legacyInt(e, "GP_corrections_number", p.gaussianProcesses.Corrections_number);
  legacyDouble(e, "Sig_averaging_time", p.Sig_averaging_time);
  legacyDouble(e, "Sig_window_shift", p.Sig_window_shift);
  legacyDouble(e, "Dead_reckon_time", p.Dead_reckon_time);
  legacyFlag(e, "Use_ap_weights", p.Use_ap_weights);
  legacyDouble(e, "Minimal_ap_freq", p.Minimal_ap_freq);
  legacyInt(e, "N_additional_particles", p.N_additional_particles);
  legacyDouble(e, "gp_correction_noise", p.gaussianProcesses.Correction_noise);
  legacyFlag(e, "Use_graph_projection", p.Use_graph_projection);
  legacyFlag(e, "Use_gps", p.Use_gps);
  legacyInt(e, "Cutoff_rss", p.Cutoff_rss);
  legacyFlag(e, "Clear_unknown_beacons", p.Clear_unknown_beacons);

  parseSfProperties(e, p);
  parseGpProperties(e, p);
  parseSigmaFilterProperties(e, p);
  parseKnnProperties(e, p);
  parseMotionProperties(e, p);
  return 0;
}

}  // namespace navigation_config_internal
