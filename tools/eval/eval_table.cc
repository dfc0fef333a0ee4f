#include "eval/eval_table.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>
#include <tuple>

#include "replay/replay_run.h"

namespace eval {
namespace {

double Mean(const std::vector<double>& v) {
  return v.empty() ? -1.0 : std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}

std::string Seconds(double s) {
  if (s < 0) return "-";
  char b[32];
  std::snprintf(b, sizeof b, "%.1f", s);
  return b;
}

std::string Csv(const std::string& s) {
  if (s.find_first_of(",\"") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

}  // namespace

void Row::add(const TrackFigures& f) {
  ++walks;
  errors.insert(errors.end(), f.errors.begin(), f.errors.end());
  earlierErrors.insert(earlierErrors.end(), f.earlierErrors.begin(), f.earlierErrors.end());
  evaluated += f.score.evaluated;
  onRightFloor += f.score.onRightFloor;
  turnLags.insert(turnLags.end(), f.turnLags.begin(), f.turnLags.end());
  floorLags.insert(floorLags.end(), f.floorLags.begin(), f.floorLags.end());
}

double Row::median() const { return replay::Quantile(errors, 0.5); }
double Row::p75() const { return replay::Quantile(errors, 0.75); }
double Row::earlierMedian() const { return replay::Quantile(earlierErrors, 0.5); }
double Row::rightFloorShare() const { return evaluated ? static_cast<double>(onRightFloor) / evaluated : 0.0; }
double Row::meanTurnLag() const { return Mean(turnLags); }
double Row::meanFloorLag() const { return Mean(floorLags); }

std::vector<Row> WithGroupTotals(const std::vector<Row>& rows) {
  std::vector<Row> out;
  size_t i = 0;
  while (i < rows.size()) {
    size_t j = i;
    while (j < rows.size() && rows[j].group == rows[i].group) ++j;
    std::map<std::pair<std::string, std::string>, Row> totals;
    std::vector<std::pair<std::string, std::string>> order;
    std::map<std::string, int> kinds;
    for (size_t k = i; k < j; ++k) {
      out.push_back(rows[k]);
      ++kinds[rows[k].kind];
      const auto key = std::make_pair(rows[k].method, rows[k].setting);
      auto [it, fresh] = totals.try_emplace(key);
      if (fresh) {
        order.push_back(key);
        it->second.group = rows[k].group;
        it->second.kind = rows[k].group.rfind("recording", 0) == 0 ? "all tracks" : "all kinds";
        it->second.method = rows[k].method;
        it->second.setting = rows[k].setting;
      }
      Row& t = it->second;
      t.walks += rows[k].walks;
      t.errors.insert(t.errors.end(), rows[k].errors.begin(), rows[k].errors.end());
      t.earlierErrors.insert(t.earlierErrors.end(), rows[k].earlierErrors.begin(), rows[k].earlierErrors.end());
      t.evaluated += rows[k].evaluated;
      t.onRightFloor += rows[k].onRightFloor;
      t.turnLags.insert(t.turnLags.end(), rows[k].turnLags.begin(), rows[k].turnLags.end());
      t.floorLags.insert(t.floorLags.end(), rows[k].floorLags.begin(), rows[k].floorLags.end());
    }
    if (kinds.size() > 1) {
      for (const auto& key : order) out.push_back(totals[key]);
    }
    i = j;
  }
  return out;
}

std::string FormatTable(const std::vector<Row>& rows) {
  std::string out;
  char line[512];
  std::snprintf(line, sizeof line, "%-26s %-42s %-9s %-7s %5s %7s %7s %7s %9s %9s %9s\n", "set", "venue kind / recording",
                "method", "setting", "walks", "median", "p75", "floor", "turn lag", "floor lag", "0.5 s ago");
  out += line;
  std::string lastGroup;
  for (const Row& r : rows) {
    if (!lastGroup.empty() && r.group != lastGroup) out += "\n";
    lastGroup = r.group;
    std::snprintf(line, sizeof line, "%-26s %-42s %-9s %-7s %5d %7.2f %7.2f %6.1f%% %9s %9s %9.2f\n", r.group.c_str(),
                  r.kind.c_str(), r.method.c_str(), r.setting.c_str(), r.walks, r.median(), r.p75(),
                  100.0 * r.rightFloorShare(), Seconds(r.meanTurnLag()).c_str(), Seconds(r.meanFloorLag()).c_str(),
                  r.earlierMedian());
    out += line;
  }
  out +=
      "median, p75: horizontal error in metres between the output and the truth at the same message time, pooled\n"
      "  over the row's walks. Generated venues: ticks from 8 s after the walk's start and 3 s after each change\n"
      "  of the true floor count (the walk stands still for its first 10 s). Recordings: every tick with a truth\n"
      "  row counts, as the replay command scores them; the reference 3-NN is scored at each window's end.\n"
      "floor: share of the counted ticks whose output is on the true floor (no output counts as wrong).\n"
      "turn lag: mean over the turns of the delay (0-10 s) that best aligns the output with the true path from 3 s\n"
      "  before to 6 s after the turn. A turn is where the direction over the next 1.5 m of the true path differs\n"
      "  from the previous 1.5 m by more than 45 degrees (turns within 3 s count once). floor lag: mean seconds\n"
      "  from a change of the true floor until the output is on it and stays there for 2 s. '-': no such event.\n"
      "0.5 s ago: median error of the same ticks against where the walker was 0.5 s before; below the median,\n"
      "  the output trails the walker.\n"
      "Settings: classic = the engine's original behaviour (parameters \"defaults=classic;\"),\n"
      "  kit = the kit's defaults. Tuning venues may be tuned on; held-out venues (other seeds) must not be.\n";
  return out;
}

std::string FormatCsv(const std::vector<Row>& rows) {
  std::string out = "set,kind,method,setting,walks,ticks,median_m,p75_m,right_floor,turn_lag_s,floor_lag_s\n";
  char line[256];
  for (const Row& r : rows) {
    std::snprintf(line, sizeof line, ",%d,%zu,%.3f,%.3f,%.4f,%.2f,%.2f\n", r.walks, r.errors.size(), r.median(),
                  r.p75(), r.rightFloorShare(), r.meanTurnLag(), r.meanFloorLag());
    out += Csv(r.group) + "," + Csv(r.kind) + "," + Csv(r.method) + "," + Csv(r.setting) + line;
  }
  return out;
}

std::string FormatDeadReckoningTable(const std::vector<DeadReckoningRow>& rows) {
  std::string out;
  char line[512];
  std::snprintf(line, sizeof line, "%-26s %-42s %-7s %5s %8s %9s %9s %9s %9s\n", "set", "what", "setting", "walks",
                "walked", "distance", "turn", "heading", "end");
  out += line;
  auto degrees = [](double d) { return d < 0 ? std::string("-") : std::to_string(std::lround(d)) + " deg"; };
  for (const DeadReckoningRow& r : rows) {
    const DeadReckoningFigures& f = r.figures;
    std::snprintf(line, sizeof line, "%-26s %-42s %-7s %5d %7.1fm %+8.1f%% %9s %9s %8.2fm\n", r.group.c_str(),
                  r.kind.c_str(), r.setting.c_str(), f.walks, f.meanWalked(), f.distanceErrorPercent(),
                  degrees(f.meanTurnError()).c_str(), degrees(f.meanHeadingError()).c_str(), f.meanEndError());
    out += line;
  }
  out +=
      "Dead reckoning: a walk on one floor of each venue with the radio off, positioned from its true start.\n"
      "walked: mean length of the true walk. distance: how much farther (+) or shorter (-) the output moved\n"
      "  than the walker, straight from start to end of each straight leg, summed over the legs (a leg's end\n"
      "  read when the walker sets off again, at most 1 s after it stopped). turn: mean error of the output\n"
      "  path's change of direction between successive legs of 2 m or more. heading: mean error of the\n"
      "  heading the output gives over each such leg after a turn (from 1 s into it) against the leg's\n"
      "  direction. end: mean distance between the output and the truth at the walk's last tick.\n";
  return out;
}

std::string FormatDeadReckoningCsv(const std::vector<DeadReckoningRow>& rows) {
  std::string out = "set,kind,setting,walks,walked_m,distance_error_percent,turn_error_deg,heading_error_deg,end_error_m\n";
  char line[256];
  for (const DeadReckoningRow& r : rows) {
    const DeadReckoningFigures& f = r.figures;
    std::snprintf(line, sizeof line, ",%d,%.2f,%.2f,%.2f,%.2f,%.3f\n", f.walks, f.meanWalked(),
                  f.distanceErrorPercent(), f.meanTurnError(), f.meanHeadingError(), f.meanEndError());
    out += Csv(r.group) + "," + Csv(r.kind) + "," + Csv(r.setting) + line;
  }
  return out;
}

}  // namespace eval
