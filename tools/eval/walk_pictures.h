// Pictures of one walk for the evaluation: per floor the walk visits, its
// floor plan with the true path and the outputs of each method or setting
// (the replay's floor plan drawing).
#pragma once

#include <string>
#include <vector>

#include "world/score.h"

class NavigationMap;

namespace eval {

struct WalkSeries {
  std::string label;
  double r = 0, g = 0, b = 0;
  double width = 1.0;  // a wider line stays visible under a later one on the same track
  const std::vector<world::ScoredTick>* ticks = nullptr;  // with the walk's truth
};

// Writes <stem>-floor<id>.png for each floor of the map the truth of the
// first series visits, titled "<title>: floor <id> ...", and appends the file
// names. 0, or 1 with a message.
int DrawWalkPlans(const NavigationMap& map, const std::vector<WalkSeries>& series, const std::string& title,
                  const std::string& stem, std::vector<std::string>* written, std::string* error);

// "Held-out venues, 2 floors" -> "held-out-venues-2-floors": for file names.
std::string Slug(const std::string& text);

}  // namespace eval
