// Parameters of a synthetic venue: its size and floors, the radio model the
// survey is simulated with, and the settings written for the positioning engine.
#pragma once

#include <cstdint>
#include <string>

namespace venuesim {

// Result codes of the generator; 0 is success.
enum ResultCode {
  kOk = 0,
  kBadSpec = 1,        // a parameter is out of its range
  kWriteError = 2,     // the archive could not be created or written
  kEncodeError = 3,    // a member (XML, bitmap, image) could not be produced
};

// Positioning method codes of the navigation settings.
enum MethodCode {
  kMethodKnn = 107,
  kMethodGp = 108,
  kMethodHistogram = 109,
  kMethodGauss = 110,
  kMethodTrilat = 112,
  kMethodRp = 113,
  kMethodZone = 114,
};

// Gaussian-process mode and mean-model codes of the navigation settings.
enum GpModeCode { kGpFull = 121, kGpNormal = 122, kGpFixed = 123 };
enum MeanModelCode { kMeanConst = 104, kMeanLog = 106 };

struct VenueSpec {
  uint64_t seed = 1;

  // Layout.
  int floors = 2;                // 1..5, ids 1..floors
  double width = 60.0;           // metres along x
  double height = 30.0;          // metres along y
  double resolution = 0.1;       // metres per bitmap pixel
  double wallThickness = 0.2;    // metres, inner walls (outer walls are 1.5 times this)
  double corridorWidth = 2.4;    // metres
  double roomWidth = 6.0;        // metres, nominal room width along the corridor
  double doorWidth = 1.0;        // metres
  double beaconSpacing = 8.0;    // metres between neighbouring beacons
  double rpSpacing = 2.0;        // metres between neighbouring reference points

  // Radio: mean RSSI = A - 10 B log10(max(d, 0.5)) - walls - floors + shadowing.
  double txA = -60.0;            // dBm at 1 m
  double txB = 2.0;              // path-loss exponent
  double beaconAJitter = 1.5;    // dB, per-beacon spread of A
  double beaconBJitter = 0.1;    // per-beacon spread of B
  double shadowSigma = 4.0;      // dB, spatially correlated shadowing
  double shadowCell = 3.0;       // metres, correlation cell of the shadowing field
  double temporalSigma = 2.0;    // dB, sample-to-sample noise of the survey
  double wallLoss = 5.0;         // dB per wall crossed
  double floorLoss = 15.0;       // dB per floor between beacon and receiver
  double sensitivity = -100.0;   // dBm; weaker samples are not heard
  double surveySeconds = 15.0;   // recording time per reference point
  double scanRateHz = 2.0;       // readings per second and beacon

  // Geographic binding, the same for every floor.
  double latitude = 52.520008;
  double longitude = 13.404954;
  double azimuth = 0.0;          // degrees
  double magneticDeclination = 4.0;

  // Identity and settings.
  int locationId = 7001;
  std::string locationName = "Synthetic venue";
  std::string description = "Generated venue";
  int version = 1;
  int method = kMethodKnn;
  int gpMode = kGpFull;
  int meanModel = kMeanLog;
  // The settings member names only the method, the Gaussian-process mode and
  // mean model and each floor's fitted values, leaving the rest to the engine,
  // as a venue made by other tools may.
  bool settingsLeftOut = false;
  std::string uuid;              // empty: derived from the seed
};

// 0 when every parameter is usable, else kBadSpec with a message naming it.
int ValidateSpec(const VenueSpec& setup, std::string* error);

// Settings words for the codes ("knn", "full", "log", ...); empty when unknown.
std::string MethodWord(int method);
std::string GpModeWord(int mode);
std::string MeanModelWord(int model);

}  // namespace venuesim
