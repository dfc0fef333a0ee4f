#include "replay/truth_table.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace replay {
namespace {

// Splits off the next line (without its end) and advances `text`.
std::string_view NextLine(std::string_view& text) {
  const size_t nl = text.find('\n');
  std::string_view line = text.substr(0, nl);
  text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> out;
  size_t from = 0;
  while (true) {
    const size_t c = line.find(',', from);
    out.push_back(line.substr(from, c == std::string_view::npos ? std::string_view::npos : c - from));
    if (c == std::string_view::npos) break;
    from = c + 1;
  }
  return out;
}

// The whole field as a finite number.
bool ReadNumber(std::string_view field, double* value) {
  while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  if (field.empty() || field.size() > 64) return false;
  const std::string copy(field);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || errno == ERANGE || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

}  // namespace

const TruthRow* TruthTable::at(int64_t timeMs, int64_t toleranceMs) const {
  auto it = std::lower_bound(rows.begin(), rows.end(), timeMs,
                             [](const TruthRow& r, int64_t t) { return r.timeMs < t; });
  const TruthRow* best = nullptr;
  int64_t bestGap = toleranceMs + 1;
  if (it != rows.end() && it->timeMs - timeMs < bestGap) {
    best = &*it;
    bestGap = it->timeMs - timeMs;
  }
  if (it != rows.begin() && timeMs - std::prev(it)->timeMs < bestGap) best = &*std::prev(it);
  return best;
}

int ParseTruthTable(std::string_view text, TruthTable* table, std::string* error) {
  *table = TruthTable();
  const std::string_view header = NextLine(text);
  const std::vector<std::string_view> names = SplitFields(header);
  if (names.size() < 4 || names[0] != "time" || names[1] != "floor_id" || names[2] != "x" || names[3] != "y") {
    if (error) *error = "truth table: header does not start with time,floor_id,x,y";
    return 1;
  }
  while (!text.empty()) {
    const std::string_view line = NextLine(text);
    if (line.empty()) continue;
    const std::vector<std::string_view> f = SplitFields(line);
    double t = 0, fl = 0, x = 0, y = 0;
    // Times beyond the year 5000 or floor ids beyond int are not a walk.
    if (f.size() < 4 || !ReadNumber(f[0], &t) || !ReadNumber(f[1], &fl) || !ReadNumber(f[2], &x) ||
        !ReadNumber(f[3], &y) || t < 0 || t > 1e11 || std::fabs(fl) > 1e9 || fl != std::floor(fl)) {
      ++table->badLines;
      continue;
    }
    TruthRow r;
    r.timeMs = std::llround(t * 1000.0);
    r.floorId = static_cast<int>(fl);
    r.x = x;
    r.y = y;
    table->rows.push_back(r);
  }
  std::stable_sort(table->rows.begin(), table->rows.end(),
                   [](const TruthRow& a, const TruthRow& b) { return a.timeMs < b.timeMs; });
  return 0;
}

}  // namespace replay
