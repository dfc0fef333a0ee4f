// Radio readings along a walk through a generated venue: which beacons a
// phone hears at each tick, with the same propagation model and shadowing as
// the venue's survey, plus sample-to-sample noise and lost packets. The
// readings are plain records, so a test can turn them into whatever message
// or scan type it feeds to the engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "venuesim/propagation.h"
#include "venuesim/venue.h"

namespace venuesim {

// One tick of a walk: where the phone is (floor index into Venue::floors,
// metres on that floor) at time seconds.
struct WalkPoint {
  double time = 0.0;
  int floor = 0;
  double x = 0.0;
  double y = 0.0;
};

// One received packet: the beacon key, the level in whole dBm and how many
// milliseconds before the tick time it arrived.
struct RadioReading {
  std::string key;
  double rssi = 0.0;
  int offsetMs = 0;
};

struct RadioTick {
  WalkPoint at;
  std::vector<RadioReading> readings;  // in beacon order, then arrival order
};

struct RadioWalkOptions {
  uint64_t seed = 1;
  double temporalSigma = 2.0;  // dB, noise of each packet around the mean level
  double missRate = 0.2;       // share of packets lost on the air
  double packetRateHz = 2.0;   // packets per second and beacon
  double sensitivity = -100.0; // dBm; weaker packets are not heard
  // The survey's values (noise, rate, sensitivity) of the venue's setup.
  static RadioWalkOptions FromSpec(const VenueSpec& setup, uint64_t seed);
};

// Readings for every point of the path, in order. The first tick covers the
// 100 ms before it; every later one the time since the previous tick (a tick
// whose time does not advance receives nothing). Deterministic for a seed.
std::vector<RadioTick> SimulateRadioWalk(const PropagationModel& model, const std::vector<WalkPoint>& path,
                                         const RadioWalkOptions& options);

// A path along the polyline of waypoints on one floor at a constant speed,
// one point every tickSeconds from startTime, ending at the last waypoint.
std::vector<WalkPoint> WalkAlong(int floor, const std::vector<Point>& waypoints, double speed,
                                 double tickSeconds, double startTime);

}  // namespace venuesim
