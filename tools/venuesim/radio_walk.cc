#include "venuesim/radio_walk.h"

#include <algorithm>
#include <cmath>

#include "venuesim/rng.h"

namespace venuesim {
namespace {

constexpr uint64_t kWalkTag = 0x57414C4BULL;
constexpr double kFirstTickSeconds = 0.1;

}  // namespace

RadioWalkOptions RadioWalkOptions::FromSpec(const VenueSpec& setup, uint64_t seed) {
  RadioWalkOptions o;
  o.seed = seed;
  o.temporalSigma = setup.temporalSigma;
  o.packetRateHz = setup.scanRateHz;
  o.sensitivity = setup.sensitivity;
  return o;
}

std::vector<RadioTick> SimulateRadioWalk(const PropagationModel& model, const std::vector<WalkPoint>& path,
                                         const RadioWalkOptions& options) {
  std::vector<RadioTick> ticks;
  ticks.reserve(path.size());
  // Below this mean no packet can reach the sensitivity: no draws needed.
  const double hopeless = options.sensitivity - 6.0 * options.temporalSigma - 0.5;
  const double miss = std::clamp(options.missRate, 0.0, 1.0);
  const double rate = std::max(0.0, options.packetRateHz);
  for (size_t t = 0; t < path.size(); ++t) {
    RadioTick tick;
    tick.at = path[t];
    double span = t == 0 ? kFirstTickSeconds : path[t].time - path[t - 1].time;
    if (!(span > 0.0)) span = 0.0;
    for (int b = 0; b < model.beaconCount(); ++b) {
      const double mean = model.meanRssi(b, path[t].floor, path[t].x, path[t].y);
      if (mean < hopeless) continue;
      // One stream per (tick, beacon): a reading does not depend on how many
      // draws other beacons took.
      Rng rng(DeriveSeed(options.seed, {kWalkTag, t, static_cast<uint64_t>(b)}));
      const double expected = rate * span;
      int packets = static_cast<int>(expected);
      if (rng.uniform() < expected - packets) ++packets;
      for (int k = 0; k < packets; ++k) {
        const bool lost = rng.uniform() < miss;
        const double level = std::round(mean + options.temporalSigma * rng.normal());
        const int offsetMs = static_cast<int>(rng.uniform() * span * 1000.0);
        if (lost || level < options.sensitivity) continue;
        RadioReading r;
        r.key = model.beacon(b).key();
        r.rssi = std::min(level, -1.0);
        r.offsetMs = offsetMs;
        tick.readings.push_back(std::move(r));
      }
    }
    ticks.push_back(std::move(tick));
  }
  return ticks;
}

std::vector<WalkPoint> WalkAlong(int floor, const std::vector<Point>& waypoints, double speed,
                                 double tickSeconds, double startTime) {
  std::vector<WalkPoint> path;
  if (waypoints.empty() || !(speed > 0.0) || !(tickSeconds > 0.0)) return path;
  std::vector<double> along(1, 0.0);
  for (size_t i = 1; i < waypoints.size(); ++i) {
    along.push_back(along.back() +
                    std::hypot(waypoints[i].x - waypoints[i - 1].x, waypoints[i].y - waypoints[i - 1].y));
  }
  const double total = along.back();
  const long steps = static_cast<long>(std::floor(total / (speed * tickSeconds)));
  size_t seg = 0;
  for (long s = 0; s <= steps; ++s) {
    const double d = std::min(total, s * speed * tickSeconds);
    while (seg + 1 < along.size() - 1 && along[seg + 1] < d) ++seg;
    WalkPoint p;
    p.time = startTime + s * tickSeconds;
    p.floor = floor;
    if (waypoints.size() == 1 || along[seg + 1] <= along[seg]) {
      p.x = waypoints[std::min(seg + 1, waypoints.size() - 1)].x;
      p.y = waypoints[std::min(seg + 1, waypoints.size() - 1)].y;
    } else {
      const double u = (d - along[seg]) / (along[seg + 1] - along[seg]);
      p.x = waypoints[seg].x + u * (waypoints[seg + 1].x - waypoints[seg].x);
      p.y = waypoints[seg].y + u * (waypoints[seg + 1].y - waypoints[seg].y);
    }
    path.push_back(p);
  }
  return path;
}

}  // namespace venuesim
