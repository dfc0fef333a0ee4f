#include "eval/simple_knn.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "replay/log_records.h"
#include "server/wscan.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace eval {

int LoadSimpleKnnMap(const std::string& mapPath, SimpleKnnMap* out, std::string* error) {
  *out = SimpleKnnMap();
  NavigationMap nav(EngineBehaviour::kit());
  if (nav.setPathToNavArchive(mapPath.c_str()) != 0 || nav.parseAllFiles(false) != 0) {
    *error = "cannot load map archive " + mapPath;
    return 1;
  }
  std::map<std::string, size_t> index;
  for (const SublocationMap& floor : nav.getSublocationsVector()) {
    for (const auto& [key, ap] : floor.getRadioMap()) index.emplace(key, 0);
  }
  for (auto& [key, i] : index) {
    i = out->keys.size();
    out->keys.push_back(key);
  }
  for (const SublocationMap& floor : nav.getSublocationsVector()) {
    const size_t base = out->points.size();
    for (const ReferencePoint& rp : floor.getReferencePoints()) {
      SurveyedPoint p;
      p.floorId = floor.getId();
      p.x = rp.getX();
      p.y = rp.getY();
      p.levels.assign(out->keys.size(), -100.0);
      out->points.push_back(std::move(p));
    }
    for (const auto& [key, ap] : floor.getRadioMap()) {
      const size_t rp = base + static_cast<size_t>(ap.getRefPointIndex());
      if (ap.getRefPointIndex() < 0 || rp >= out->points.size()) continue;
      out->points[rp].levels[index[key]] = ap.getRssi();
    }
  }
  if (out->points.empty() || out->keys.empty()) {
    *error = "map archive " + mapPath + " has no surveyed beacon levels";
    return 1;
  }
  return 0;
}

std::vector<KnnFix> LocateWindows(const SimpleKnnMap& map, const std::vector<TimedReading>& readings,
                                  int64_t firstMs, int64_t lastMs, const SimpleKnnOptions& o) {
  std::vector<KnnFix> fixes;
  if (map.points.empty() || o.neighbours <= 0 || !(o.stepSeconds > 0) || !(o.windowSeconds > 0)) return fixes;
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < map.keys.size(); ++i) index.emplace(map.keys[i], i);
  std::vector<TimedReading> sorted = readings;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const TimedReading& a, const TimedReading& b) { return a.timeMs < b.timeMs; });
  const int64_t windowMs = std::llround(o.windowSeconds * 1000), stepMs = std::llround(o.stepSeconds * 1000);
  const size_t k = std::min<size_t>(o.neighbours, map.points.size());
  size_t from = 0;
  for (int64_t end = firstMs + windowMs; end <= lastMs; end += stepMs) {
    while (from < sorted.size() && sorted[from].timeMs <= end - windowMs) ++from;
    std::vector<double> sum(map.keys.size(), 0.0);
    std::vector<int> count(map.keys.size(), 0);
    for (size_t i = from; i < sorted.size() && sorted[i].timeMs <= end; ++i) {
      auto it = index.find(sorted[i].key);
      if (it == index.end()) continue;
      sum[it->second] += sorted[i].rssi;
      ++count[it->second];
    }
    std::vector<double> mean(map.keys.size());
    for (size_t b = 0; b < mean.size(); ++b) mean[b] = count[b] ? sum[b] / count[b] : o.missingDbm;
    std::vector<std::pair<double, size_t>> d;
    for (size_t p = 0; p < map.points.size(); ++p) {
      double s = 0;
      for (size_t b = 0; b < mean.size(); ++b) {
        const double v = map.points[p].levels[b] - mean[b];
        s += v * v;
      }
      d.emplace_back(s, p);
    }
    std::partial_sort(d.begin(), d.begin() + k, d.end());
    KnnFix fix;
    fix.timeMs = end;
    std::map<int, int> floorVotes;
    for (size_t i = 0; i < k; ++i) {
      const SurveyedPoint& p = map.points[d[i].second];
      fix.x += p.x / k;
      fix.y += p.y / k;
      ++floorVotes[p.floorId];
    }
    fix.floorId = std::max_element(floorVotes.begin(), floorVotes.end(),
                                   [](const auto& a, const auto& b) { return a.second < b.second; })->first;
    fixes.push_back(fix);
  }
  return fixes;
}

int ReadLogReadings(const std::string& logPath, std::vector<TimedReading>* readings, int64_t* firstMs,
                    int64_t* lastMs, std::string* error) {
  readings->clear();
  std::ifstream in(logPath, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  if (!in) {
    *error = "cannot read log " + logPath;
    return 1;
  }
  const std::string text = ss.str();
  const replay::LogRecords split = replay::SplitLogRecords(text);
  bool any = false;
  for (std::string_view record : split.records) {
    bool ok = false;
    const WScanMessage m = WScanMessage::parse(std::string(record), &ok);
    if (!ok || !m.isValid()) continue;
    const int64_t t = m.tmUnixTime * 1000 + m.tmMillisecond;
    if (!any) *firstMs = *lastMs = t;
    any = true;
    *firstMs = std::min(*firstMs, t);
    *lastMs = std::max(*lastMs, t);
    for (const WScanEntry& e : m.entries) {
      if (e.type == 0) continue;
      readings->push_back({t - e.offset, e.bssid, e.rssi});
    }
  }
  if (!any) {
    *error = "log " + logPath + " holds no readable message";
    return 1;
  }
  return 0;
}

}  // namespace eval
