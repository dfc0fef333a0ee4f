#include "eval/eval_run.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "cli/outputs.h"
#include "eval/cdf_png.h"
#include "eval/dead_reckoning.h"
#include "eval/simple_knn.h"
#include "eval/venue_walks.h"
#include "eval/walk_pictures.h"
#include "replay/replay_run.h"
#include "replay/truth_table.h"
#include "venuesim/venue_spec.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace eval {
namespace {

namespace fs = std::filesystem;

constexpr double kStartSettle = 8.0;
constexpr double kFloorSettle = 3.0;

// Runs task(i) for every i below count on up to `threads` threads, the
// costliest first (by `cost`, when given) so that no long task starts last.
void ParallelFor(size_t count, int threads, const std::function<void(size_t)>& task,
                 const std::function<double(size_t)>& cost = nullptr) {
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  if (cost) {
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return cost(a) > cost(b); });
  }
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t i = next++; i < count; i = next++) task(order[i]);
  };
  std::vector<std::thread> pool;
  const size_t n = std::min<size_t>(std::max(1, threads), count);
  for (size_t t = 1; t < n; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
}

// Counts finished tasks of a stage and tells the options' progress, one call at a time.
class StageCounter {
 public:
  StageCounter(const EvalOptions& options, std::string stage, size_t total)
      : options_(options), stage_(std::move(stage)), total_(total) {
    tell(0);
  }
  void finished() { tell(++done_); }

 private:
  void tell(size_t done) {
    if (!options_.progress) return;
    std::lock_guard lock(mutex_);
    options_.progress(stage_, done, total_);
  }
  const EvalOptions& options_;
  std::string stage_;
  size_t total_;
  std::atomic<size_t> done_{0};
  std::mutex mutex_;
};

std::vector<world::ScoredTick> ToScored(const replay::ReplayReport& r) {
  if (r.ticks.empty()) return {};
  return world::ScoredFromReplay(r, r.ticks.front().timeMs);
}

struct ReplayJob {
  size_t row = 0;
  double cost = 1;  // relative, for the order of the work
  replay::ReplayOptions options;
  bool knn = false;  // the reference 3-NN instead of the engine
  double startSettle = 0, floorSettle = 0;
  TrackFigures figures;
  std::vector<world::ScoredTick> ticks;
  std::string ticksPath;  // where the scored ticks are written, or empty
  // Dead reckoning from a known start instead of positioning.
  bool deadReckoning = false;
  std::vector<TrueLeg> legs;
  int64_t firstMs = 0;
  DeadReckoningFigures dr;
  std::string error;
};

// A kept work directory also gets every generated walk's ticks, for looking
// into where its errors come from. Empty, or why they could not be written.
std::string WriteTicks(const std::vector<world::ScoredTick>& ticks, const std::string& path) {
  std::string text = "seconds,has_position,floor,x,y,truth_floor,truth_x,truth_y\n";
  for (const world::ScoredTick& t : ticks) {
    cli::Appendf(text, "%.3f,%d,%d,%.3f,%.3f,%d,%.3f,%.3f\n", t.seconds, t.hasPosition ? 1 : 0, t.floorId, t.x, t.y,
                 t.truthFloorId, t.truthX, t.truthY);
  }
  const std::string why = cli::WriteWholeFile(path, text);
  return why.empty() ? "" : "cannot write " + path + ": " + why;
}

void RunReplayJob(ReplayJob* job) {
  if (job->deadReckoning) {
    replay::ReplayReport report;
    if (replay::RunReplay(job->options, &report, &job->error) != 0) return;
    job->dr = MeasureDeadReckoning(job->legs, report.ticks, job->firstMs);
    job->ticks = ToScored(report);
    return;
  }
  if (!job->knn) {
    replay::ReplayReport report;
    if (replay::RunReplay(job->options, &report, &job->error) != 0) return;
    job->ticks = ToScored(report);
    job->figures = ScoreTrack(job->ticks, job->startSettle, job->floorSettle);
    if (!job->ticksPath.empty()) job->error = WriteTicks(job->ticks, job->ticksPath);
    return;
  }
  SimpleKnnMap map;
  std::vector<TimedReading> readings;
  int64_t first = 0, last = 0;
  std::string text;
  replay::TruthTable truth;
  if (LoadSimpleKnnMap(job->options.mapPath, &map, &job->error) != 0 ||
      ReadLogReadings(job->options.logPath, &readings, &first, &last, &job->error) != 0) {
    return;
  }
  {
    FILE* f = std::fopen(job->options.truthPath.c_str(), "rb");
    if (!f) {
      job->error = "cannot read truth table " + job->options.truthPath;
      return;
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  if (replay::ParseTruthTable(text, &truth, &job->error) != 0) return;
  std::vector<world::ScoredTick> ticks;
  for (const KnnFix& fix : LocateWindows(map, readings, first, last, SimpleKnnOptions())) {
    const replay::TruthRow* row = truth.at(fix.timeMs);
    if (!row) continue;
    world::ScoredTick s;
    s.seconds = (fix.timeMs - first) / 1000.0;
    s.hasPosition = true;
    s.floorId = fix.floorId;
    s.x = fix.x;
    s.y = fix.y;
    s.truthFloorId = row->floorId;
    s.truthX = row->x;
    s.truthY = row->y;
    ticks.push_back(s);
  }
  job->figures = ScoreTrack(ticks, job->startSettle, job->floorSettle);
  job->ticks = std::move(ticks);
}

// The pictures of one walk: a map and the jobs whose outputs go on it.
struct PictureJob {
  std::string mapPath;
  std::string stem;
  std::string title;  // the venue or recording, the seed and the method
  std::vector<std::pair<size_t, std::string>> series;  // job, label
  std::vector<std::string> written;
  std::string error;
};

void SeriesColour(const std::string& label, WalkSeries* s) {
  if (label.find("classic") != std::string::npos) {
    s->r = 0.95, s->g = 0.55, s->b = 0.0;
    s->width = 2.5;
  } else if (label.find("kit") != std::string::npos) {
    s->r = 0.85, s->g = 0.1, s->b = 0.1;
  } else {
    s->r = 0.45, s->g = 0.45, s->b = 0.45;
  }
}

void DrawPictureJob(const std::vector<ReplayJob>& jobs, PictureJob* p) {
  NavigationMap map(EngineBehaviour::kit());
  if (map.setPathToNavArchive(p->mapPath.c_str()) != 0 || map.parseAllFiles(false) != 0) {
    p->error = "cannot load map archive " + p->mapPath;
    return;
  }
  std::vector<WalkSeries> series;
  for (const auto& [job, label] : p->series) {
    WalkSeries s;
    s.label = label;
    SeriesColour(label, &s);
    s.ticks = &jobs[job].ticks;
    series.push_back(s);
  }
  DrawWalkPlans(map, series, p->title, p->stem, &p->written, &p->error);
}

// "seeds 11, 12, 13" for each set of generated venues, for the plots' titles.
std::map<std::string, std::string> SetSeeds(const Plan& plan) {
  std::map<std::string, std::string> about;
  const std::pair<const char*, const std::vector<uint64_t>*> sets[] = {{"tuning venues", &plan.tuningSeeds},
                                                                        {"held-out venues", &plan.heldOutSeeds}};
  for (const auto& [group, seeds] : sets) {
    std::string text;
    for (uint64_t s : *seeds) text += (text.empty() ? "seed" + std::string(seeds->size() > 1 ? "s " : " ") : ", ") +
                                      std::to_string(s);
    about[group] = text;
  }
  return about;
}

}  // namespace

int RunEvaluation(const EvalOptions& options, EvalResult* result, std::string* error) {
  *result = EvalResult();
  const Plan& plan = options.plan;
  std::string workDir = options.workDir;
  bool temporary = false;
  if (workDir.empty()) {
    char pattern[] = "/tmp/marvisto-accuracy-eval.XXXXXX";
    if (!mkdtemp(pattern)) {
      *error = "cannot make a temporary directory";
      return 1;
    }
    workDir = pattern;
    temporary = true;
  }
  std::error_code ec;
  fs::create_directories(workDir, ec);
  if (ec) {
    *error = "cannot make " + workDir + ": " + ec.message();
    return 1;
  }

  // Generated venues and walks.
  std::vector<VenueJob> venues;
  const std::pair<const char*, const std::vector<uint64_t>*> sets[] = {{"tuning venues", &plan.tuningSeeds},
                                                                        {"held-out venues", &plan.heldOutSeeds}};
  for (const auto& [group, seeds] : sets) {
    for (size_t k = 0; k < plan.kinds.size(); ++k) {
      for (uint64_t seed : *seeds) {
        VenueJob j;
        j.group = group;
        j.kind = k;
        j.seed = seed;
        j.dir = workDir + "/kind" + std::to_string(k) + "-seed" + std::to_string(seed);
        venues.push_back(j);
      }
    }
  }
  for (size_t g = 0; g < plan.gaits.size(); ++g) {
    for (uint64_t seed : plan.gaits[g].heldOut ? plan.heldOutSeeds : plan.tuningSeeds) {
      VenueJob j;
      j.group = plan.gaits[g].heldOut ? "held-out gaits" : "tuning gaits";
      j.gait = static_cast<int>(g);
      j.seed = seed;
      j.dir = workDir + "/gait" + std::to_string(g) + "-seed" + std::to_string(seed);
      venues.push_back(j);
    }
  }
  // What a venue job walks: its kind, or the gait's kind under the gait's name.
  auto kindOf = [&](const VenueJob& v) -> const VenueKind& {
    return v.gait >= 0 ? plan.gaitKind : plan.kinds[v.kind];
  };
  auto kindName = [&](const VenueJob& v) {
    return v.gait >= 0 ? plan.gaits[static_cast<size_t>(v.gait)].name : plan.kinds[v.kind].name;
  };
  // The survey's work grows with the beacons and the reference points.
  auto beacons = [&](const VenueKind& k) {
    return k.floors * k.width * k.height / (k.beaconSpacing * k.beaconSpacing);
  };
  StageCounter venuesDone(options, "generating venues", venues.size());
  ParallelFor(
      venues.size(), options.threads,
      [&](size_t i) {
        GenerateVenueWalks(plan, &venues[i]);
        venuesDone.finished();
      },
      [&](size_t i) { return beacons(kindOf(venues[i])) * kindOf(venues[i]).width; });

  // A walk whose files could not be written fails the run: its rows would be missing.
  size_t failed = 0;
  for (const VenueJob& v : venues) {
    if (v.error.empty()) continue;
    if (failed++ == 0) *error = v.error;
  }
  if (failed > 0) {
    if (failed > 1) *error += " (and " + std::to_string(failed - 1) + " more walks failed)";
    if (temporary) fs::remove_all(workDir, ec);
    return 1;
  }

  std::vector<Row> rows;
  std::map<std::tuple<std::string, std::string, std::string, std::string>, size_t> rowIndex;
  auto rowFor = [&](const std::string& group, const std::string& kind, const std::string& method,
                    const std::string& setting) {
    const auto key = std::make_tuple(group, kind, method, setting);
    auto it = rowIndex.find(key);
    if (it != rowIndex.end()) return it->second;
    Row r;
    r.group = group;
    r.kind = kind;
    r.method = method;
    r.setting = setting;
    rows.push_back(r);
    rowIndex.emplace(key, rows.size() - 1);
    return rows.size() - 1;
  };

  std::vector<DeadReckoningRow> drRows;
  std::map<std::tuple<std::string, std::string, std::string>, size_t> drIndex;
  std::vector<ReplayJob> jobs;
  std::vector<PictureJob> pictures;
  for (const VenueJob& v : venues) {
    if (!v.note.empty()) result->notes.push_back(v.note);
    if (!v.ok) continue;
    PictureJob dead;
    dead.stem = options.pictureDir + "/walks/" + Slug(v.group) + "-" + Slug(kindName(v)) + "-seed" +
                std::to_string(v.seed) + "-dead-reckoning";
    const std::string venueTitle = v.group + ", " + kindName(v) + ", seed " + std::to_string(v.seed);
    dead.title = venueTitle + ", dead reckoning (radio off)";
    for (const Setting& s : plan.settings) {
      if (!v.drOk || plan.methods.empty()) break;
      dead.series.emplace_back(jobs.size(), "dead reckoning " + s.name);
      ReplayJob j;
      // The radio is off: the kinds differ only in their walks, which pool;
      // each walker of its own build has a row of its own.
      const std::string what = v.gait >= 0 ? kindName(v) : "every kind's layout, one floor";
      const auto key = std::make_tuple(v.group, v.gait >= 0 ? what : std::string(), s.name);
      auto [it, fresh] = drIndex.try_emplace(key, drRows.size());
      if (fresh) drRows.push_back({v.group, what, s.name, {}});
      j.row = it->second;
      j.deadReckoning = true;
      j.legs = v.drLegs;
      j.firstMs = v.drFirstMs;
      j.options.mapPath = v.dir + "/" + ArchiveStem(plan.methods.front()) + ".mvz";
      j.options.logPath = v.dir + "/level.log";
      j.options.truthPath = v.dir + "/level.truth.csv";
      j.options.parameters = s.parameters;
      j.options.progress = false;
      j.options.pdr = true;
      j.options.pdrFrom = v.drStart;
      dead.mapPath = j.options.mapPath;
      jobs.push_back(j);
    }
    if (!dead.series.empty()) pictures.push_back(dead);
    for (const Method& m : plan.methods) {
      PictureJob pj;
      pj.mapPath = v.dir + "/" + ArchiveStem(m) + ".mvz";
      pj.stem = options.pictureDir + "/walks/" + Slug(v.group) + "-" + Slug(kindName(v)) + "-seed" +
                std::to_string(v.seed) + "-" + Slug(m.name);
      pj.title = venueTitle + ", " + m.name;
      for (const Setting& s : plan.settings) {
        pj.series.emplace_back(jobs.size(), m.name + " " + s.name);
        ReplayJob j;
        j.row = rowFor(v.group, kindName(v), m.name, s.name);
        j.options.mapPath = v.dir + "/" + ArchiveStem(m) + ".mvz";
        j.options.logPath = v.dir + "/walk.log";
        j.options.truthPath = v.dir + "/walk.truth.csv";
        j.options.parameters = s.parameters;
        j.options.progress = false;
        j.startSettle = kStartSettle;
        j.floorSettle = kFloorSettle;
        // Gaussian processes evaluate every beacon at every particle.
        j.cost = beacons(kindOf(v)) * (m.code == venuesim::kMethodGp ? 10 : 1);
        if (!temporary) j.ticksPath = v.dir + "/ticks-" + Slug(m.name) + "-" + Slug(s.name) + ".csv";
        jobs.push_back(j);
      }
      pictures.push_back(pj);
    }
  }

  // The recordings, against the same date's survey and another date's.
  const std::pair<const char*, const char*> maps[] = {{"recording, same-date map", "map.mvz"},
                                                      {"recording, other-date map", "map_set2.mvz"}};
  struct GoalRows {
    std::string map, track;
    size_t kitRow = 0, knnRow = 0;
    size_t kitJob = SIZE_MAX, knnJob = SIZE_MAX;
  };
  std::vector<GoalRows> goalRows;
  const bool haveRecordings = !plan.recordingsDir.empty() && fs::exists(plan.recordingsDir + "/map.mvz");
  if (!plan.recordingsDir.empty() && !haveRecordings) {
    result->notes.push_back("no recordings at " + plan.recordingsDir);
  }
  for (const auto& [group, mapName] : maps) {
    if (!haveRecordings) break;
    const std::string mapPath = plan.recordingsDir + "/" + mapName;
    if (!fs::exists(mapPath)) {
      result->notes.push_back("no " + mapPath);
      continue;
    }
    for (const std::string& track : plan.tracks) {
      ReplayJob base;
      base.options.mapPath = mapPath;
      base.options.logPath = plan.recordingsDir + "/" + track + ".log";
      base.options.truthPath = plan.recordingsDir + "/" + track + ".truth.csv";
      base.options.progress = false;
      GoalRows goal{mapName, track};
      PictureJob pj;
      pj.mapPath = mapPath;
      pj.stem = options.pictureDir + "/walks/" + Slug(group) + "-" + Slug(track);
      pj.title = std::string(group) + " (" + mapName + "), " + track + ", engine and 3-NN";
      for (const Setting& s : plan.settings) {
        pj.series.emplace_back(jobs.size(), "engine " + s.name);
        ReplayJob j = base;
        j.row = rowFor(group, track, "engine", s.name);
        if (s.name == "kit") {
          goal.kitRow = j.row;
          goal.kitJob = jobs.size();
        }
        j.options.parameters = s.parameters;
        jobs.push_back(j);
      }
      ReplayJob j = base;
      j.knn = true;
      j.row = rowFor(group, track, "3-NN", "-");
      pj.series.emplace_back(jobs.size(), "3-NN");
      goal.knnRow = j.row;
      goal.knnJob = jobs.size();
      jobs.push_back(j);
      pictures.push_back(pj);
      goalRows.push_back(goal);
    }
  }

  StageCounter jobsDone(options, "positioning walks", jobs.size());
  ParallelFor(
      jobs.size(), options.threads,
      [&](size_t i) {
        RunReplayJob(&jobs[i]);
        jobsDone.finished();
      },
      [&](size_t i) { return jobs[i].cost; });
  for (const ReplayJob& j : jobs) {
    if (!j.error.empty()) {
      *error = j.options.logPath + " over " + j.options.mapPath + ": " + j.error;
      if (temporary) fs::remove_all(workDir, ec);
      return 1;
    }
    if (j.deadReckoning) {
      drRows[j.row].figures.add(j.dr);
    } else {
      rows[j.row].add(j.figures);
    }
  }
  result->deadReckoning = drRows;
  for (const GoalRows& r : goalRows) {
    GoalCheck g;
    g.map = r.map;
    g.track = r.track;
    g.kitP75 = rows[r.kitRow].p75();
    g.knnP75 = rows[r.knnRow].p75();
    for (int h = 0; h < 2; ++h) {
      if (r.kitJob < jobs.size()) g.halfKitP75[h] = HalfP75(jobs[r.kitJob].ticks, h);
      g.halfKnnP75[h] = HalfP75(jobs[r.knnJob].ticks, h);
    }
    result->goals.push_back(g);
  }
  result->rows = WithGroupTotals(rows);
  int rc = 0;
  if (!options.pictureDir.empty()) {
    fs::create_directories(options.pictureDir + "/walks", ec);
    if (ec) {
      *error = "cannot make " + options.pictureDir + "/walks: " + ec.message();
      rc = 1;
    } else if (DrawSetCdfs(result->rows, SetSeeds(plan), options.pictureDir, &result->pictures, error) != 0) {
      rc = 1;
    } else {
      StageCounter picturesDone(options, "drawing pictures", pictures.size());
      ParallelFor(pictures.size(), options.threads, [&](size_t i) {
        DrawPictureJob(jobs, &pictures[i]);
        picturesDone.finished();
      });
      for (const PictureJob& p : pictures) {
        result->pictures.insert(result->pictures.end(), p.written.begin(), p.written.end());
        if (!p.error.empty() && rc == 0) {
          *error = p.error;
          rc = 1;
        }
      }
    }
  }
  if (temporary) fs::remove_all(workDir, ec);
  return rc;
}

double HalfP75(const std::vector<world::ScoredTick>& ticks, int half) {
  if (ticks.empty()) return 0;
  const double mid = 0.5 * (ticks.front().seconds + ticks.back().seconds);
  std::vector<world::ScoredTick> part;
  for (const world::ScoredTick& t : ticks) {
    if ((t.seconds < mid) == (half == 0)) part.push_back(t);
  }
  return world::ScoreTicks(part, 0).p75;
}

std::string FormatGoals(const std::vector<GoalCheck>& goals) {
  std::string out;
  char line[320];
  for (const GoalCheck& g : goals) {
    std::snprintf(line, sizeof line,
                  "%-30s %-13s kit p75 %5.2f m, 3-NN %5.2f m: %+4.0f%% below (goal 25%%): %-7s halves %+4.0f%% / %+4.0f%%\n",
                  g.track.c_str(), g.map.c_str(), g.kitP75, g.knnP75, 100.0 * g.below(), g.met() ? "met" : "not met",
                  100.0 * g.halfBelow(0), 100.0 * g.halfBelow(1));
    out += line;
  }
  return out;
}

}  // namespace eval
