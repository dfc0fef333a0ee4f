// Replay of a measurement log through a navigation client over a map
// archive: every message is positioned in turn, compared with the ground
// truth when there is one, and summed up in an accuracy table; optionally a
// picture per floor with the true path, the estimated path and the routes.
// Shared by the replay and marvisto-demo commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/route_path.h"

namespace replay {

struct ReplayOptions {
  std::string mapPath;
  std::string logPath;
  std::string truthPath;  // empty: no accuracy figures
  std::string pngDir;     // empty: no pictures
  std::string ticksCsv;   // empty: no per-tick table
  std::vector<LocationPoint> targets;  // route targets (floor id, x, y)
  bool progress = true;   // a progress line on stderr while it is a terminal
  std::string deviceId = "replay";
  // The navigation client's parameters ("key=value;" pairs), e.g.
  // "defaults=classic;" for the engine's original behaviour.
  std::string parameters;
  // Dead reckoning from this known point before the first message.
  bool pdr = false;
  LocationPoint pdrFrom;
};

// One positioned message.
struct ReplayTick {
  int64_t timeMs = 0;
  int rc = 0;              // result of the positioning step
  int floorId = -1;        // output floor, -1 without a position
  double x = 0.0, y = 0.0;
  double azimuth = 0.0;    // output heading as the step gives it
  bool hasTruth = false;
  int truthFloorId = 0;
  double truthX = 0.0, truthY = 0.0;
  double error = 0.0;      // horizontal distance to the truth, metres
  double stepMs = 0.0;     // time the step took
};

struct ReplayReport {
  int records = 0;        // message records found in the log
  int emptyRecords = 0;   // declarations without a message
  int badRecords = 0;     // records that did not parse
  int truthBadLines = 0;
  std::vector<ReplayTick> ticks;  // one per parsed message
  // Accuracy, over the ticks with a truth row at their time.
  int evaluated = 0;
  int withPosition = 0;   // of those, ticks where the step gave a position
  double rightFloorShare = 0.0;  // right floor / evaluated (no position counts as wrong)
  double medianError = 0.0, p75Error = 0.0, p95Error = 0.0;  // over evaluated ticks with a position
  double score = 0.0;     // p75Error + 15 m * (1 - rightFloorShare)
  int steps = 0;          // step counter of the last message
  double meanStepMs = 0.0, p99StepMs = 0.0;
  std::vector<RoutePath> routes;  // routes of the first message that had any
  std::vector<std::string> pictures;
};

// 0, or 1 with a message when the map cannot be loaded, a file cannot be
// read, the log holds no readable message, the truth table is unusable or a
// picture cannot be written.
int RunReplay(const ReplayOptions& options, ReplayReport* report, std::string* error);

// The accuracy table with the definitions of its figures.
std::string FormatReplayReport(const ReplayReport& report);

// The q-quantile (0..1) of the values, linearly interpolated; 0 when empty.
double Quantile(std::vector<double> values, double q);

}  // namespace replay
