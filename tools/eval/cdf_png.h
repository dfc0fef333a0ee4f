// The error distribution as a picture: one cumulative curve per method and
// setting over an error axis shared by the plots meant to be compared, with a
// legend beside the plot.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "eval/eval_table.h"

namespace eval {

struct CdfCurve {
  std::string label;
  double r = 0, g = 0, b = 0;
  bool dashed = false;
  std::vector<double> errors;  // metres, any order
};

// Where an error axis for these curves ends: far enough for the 95th
// percentile of every solid curve and the 75th of every dashed one (the
// engine's original behaviour, whose long tails would otherwise squeeze the
// others into a corner), rounded up to a whole metre (2 m at least; to 2 or 5
// m beyond 10 and 20 m).
double CdfAxisEnd(const std::vector<CdfCurve>& curves);

// The share (0..1) of the errors beyond `axisEnd`.
double ShareBeyond(const std::vector<double>& errors, double axisEnd);

// Draws the curves over 0..axisEnd; a curve that goes on past the axis ends in
// a triangle at the right edge and its legend line gives the share cut off.
// 0, or 1 with a message when the file cannot be written.
int WriteCdfPng(const std::string& title, const std::vector<CdfCurve>& curves, double axisEnd,
                const std::string& path, std::string* error);

struct CdfPlot {
  std::string group;  // the set
  std::string title;
  std::vector<CdfCurve> curves;
  double axisEnd = 0;
};

// One plot per set (group) of the rows: the pooled rows' curves when the set
// has several kinds, else its one kind's; dashed: classic. `about` adds a
// set's venues or seeds to its title. The generated venues' sets share one
// axis, the recordings' another.
std::vector<CdfPlot> SetCdfPlots(const std::vector<Row>& rows, const std::map<std::string, std::string>& about);

// cdf-<set>.png for each of SetCdfPlots' plots into dir; appends the file
// names. 0, or 1 with a message.
int DrawSetCdfs(const std::vector<Row>& rows, const std::map<std::string, std::string>& about, const std::string& dir,
                std::vector<std::string>* written, std::string* error);

}  // namespace eval
