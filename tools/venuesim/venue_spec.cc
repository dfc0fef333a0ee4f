#include "venuesim/venue_spec.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace venuesim {
namespace {

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool InRange(double v, double lo, double hi, const char* name, std::string* error) {
  if (std::isfinite(v) && v >= lo && v <= hi) return true;
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s must be between %g and %g", name, lo, hi);
  return Fail(error, buf);
}

bool ValidUuid(const std::string& u) {
  // 8-4-4-4-12 hexadecimal digits.
  if (u.size() != 36) return false;
  for (size_t i = 0; i < u.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? u[i] != '-' : !std::isxdigit(static_cast<unsigned char>(u[i]))) return false;
  }
  return true;
}

bool Check(const VenueSpec& s, std::string* error) {
  if (s.floors < 1 || s.floors > 5) return Fail(error, "floors must be between 1 and 5");
  if (!InRange(s.width, 4.0, 2000.0, "width", error)) return false;
  if (!InRange(s.height, 4.0, 2000.0, "height", error)) return false;
  if (!InRange(s.resolution, 0.02, 1.0, "resolution", error)) return false;
  const double pixels = std::round(s.width / s.resolution) * std::round(s.height / s.resolution);
  if (pixels > 2.0e8) return Fail(error, "floor bitmap too large: raise the resolution (metres per pixel)");
  if (!InRange(s.wallThickness, s.resolution, 1.0, "wall thickness", error)) return false;
  if (!InRange(s.corridorWidth, 1.0, 10.0, "corridor width", error)) return false;
  if (!InRange(s.roomWidth, 2.0, 100.0, "room width", error)) return false;
  if (!InRange(s.doorWidth, 0.5, 3.0, "door width", error)) return false;
  if (!InRange(s.beaconSpacing, 1.0, 2000.0, "beacon spacing", error)) return false;
  if (!InRange(s.rpSpacing, 0.25, 2000.0, "reference-point spacing", error)) return false;
  const double beacons = std::ceil(s.width / s.beaconSpacing) * std::ceil(s.height / s.beaconSpacing);
  if (beacons > 60000.0) return Fail(error, "too many beacons per floor: raise the beacon spacing");
  const double points = (s.width / s.rpSpacing + 1.0) * (s.height / s.rpSpacing + 1.0);
  if (points > 200000.0) return Fail(error, "too many reference points per floor: raise the spacing");
  if (!InRange(s.txA, -120.0, 0.0, "A", error)) return false;
  if (!InRange(s.txB, 0.5, 6.0, "B", error)) return false;
  if (!InRange(s.beaconAJitter, 0.0, 10.0, "A spread", error)) return false;
  if (!InRange(s.beaconBJitter, 0.0, 1.0, "B spread", error)) return false;
  if (!InRange(s.shadowSigma, 0.0, 30.0, "shadowing sigma", error)) return false;
  if (!InRange(s.shadowCell, 0.5, 100.0, "shadowing cell", error)) return false;
  if (!InRange(s.temporalSigma, 0.0, 20.0, "temporal sigma", error)) return false;
  if (!InRange(s.wallLoss, 0.0, 50.0, "wall loss", error)) return false;
  if (!InRange(s.floorLoss, 0.0, 100.0, "floor loss", error)) return false;
  if (!InRange(s.sensitivity, -126.0, -1.0, "sensitivity", error)) return false;
  if (!InRange(s.surveySeconds, 0.1, 3600.0, "survey seconds", error)) return false;
  if (!InRange(s.scanRateHz, 0.1, 100.0, "scan rate", error)) return false;
  if (s.surveySeconds * s.scanRateHz < 1.0) return Fail(error, "survey must take at least one reading per beacon");
  if (!InRange(s.latitude, -89.0, 89.0, "latitude", error)) return false;
  if (!InRange(s.longitude, -180.0, 180.0, "longitude", error)) return false;
  if (!InRange(s.azimuth, -360.0, 360.0, "azimuth", error)) return false;
  if (!InRange(s.magneticDeclination, -180.0, 180.0, "magnetic declination", error)) return false;
  if (s.locationId < 0) return Fail(error, "location id must not be negative");
  if (s.version < 0) return Fail(error, "version must not be negative");
  if (s.locationName.empty()) return Fail(error, "location name must not be empty");
  if (MethodWord(s.method).empty()) return Fail(error, "unknown positioning method code");
  if (GpModeWord(s.gpMode).empty()) return Fail(error, "unknown Gaussian-process mode code");
  if (MeanModelWord(s.meanModel).empty()) return Fail(error, "unknown mean model code (104 or 106)");
  if (!s.uuid.empty() && !ValidUuid(s.uuid)) return Fail(error, "uuid must look like 8-4-4-4-12 hex digits");
  return true;
}

}  // namespace

int ValidateSpec(const VenueSpec& setup, std::string* error) {
  return Check(setup, error) ? kOk : kBadSpec;
}

std::string MethodWord(int method) {
  switch (method) {
    case kMethodKnn: return "knn";
    case kMethodGp: return "gp";
    case kMethodHistogram: return "histogram";
    case kMethodGauss: return "gauss";
    case kMethodTrilat: return "trilat";
    case kMethodRp: return "rp";
    case kMethodZone: return "zone";
    default: return "";
  }
}

std::string GpModeWord(int mode) {
  switch (mode) {
    case kGpFull: return "full";
    case kGpNormal: return "normal";
    case kGpFixed: return "fixed";
    default: return "";
  }
}

std::string MeanModelWord(int model) {
  switch (model) {
    case kMeanConst: return "const";
    case kMeanLog: return "log";
    default: return "";
  }
}

}  // namespace venuesim
