#include "replay/replay_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>

#include "cli/outputs.h"
#include "cli/progress.h"
#include "replay/log_records.h"
#include "replay/track_png.h"
#include "replay/truth_table.h"
#include "server/wscan.h"
#include "wifipos/navigation_processing/navigation_processing.h"

namespace replay {
namespace {

constexpr double kWrongFloorPenalty = 15.0;  // metres per wrong floor

// Empty, or the system's reason the file could not be read.
std::string ReadFile(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return cli::Reason(errno);
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  // Reading a folder opens fine and fails here with EISDIR.
  const int readError = std::ferror(f) ? errno : 0;
  std::fclose(f);
  return readError ? cli::Reason(readError) : "";
}

struct ClientHolder {
  ClientNavigationState* client = nullptr;
  ~ClientHolder() { DeleteNavigationClient(client); }
};

void Summarise(ReplayReport* r) {
  std::vector<double> errors, stepMs;
  int rightFloor = 0;
  for (const ReplayTick& t : r->ticks) {
    stepMs.push_back(t.stepMs);
    if (!t.hasTruth) continue;
    ++r->evaluated;
    if (t.floorId < 0) continue;
    ++r->withPosition;
    errors.push_back(t.error);
    if (t.floorId == t.truthFloorId) ++rightFloor;
  }
  r->rightFloorShare = r->evaluated ? static_cast<double>(rightFloor) / r->evaluated : 0.0;
  r->medianError = Quantile(errors, 0.5);
  r->p75Error = Quantile(errors, 0.75);
  r->p95Error = Quantile(errors, 0.95);
  r->score = r->p75Error + kWrongFloorPenalty * (1.0 - r->rightFloorShare);
  double sum = 0;
  for (double s : stepMs) sum += s;
  r->meanStepMs = stepMs.empty() ? 0.0 : sum / stepMs.size();
  r->p99StepMs = Quantile(stepMs, 0.99);
}

// Empty, or the system's reason the table could not be written.
std::string WriteTicksCsv(const ReplayReport& r, const std::string& path) {
  std::string text = "time,rc,floor_id,x,y,truth_floor_id,truth_x,truth_y,error,step_ms\n";
  for (const ReplayTick& t : r.ticks) {
    cli::Appendf(text, "%.3f,%d,%d,%.3f,%.3f,", t.timeMs / 1000.0, t.rc, t.floorId, t.x, t.y);
    if (t.hasTruth) {
      cli::Appendf(text, "%d,%.3f,%.3f,%.3f,%.3f\n", t.truthFloorId, t.truthX, t.truthY, t.error, t.stepMs);
    } else {
      cli::Appendf(text, ",,,,%.3f\n", t.stepMs);
    }
  }
  return cli::WriteWholeFile(path, text);
}

}  // namespace

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const double pos = std::clamp(q, 0.0, 1.0) * (values.size() - 1);
  const size_t lo = static_cast<size_t>(std::floor(pos));
  const size_t hi = std::min(values.size() - 1, lo + 1);
  return values[lo] + (pos - lo) * (values[hi] - values[lo]);
}

int RunReplay(const ReplayOptions& options, ReplayReport* report, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  *report = ReplayReport();
  std::string logText;
  if (const std::string why = ReadFile(options.logPath, &logText); !why.empty()) {
    *error = "cannot read log " + options.logPath + ": " + why;
    return 1;
  }
  TruthTable truth;
  if (!options.truthPath.empty()) {
    std::string text;
    if (const std::string why = ReadFile(options.truthPath, &text); !why.empty()) {
      *error = "cannot read truth table " + options.truthPath + ": " + why;
      return 1;
    }
    if (ParseTruthTable(text, &truth, error) != 0) return 1;
    report->truthBadLines = truth.badLines;
  }
  // The engine says only that it could not load the map; a file that cannot
  // be opened at all has a reason the user can act on.
  if (const std::string why = cli::FileReadable(options.mapPath); !why.empty()) {
    *error = "cannot read map archive " + options.mapPath + ": " + why;
    return 1;
  }
  ClientHolder holder;
  holder.client = CreateNavigationClient(options.mapPath.c_str(), options.deviceId.c_str(), "", false,
                                         options.parameters.empty() ? nullptr : options.parameters.c_str());
  if (!holder.client) {
    *error = "cannot load map archive " + options.mapPath + ": not a map archive the engine can use";
    return 1;
  }
  // A target on a floor the map lacks would give no route, silently.
  std::set<int> floors;
  for (const SublocationMap& f : holder.client->navigationMap.getSublocationsVector()) floors.insert(f.getId());
  for (const LocationPoint& t : options.targets) {
    if (floors.count(t.subLoc)) continue;
    std::string known;
    for (int id : floors) known += (known.empty() ? "" : ", ") + std::to_string(id);
    *error = "--target on floor " + std::to_string(t.subLoc) + ": the map " + options.mapPath +
             " has no such floor (its floors: " + known + ")";
    return 1;
  }
  for (const LocationPoint& t : options.targets) AddTarget(t, holder.client);
  if (options.pdr) {
    NavigateEnablePdr(holder.client, options.pdrFrom.subLoc, options.pdrFrom.x, options.pdrFrom.y);
  }

  const LogRecords split = SplitLogRecords(logText);
  report->records = static_cast<int>(split.records.size());
  report->emptyRecords = split.empty;
  const size_t total = split.records.size();
  cli::Progress progress("replay", options.progress);
  int lastPercent = -1;
  for (size_t i = 0; i < total; ++i) {
    bool ok = false;
    WScanMessage m = WScanMessage::parse(std::string(split.records[i]), &ok);
    if (!ok || !m.isValid()) {
      ++report->badRecords;
      continue;
    }
    ReplayTick tick;
    tick.timeMs = m.tmUnixTime * 1000 + m.tmMillisecond;
    std::string stepError;
    const auto t0 = std::chrono::steady_clock::now();
    tick.rc = Navigate(&m, holder.client, &stepError);
    const auto t1 = std::chrono::steady_clock::now();
    tick.stepMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
    if (tick.rc == 0 && m.outSubLocation >= 0 && std::isfinite(m.outX) && std::isfinite(m.outY)) {
      tick.floorId = m.outSubLocation;
      tick.x = m.outX;
      tick.y = m.outY;
      tick.azimuth = m.outOrientation[0];
    }
    report->steps = std::max(report->steps, m.outStepCounter);
    // The routes from where the walk was first placed: by the walk's end a
    // walker at the target has a route of no length.
    if (report->routes.empty() && !m.outPaths.empty()) {
      bool any = false;
      for (const RoutePath& p : m.outPaths) any = any || !p.points.empty();
      if (any) report->routes = m.outPaths;
    }
    if (const TruthRow* row = truth.at(tick.timeMs)) {
      tick.hasTruth = true;
      tick.truthFloorId = row->floorId;
      tick.truthX = row->x;
      tick.truthY = row->y;
      if (tick.floorId >= 0) tick.error = std::hypot(tick.x - row->x, tick.y - row->y);
    }
    report->ticks.push_back(tick);
    const int percent = static_cast<int>((i + 1) * 100 / total);
    if (percent != lastPercent) {
      progress.show(std::to_string(percent) + "% (" + std::to_string(i + 1) + " of " + std::to_string(total) +
                        " records)",
                    i + 1 == total);
      lastPercent = percent;
    }
  }
  progress.clear();
  Summarise(report);
  if (report->ticks.empty()) {
    *error = "nothing replayed: the log holds no readable message (" +
             std::to_string(report->records) + " records, " +
             std::to_string(report->badRecords) + " unparsable)";
    return 1;
  }
  if (!options.ticksCsv.empty()) {
    if (const std::string why = WriteTicksCsv(*report, options.ticksCsv); !why.empty()) {
      *error = "cannot write " + options.ticksCsv + ": " + why;
      return 1;
    }
  }
  if (!options.pngDir.empty()) {
    if (DrawFloorPictures(holder.client->navigationMap, *report, options.pngDir, &report->pictures, error) != 0) {
      return 1;
    }
  }
  return 0;
}

std::string FormatReplayReport(const ReplayReport& r) {
  std::string out;
  char buf[256];
  auto line = [&](const char* label, const char* fmt, auto... v) {
    std::snprintf(buf, sizeof buf, fmt, v...);
    out += std::string(label) + std::string(std::max<size_t>(2, 30 - std::string(label).size()), ' ') + buf + "\n";
  };
  line("records", "%d (%d empty, %d unparsable, skipped)", r.records, r.emptyRecords, r.badRecords);
  line("ticks positioned", "%zu", r.ticks.size());
  line("ticks with truth", "%d (%d with a position)", r.evaluated, r.withPosition);
  if (r.truthBadLines) line("truth lines skipped", "%d", r.truthBadLines);
  if (r.evaluated == 0) {
    out += "No tick had a truth row at its time: nothing was scored.\n";
    line("steps counted", "%d", r.steps);
    line("time per tick", "%.3f ms mean, %.3f ms p99", r.meanStepMs, r.p99StepMs);
    return out;
  }
  line("right floor", "%.1f %%", 100.0 * r.rightFloorShare);
  line("error median", "%.2f m", r.medianError);
  line("error p75", "%.2f m", r.p75Error);
  line("error p95", "%.2f m", r.p95Error);
  line("score", "%.2f m", r.score);
  line("steps counted", "%d", r.steps);
  line("time per tick", "%.3f ms mean, %.3f ms p99", r.meanStepMs, r.p99StepMs);
  out +=
      "Errors are horizontal distances between the output position and the truth at the same message time,\n"
      "over the ticks with a truth row and a position. Right floor counts a tick without a position as wrong.\n"
      "Score = p75 error + 15 m x (1 - right-floor share).\n";
  return out;
}

}  // namespace replay
