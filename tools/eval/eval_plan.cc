#include "eval/eval_plan.h"

#include "venuesim/venue_spec.h"

namespace eval {
namespace {

std::vector<Method> Methods() {
  return {{venuesim::kMethodKnn, "kNN"}, {venuesim::kMethodHistogram, "histogram"}, {venuesim::kMethodGp, "GP"}};
}

std::vector<Setting> Settings() { return {{"classic", "defaults=classic;"}, {"kit", ""}}; }

std::vector<std::string> Tracks() {
  return {"straight_01", "straight_02", "rectangular_without_rotation", "zigzagging_without_rotation"};
}

// Soft and strong steps, slow and fast cadences, short and long steps, the
// phone flat, pitched and swaying; no two alike in the swing a step length
// goes with. The held-out ones span the same ranges as the tuning ones.
std::vector<Gait> Gaits() {
  return {
      {"tuning: soft, 0.70 m at 1.86 Hz, flat", 0.70, 1.86, 1.5, 0.0, 1.0, false},
      {"tuning: strong, 0.62 m at 2.0 Hz, pitched", 0.62, 2.0, 3.0, 0.5, 1.0, false},
      {"tuning: long slow, 0.82 m at 1.5 Hz, swaying", 0.82, 1.5, 2.0, 0.3, 3.0, false},
      {"soft long, 0.85 m at 1.6 Hz, flat", 0.85, 1.6, 1.0, 0.0, 1.0, true},
      {"strong short, 0.55 m at 2.2 Hz, pitched", 0.55, 2.2, 3.5, 0.6, 1.0, true},
      {"slow, 0.65 m at 1.4 Hz, swaying", 0.65, 1.4, 1.8, 0.4, 3.0, true},
      {"fast, 0.78 m at 2.1 Hz, flat", 0.78, 2.1, 2.6, 0.0, 1.0, true},
      {"medium soft, 0.60 m at 1.8 Hz, swaying", 0.60, 1.8, 1.2, 0.2, 3.0, true},
  };
}

}  // namespace

std::string ArchiveStem(const Method& m) {
  return "m" + std::to_string(m.code) + (m.gpMode != 0 ? "-" + std::to_string(m.gpMode) : "");
}

Method GpFixedMethod() { return {venuesim::kMethodGp, "GP fixed", venuesim::kGpFixed}; }

Plan FullPlan(const std::string& recordingsDir) {
  Plan p;
  p.kinds = {
      {"1 floor, 5 m, 3 dB, walls 3 dB", 1, 5.0, 3.0, 3.0, false},
      {"2 floors, 8 m, 4 dB, walls 5 dB", 2, 8.0, 4.0, 5.0, false},
      {"2 floors, 10 m, 6 dB, walls 8 dB, lift", 2, 10.0, 6.0, 8.0, true},
      {"3 floors, 12 m, 5 dB, walls 5 dB", 3, 12.0, 5.0, 5.0, false},
      {"4 floors, 15 m, 8 dB, walls 6 dB", 4, 15.0, 8.0, 6.0, false},
      {"2 floors, 8 m, 4 dB, walls 5 dB, settings left out", 2, 8.0, 4.0, 5.0, false, 60.0, 30.0, true},
      {"3 floors, 12 m, 5 dB, walls 5 dB, settings left out", 3, 12.0, 5.0, 5.0, false, 60.0, 30.0, true},
  };
  p.tuningSeeds = {11, 12, 13};
  p.heldOutSeeds = {91, 92, 93};
  p.methods = Methods();
  p.settings = Settings();
  p.recordingsDir = recordingsDir;
  p.tracks = Tracks();
  p.gaits = Gaits();
  p.gaitKind = {"2 floors, 8 m, 4 dB, walls 5 dB", 2, 8.0, 4.0, 5.0, false};
  return p;
}

Plan QuickPlan(const std::string& recordingsDir) {
  Plan p;
  p.kinds = {{"2 floors, 8 m, 4 dB, walls 5 dB, small", 2, 8.0, 4.0, 5.0, false, 30.0, 16.0}};
  p.tuningSeeds = {11};
  p.heldOutSeeds = {91};
  p.methods = Methods();
  p.settings = Settings();
  p.recordingsDir = recordingsDir;
  p.tracks = {"straight_01", "rectangular_without_rotation"};
  return p;
}

}  // namespace eval
