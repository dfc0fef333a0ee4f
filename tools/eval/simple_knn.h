// The simple reference method of the recordings: three nearest surveyed
// points on mean RSSI per beacon (a beacon not heard counts as -100 dBm),
// over 1.5 s windows every 0.5 s, position the plain mean of the three.
#pragma once

#include <string>
#include <vector>

#include "world/score.h"

namespace eval {

struct SimpleKnnOptions {
  double windowSeconds = 1.5;
  double stepSeconds = 0.5;
  int neighbours = 3;
  double missingDbm = -100.0;
};

// One surveyed point: its floor, place and mean level per beacon of the map.
struct SurveyedPoint {
  int floorId = 0;
  double x = 0, y = 0;
  std::vector<double> levels;  // by beacon, in the order of SimpleKnnMap::keys
};

struct SimpleKnnMap {
  std::vector<std::string> keys;  // every beacon the survey heard
  std::vector<SurveyedPoint> points;
};

// Reads the survey of a map archive. 0, or 1 with a message.
int LoadSimpleKnnMap(const std::string& mapPath, SimpleKnnMap* map, std::string* error);

// One beacon reading at its own time (milliseconds since 1970).
struct TimedReading {
  int64_t timeMs = 0;
  std::string key;
  double rssi = 0;
};

// Positions of every window; each is stamped with the window's end, the first
// window ending windowSeconds after the first reading's message. `seconds` of
// the result counts from firstMs.
struct KnnFix {
  int64_t timeMs = 0;
  int floorId = 0;
  double x = 0, y = 0;
};
std::vector<KnnFix> LocateWindows(const SimpleKnnMap& map, const std::vector<TimedReading>& readings,
                                  int64_t firstMs, int64_t lastMs, const SimpleKnnOptions& options);

// The beacon readings of a measurement log, each at its message time less its
// offset, and the first and last message times. 0, or 1 with a message.
int ReadLogReadings(const std::string& logPath, std::vector<TimedReading>* readings, int64_t* firstMs,
                    int64_t* lastMs, std::string* error);

}  // namespace eval
