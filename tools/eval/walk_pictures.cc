#include "eval/walk_pictures.h"

#include <cctype>
#include <set>

#include "replay/track_png.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace eval {

int DrawWalkPlans(const NavigationMap& map, const std::vector<WalkSeries>& series, const std::string& title,
                  const std::string& stem, std::vector<std::string>* written, std::string* error) {
  if (series.empty() || !series.front().ticks || series.front().ticks->empty()) return 0;
  const std::vector<world::ScoredTick>& truthTicks = *series.front().ticks;
  std::set<int> visited;
  for (const world::ScoredTick& t : truthTicks) visited.insert(t.truthFloorId);
  for (const SublocationMap& floor : map.getSublocationsVector()) {
    if (!visited.count(floor.getId())) continue;
    replay::FloorPlan plan;
    plan.title = replay::FloorTitle(floor.getId(), floor.getName());
    if (!title.empty()) plan.title = title + ": " + plan.title;
    plan.widthMeters = floor.getProperties().width_meters;
    plan.heightMeters = floor.getProperties().height_meters;
    plan.floorPng = &floor.getImages().getPngData();
    replay::PlanPath truth{"true path", 0.0, 0.6, 0.1, 1.5, {}};
    for (const world::ScoredTick& t : truthTicks) {
      replay::AddPathSample(truth, t.truthFloorId == floor.getId(), t.truthX, t.truthY);
    }
    plan.paths.push_back(std::move(truth));
    for (const WalkSeries& s : series) {
      replay::PlanPath p{s.label, s.r, s.g, s.b, s.width, {}};
      for (const world::ScoredTick& t : *s.ticks) {
        replay::AddPathSample(p, t.hasPosition && t.floorId == floor.getId(), t.x, t.y);
      }
      plan.paths.push_back(std::move(p));
    }
    if (truthTicks.front().truthFloorId == floor.getId()) {
      plan.hasStart = true;
      plan.startX = truthTicks.front().truthX;
      plan.startY = truthTicks.front().truthY;
    }
    const std::string file = stem + "-floor" + std::to_string(floor.getId()) + ".png";
    if (replay::WriteFloorPlanPng(plan, file, error) != 0) return 1;
    written->push_back(file);
  }
  return 0;
}

std::string Slug(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c)) {
      out += static_cast<char>(std::tolower(c));
    } else if (!out.empty() && out.back() != '-') {
      out += '-';
    }
  }
  while (!out.empty() && out.back() == '-') out.pop_back();
  return out;
}

}  // namespace eval
