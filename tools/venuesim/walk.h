// A whole simulated walk through a generated venue: a person stands still for
// a while, leaves a room through its door, follows the corridor with its
// turns, changes floor by a flight of stairs or a lift, walks on to a room of
// the other floor and stands again. The result is one measurement message per
// tick (beacon readings and motion-sensor samples) and the ground truth
// beside it, both as plain records and in their file forms: the measurement
// log (the XML text form of the measurement message, one record per tick) and
// the truth table "time,floor_id,x,y,packet,heading". Deterministic for a seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "venuesim/propagation.h"
#include "venuesim/radio_walk.h"
#include "venuesim/venue.h"

namespace venuesim {

enum FloorChange { kByStairs = 0, kByLift = 1 };

struct WalkSpec {
  uint64_t seed = 1;
  double standSeconds = 10.0;   // standing still at the start
  double endStandSeconds = 3.0; // standing still at the end
  double speed = 1.2;           // m/s on the level
  double stairSpeed = 0.5;      // m/s along a flight of stairs
  double stairLength = 6.0;     // metres of floor plan a flight covers
  double liftSeconds = 15.0;    // standing in the lift
  double turnRate = 2.0;        // rad/s when turning on the spot at a corner
  int floorChange = kByStairs;
  int startFloor = 0;           // index into Venue::floors
  int endFloor = 1;             // index; equal to startFloor: no floor change
  double tickSeconds = 0.1;
  int64_t startMs = 1767268800000;  // time of the first message: 2026-01-01 12:00:00 UTC
  std::string deviceId = "00000000-0000-4000-8000-00000000CAFE";
  std::string deviceModel = "SimPhone1,1";
  bool sensors = true;          // motion-sensor samples in the messages
  double sensorRateHz = 50.0;
  // How the phone is held and who walks (the gait's defaults: top edge
  // forward and raised 0.5 rad, the typical adult, a calibrated gyroscope).
  double phonePitch = 0.5;      // rad
  double phoneRoll = 0.0;       // rad
  double cadenceScale = 1.0;    // steps per second against the typical adult
  double legLength = 0.9;       // m
  double gyroBias = 0.001;      // rad/s, spread of the constant per-axis bias
  // A walker of another build: steps of this length on the level (the
  // cadence follows from the speed; 0: the typical adult's), a vertical step
  // acceleration of this amplitude (m/s2; 0: from the body's rise) and a
  // phone swaying this many times as much as in a steady grip.
  double stepLength = 0.0;
  double swing = 0.0;
  double phoneSway = 1.0;
};

// One stretch of the walk with a single kind of motion. A walking stretch
// goes straight from `from` to `to` at a constant speed; standing and
// turning keep the place (turning changes the heading from headingFrom to
// headingTo). The floor is `floor` for the first half and `floorAfter` for
// the second (they differ only on the stairs and in the lift).
struct WalkStretch {
  enum Kind { kStand = 0, kWalk = 1, kTurn = 2 };
  int kind = kStand;
  double start = 0.0;      // seconds from the first tick
  double duration = 0.0;
  int floor = 0;
  int floorAfter = 0;
  Point from;
  Point to;
  double headingFrom = 0.0;
  double headingTo = 0.0;
  bool stairs = false;
};

// Where the person is at one tick.
struct TruthSample {
  double time = 0.0;   // seconds since 1970, UTC
  int floor = 0;       // index into Venue::floors
  int floorId = 0;     // the floor's id (sublocation id)
  double x = 0.0, y = 0.0;
  double heading = 0.0;  // radians, 0 along +y, pi/2 along +x, in [-pi, pi)
  int packet = 0;
};

// One motion-sensor sample as the measurement message carries it.
struct SensorSample {
  int type = 0;        // 101 accelerometer, 102 magnetometer, 103 gyroscope
  int64_t offsetMs = 0; // before the message time
  double values[4] = {0.0, 0.0, 0.0, 0.0};
};

struct WalkTick {
  TruthSample truth;
  int64_t timeMs = 0;  // message time, milliseconds since 1970
  std::vector<RadioReading> readings;
  std::vector<SensorSample> sensors;
};

struct Walk {
  WalkSpec setup;
  std::vector<WalkStretch> stretches;
  std::vector<WalkTick> ticks;
  std::vector<Point> waypoints[2];  // route on the start floor and on the end floor
  Point stairsFrom, stairsTo;        // where the floor change starts and ends
  int trueSteps = 0;                 // steps taken, from the walking stretches
};

// Plans the route and simulates it. 0, or kBadSpec with a message (floor
// index out of range, no usable room or floor-change point, a planned stretch
// that leaves the walkable area, or unusable speeds, times, phone attitude or
// walker).
int GenerateWalk(const Venue& venue, const PropagationModel& model, const WalkSpec& setup, Walk* walk,
                 std::string* error);

// The XML text form of one tick's measurement message.
std::string WalkMessageText(const Walk& walk, size_t tick);
// All messages, one record after the other.
std::string WalkLogText(const Walk& walk);
// Header line and one line per tick.
std::string WalkTruthCsv(const Walk& walk);
// Writes both files. 0, or kWriteError with a message.
int WriteWalkFiles(const Walk& walk, const std::string& logPath, const std::string& truthPath,
                   std::string* error);

// Wraps an angle into [-pi, pi).
double WrapHeading(double a);

}  // namespace venuesim
