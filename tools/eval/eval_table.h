// The evaluation table: one row per venue kind or recording, method and
// setting, with the walks of the row pooled; its text and CSV forms.
#pragma once

#include <string>
#include <vector>

#include "eval/dead_reckoning.h"
#include "eval/track_metrics.h"

namespace eval {

struct Row {
  std::string group;    // "tuning venues", "held-out venues", "recording, same-date map", ...
  std::string kind;     // venue kind or track name
  std::string method;   // "kNN", "histogram", "GP", "3-NN"
  std::string setting;  // "classic", "kit", "-" for the reference method
  int walks = 0;
  // Pooled over the walks.
  std::vector<double> errors;
  std::vector<double> earlierErrors;  // against the truth kEarlierSeconds before
  int evaluated = 0;
  int onRightFloor = 0;
  std::vector<double> turnLags, floorLags;

  void add(const TrackFigures& f);
  double median() const;
  double p75() const;
  double earlierMedian() const;
  double rightFloorShare() const;  // 0..1; 0 without scored ticks
  // Mean seconds; negative when the walks had no such event.
  double meanTurnLag() const;
  double meanFloorLag() const;
};

// Dead reckoning of one venue kind and setting, pooled over its walks.
struct DeadReckoningRow {
  std::string group, kind, setting;
  DeadReckoningFigures figures;
};

// Rows that pool every kind of a group for each method and setting, named
// "all kinds" ("all tracks" for recordings), appended after the group's rows.
std::vector<Row> WithGroupTotals(const std::vector<Row>& rows);

// The table with its column heads and, under it, what its figures mean.
std::string FormatTable(const std::vector<Row>& rows);
std::string FormatCsv(const std::vector<Row>& rows);
std::string FormatDeadReckoningTable(const std::vector<DeadReckoningRow>& rows);
std::string FormatDeadReckoningCsv(const std::vector<DeadReckoningRow>& rows);

}  // namespace eval
