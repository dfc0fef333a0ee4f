// The ground truth of a recorded or simulated walk: a CSV table with the
// header "time,floor_id,x,y" (further columns such as packet and heading are
// allowed and ignored), one row per message time in seconds since 1970.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace replay {

struct TruthRow {
  int64_t timeMs = 0;
  int floorId = 0;
  double x = 0.0;
  double y = 0.0;
};

struct TruthTable {
  std::vector<TruthRow> rows;  // by ascending time
  int badLines = 0;            // rows that did not read as numbers and were skipped

  // The row closest in time to timeMs, when one lies within toleranceMs.
  const TruthRow* at(int64_t timeMs, int64_t toleranceMs = 60) const;
};

// 0, or 1 with a message when the header is missing or names other columns
// (then nothing is read).
int ParseTruthTable(std::string_view text, TruthTable* table, std::string* error);

}  // namespace replay
