// The error distribution as a picture: one cumulative curve per method and
// setting over a shared error axis, with a legend beside the plot.
#pragma once

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

// The x axis runs from 0 to the largest curve's 95th percentile, rounded up
// to whole metres (3 to 20). 0, or 1 with a message when the file cannot be
// written.
int WriteCdfPng(const std::string& title, const std::vector<CdfCurve>& curves, const std::string& path,
                std::string* error);

// cdf-<set>.png for each set (group) of the rows: the pooled rows' curves
// when the set has several kinds, else its one kind's; dashed: classic.
// Appends the file names. 0, or 1 with a message.
int DrawSetCdfs(const std::vector<Row>& rows, const std::string& dir, std::vector<std::string>* written,
                std::string* error);

}  // namespace eval
