#include "venuesim/survey.h"

#include <algorithm>
#include <cmath>

#include "venuesim/rng.h"
#include "venuesim/shadowing.h"

namespace venuesim {
namespace {

constexpr uint64_t kSurveyTag = 0x5355525645ULL;
constexpr uint64_t kMagnetTag = 0x4D41474EULL;
constexpr double kMagnetMean = 48.0;   // microtesla, a typical indoor field strength
constexpr double kMagnetSigma = 4.0;   // microtesla, disturbance by the building's steel
constexpr double kMagnetCell = 2.0;    // metres

}  // namespace

std::map<int, int> SampleHistogram(double mean, double temporalSigma, double sensitivity, int samples, Rng& rng) {
  std::map<int, int> histogram;
  for (int i = 0; i < samples; ++i) {
    const double level = std::round(mean + temporalSigma * rng.normal());
    if (level < sensitivity) continue;
    // A level of 0 dBm or more cannot be stored as a magnitude; radios never report it.
    const int magnitude = std::max(1, static_cast<int>(-level));
    ++histogram[magnitude];
  }
  return histogram;
}

void SimulateSurvey(const PropagationModel& model, Venue& venue) {
  const VenueSpec& s = venue.setup;
  const int samples = std::max(1, static_cast<int>(std::lround(s.surveySeconds * s.scanRateHz)));
  const int durationMs = static_cast<int>(std::lround(s.surveySeconds * 1000.0));
  // Far below the sensitivity no sample can be heard; skipping those saves the draws.
  const double hopeless = s.sensitivity - 6.0 * s.temporalSigma - 0.5;
  for (size_t f = 0; f < venue.floors.size(); ++f) {
    VenueFloor& floor = venue.floors[f];
    const ShadowingField magnet(DeriveSeed(s.seed, {kMagnetTag, f}), s.width, s.height, kMagnetCell, kMagnetSigma);
    for (size_t p = 0; p < floor.points.size(); ++p) {
      SurveyPoint& point = floor.points[p];
      point.durationMs = durationMs;
      point.magnet = std::round((kMagnetMean + magnet.value(point.x, point.y)) * 100.0) / 100.0;
      point.entries.clear();
      for (int b = 0; b < model.beaconCount(); ++b) {
        const double mean = model.meanRssi(b, static_cast<int>(f), point.x, point.y);
        if (mean < hopeless) continue;
        Rng rng(DeriveSeed(s.seed, {kSurveyTag, f, p, static_cast<uint64_t>(b)}));
        SurveyEntry entry;
        entry.histogram = SampleHistogram(mean, s.temporalSigma, s.sensitivity, samples, rng);
        if (entry.histogram.empty()) continue;
        const VenueBeacon& beacon = model.beacon(b);
        entry.key = beacon.key();
        entry.power = beacon.power;
        entry.battery = beacon.battery;
        point.entries.push_back(std::move(entry));
      }
      // Entries in key order, as a reader that sorts by key would see them.
      std::sort(point.entries.begin(), point.entries.end(),
                [](const SurveyEntry& a, const SurveyEntry& b) { return a.key < b.key; });
    }
  }
}

}  // namespace venuesim
