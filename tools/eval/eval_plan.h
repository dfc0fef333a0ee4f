// What the evaluation runs: the kinds of generated venue with their seeds
// (tuning and held-out kept apart), the positioning methods and the two
// settings, and the shared recordings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace eval {

struct VenueKind {
  std::string name;  // says what it is: "2 floors, 8 m, 4 dB, walls 5 dB"
  int floors = 2;
  double beaconSpacing = 8.0;  // metres
  double shadowSigma = 4.0;    // dB
  double wallLoss = 5.0;       // dB per wall
  bool lift = false;           // floor change by lift instead of stairs
  double width = 60.0, height = 30.0;
  // The archive leaves every setting but the method to the engine's defaults.
  bool settingsLeftOut = false;
};

struct Method {
  int code = 107;
  std::string name;
  int gpMode = 0;  // the Gaussian-process mode the archive asks for; 0: the generator's (full)
};

// A walker of its own build, walked through the venues of one kind: steps
// as long as it likes at its own cadence, the swing of its steps chosen apart
// from their length, and its own way of holding the phone.
struct Gait {
  std::string name;
  double stepLength = 0.7;  // m
  double cadence = 1.8;     // steps per second
  double swing = 1.5;       // m/s2, amplitude of the vertical step acceleration
  double phonePitch = 0.5;  // rad, 0: flat
  double phoneSway = 1.0;   // against a steady grip
  bool heldOut = false;     // nobody tunes on it
};

// The generated archive of a method in a venue's folder, without ".mvz".
std::string ArchiveStem(const Method& m);

// The Gaussian processes' fixed mode, an extra row beside the plan's methods.
Method GpFixedMethod();

// The engine's original behaviour and the kit's, as navigation client parameters.
struct Setting {
  std::string name;
  std::string parameters;
};

struct Plan {
  std::vector<VenueKind> kinds;
  std::vector<uint64_t> tuningSeeds;   // venues changes may be tuned on
  std::vector<uint64_t> heldOutSeeds;  // venues nobody looks at while tuning
  std::vector<Method> methods;
  std::vector<Setting> settings;
  std::string recordingsDir;           // empty or missing: no recordings
  std::vector<std::string> tracks;
  bool deadReckoning = true;
  // Walkers of many builds in venues of `gaitKind` (tuning gaits on the
  // tuning seeds, held-out ones on the held-out seeds).
  std::vector<Gait> gaits;
  VenueKind gaitKind;
};

// The full plan, or the few small venues and short walks of --quick.
Plan FullPlan(const std::string& recordingsDir);
Plan QuickPlan(const std::string& recordingsDir);

}  // namespace eval
