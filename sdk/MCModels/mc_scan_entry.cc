#include "MCModels/mc_scan_entry.h"

#include <limits>

int64_t MCOffsetMilliseconds(const platform::WallTime& tick, const platform::WallTime& scan) {
  // Wide arithmetic: a host may set any time, and signed overflow is undefined.
  const __int128 ms = (static_cast<__int128>(tick.seconds) - scan.seconds) * 1000 +
                      (static_cast<int64_t>(tick.microseconds) - scan.microseconds) / 1000;
  constexpr int64_t lo = std::numeric_limits<int64_t>::min();
  constexpr int64_t hi = std::numeric_limits<int64_t>::max();
  return ms < lo ? lo : ms > hi ? hi : static_cast<int64_t>(ms);
}

MCScanEntry MCScanEntry::initWithWScanEntry(const WScanEntry& entry) {
  MCScanEntry e;
  e.wscanEntry_ = entry;
  e.scanTime_ = platform::Clock::now();
  return e;
}

void MCScanEntry::calculateOffsetWithTime(const platform::WallTime& time) {
  wscanEntry_.offset = MCOffsetMilliseconds(time, scanTime_);
}

MCSensorEntry MCSensorEntry::initWithSensorEntry(const SensorEntry& entry) {
  MCSensorEntry e;
  e.sensorEntry_ = entry;
  e.scanTime_ = platform::Clock::now();
  return e;
}

void MCSensorEntry::calculateOffsetWithTime(const platform::WallTime& time) {
  sensorEntry_.offset = MCOffsetMilliseconds(time, scanTime_);
}
