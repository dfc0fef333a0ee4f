#include "venuesim/navigation_xml.h"

#include <algorithm>
#include <cmath>

#include "venuesim/propagation.h"
#include "venuesim/xml_text.h"

namespace venuesim {
namespace {

void Text(tinyxml2::XMLElement* parent, const char* name, const std::string& value) {
  parent->InsertNewChildElement(name)->SetText(value.c_str());
}

void Text(tinyxml2::XMLElement* parent, const char* name, int value) {
  parent->InsertNewChildElement(name)->SetText(value);
}

// Each floor's element: the particle filter's and the signal models' values
// fitted to this venue.
void AppendFloorSettings(tinyxml2::XMLElement* root, const Venue& venue, const WrittenSettings& w) {
  for (const VenueFloor& floor : venue.floors) {
    tinyxml2::XMLElement* sub = root->InsertNewChildElement("Sublocation");
    sub->SetAttribute("id", floor.id);
    tinyxml2::XMLElement* pf = sub->InsertNewChildElement("Particle_filter");
    pf->SetAttribute("Number_of_part", w.particles);
    pf->SetAttribute("Correction_noise_meters", FormatDouble(w.correctionNoiseMeters).c_str());
    pf->SetAttribute("Resampling_noise_meters", FormatDouble(w.resamplingNoiseMeters).c_str());
    pf->SetAttribute("Resampling_treshold_persantage", FormatDouble(w.resamplingThreshold).c_str());
    sub->InsertNewChildElement("GP_Fixed_Mode")->SetAttribute("ell", FormatDouble(w.fixedModeEll).c_str());
    tinyxml2::XMLElement* normal = sub->InsertNewChildElement("GP_Normal_Mode");
    normal->SetAttribute("A", FormatDouble(w.normalModeA).c_str());
    normal->SetAttribute("B", FormatDouble(w.normalModeB).c_str());
    sub->InsertNewChildElement("Probabilistic_method")
        ->SetAttribute("Histogram_interval_width", w.histogramIntervalWidth);
    tinyxml2::XMLElement* cal = sub->InsertNewChildElement("Autocalibration");
    cal->SetAttribute("Vector_of_signals_maximal_size", w.calibrationSignals);
    cal->SetAttribute("Autocalibrate_Histogram_interval_width", w.calibrationIntervalWidth);
    cal->SetAttribute("Number_of_points_in_MNK", w.pointsInMnk);
  }
}

}  // namespace

WrittenSettings SettingsFor(const VenueSpec& setup) {
  WrittenSettings w;
  w.normalModeA = RoundTo(setup.txA, 2);
  w.normalModeB = RoundTo(EngineSlope(setup.txB), 4);
  w.fixedModeEll = RoundTo(setup.shadowCell, 3);
  // The normal mode predicts without the shadowing, so its residuals carry it.
  const double temporal = setup.temporalSigma * setup.temporalSigma;
  const double shadow = setup.gpMode == kGpNormal ? setup.shadowSigma * setup.shadowSigma : 0.0;
  w.correctionNoise = RoundTo(std::max(10.0, temporal + shadow), 2);
  return w;
}

std::string NavigationXml(const Venue& venue) {
  const VenueSpec& s = venue.setup;
  const WrittenSettings w = SettingsFor(s);
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLElement* root = StartLocationDocument(doc, s.locationId);
  tinyxml2::XMLElement* p = root->InsertNewChildElement("Common_nav_prop");
  if (s.settingsLeftOut) {
    Text(p, "Use_algorithm", MethodWord(s.method));
    tinyxml2::XMLElement* gp = p->InsertNewChildElement("Gaussian_Processes");
    Text(gp, "Mean_model", MeanModelWord(s.meanModel));
    Text(gp, "Mode", GpModeWord(s.gpMode));
    AppendFloorSettings(root, venue, w);
    return DocumentText(doc);
  }
  Text(p, "Use_Signals", "ble");
  Text(p, "Use_algorithm", MethodWord(s.method));
  Text(p, "Step_multiplier", "1.0");
  Text(p, "Use_particle_filter", 1);
  // The output smoothing evaluates its fit 0.7 s in the past and blends 4:1 with
  // its previous output, which trails a walking person by about 3 m; the
  // particle filter already keeps the track steady.
  Text(p, "Use_smoothing", 0);
  Text(p, "Max_out_R", "6.0");
  Text(p, "Min_out_R", "1.5");
  Text(p, "Sig_averaging_time", "1.5");
  Text(p, "Use_graph_projection", 0);  // the generated venues have no route graph
  Text(p, "Graph_prog_distance", "5.0");
  Text(p, "Use_gps", 0);               // indoors, and the survey has no GPS
  Text(p, "N_additional_particles", 0);
  Text(p, "Sig_window_shift", "0.5");
  Text(p, "Dead_reckon_time", "6.0");
  Text(p, "Cutoff_rss", static_cast<int>(std::lround(s.sensitivity)));
  Text(p, "Use_closest_aps", 0);
  Text(p, "N_closest_aps", 0);
  Text(p, "Use_stops", 1);
  Text(p, "Use_stops_PF", 0);
  Text(p, "Stop_averaging_time", "6.0");
  Text(p, "N_particles_location_change", 1000);
  Text(p, "N_particles_around_closest_AP", 0);
  Text(p, "Noisy_resampling_trigger_counter", 0);
  Text(p, "Use_pf_estimated_angle", 0);
  Text(p, "N_round_particles_pf", 180);
  Text(p, "Use_number_of_beacons", 1);

  tinyxml2::XMLElement* fusion = p->InsertNewChildElement("Sensor_fusion");
  Text(fusion, "Fusion_acc_coef", "1.0");
  Text(fusion, "Fusion_magn_coef", "1.0");
  Text(fusion, "Low_pass_time", "1.0");
  Text(fusion, "Pf_init_angle_noise", "10.0");
  Text(fusion, "Gyro_bias_degpersec", "1.0");
  Text(fusion, "Angles_var_correction_threshold_deg", "60.0");
  Text(fusion, "Minimal_alignment_gap_sec", "35.0");

  tinyxml2::XMLElement* gp = p->InsertNewChildElement("Gaussian_Processes");
  Text(gp, "Differention_mode", 0);
  Text(gp, "Use_beacon_power", 1);  // every beacon carries its own A and B
  Text(gp, "Mean_model", MeanModelWord(s.meanModel));
  Text(gp, "Mode", GpModeWord(s.gpMode));
  Text(gp, "Correction_noise", FormatDouble(w.correctionNoise));
  Text(gp, "Corrections_number", 1);
  Text(gp, "Normal_mode_A", FormatDouble(w.normalModeA));
  Text(gp, "Normal_mode_B", FormatDouble(w.normalModeB));
  Text(gp, "Fixed_mode_ell", FormatDouble(w.fixedModeEll));

  tinyxml2::XMLElement* sigma = p->InsertNewChildElement("Sigma_filter");
  Text(sigma, "Use_sigma_filter", 0);
  Text(sigma, "Var_window_sec", "1.0");
  Text(sigma, "Stat_accum_sec", "0.01");

  tinyxml2::XMLElement* knn = p->InsertNewChildElement("KNN");
  Text(knn, "Use_ap_weights", 0);
  Text(knn, "Differention_mode", 0);
  Text(knn, "Clear_unknown_beacons", 0);
  Text(knn, "Minimal_ap_freq", "0.0");
  Text(knn, "Histogram_type", "binned");
  // A point needs three transmitters in common with the window before it may
  // vote: with one, a point on another floor that happens to match a single
  // level wins the floor (beacons are dense enough here for three).
  Text(knn, "Min_nvisible_aps", 3);
  Text(knn, "Min_rpvis_aps", 3);

  tinyxml2::XMLElement* motion = p->InsertNewChildElement("Motion");
  Text(motion, "Steplength_noise", "0.1");
  Text(motion, "Angle_noise", "5.0");

  AppendFloorSettings(root, venue, w);
  return DocumentText(doc);
}

}  // namespace venuesim
