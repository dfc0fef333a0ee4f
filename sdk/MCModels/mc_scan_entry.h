// Readings waiting in the beacon and sensor managers for the next tick: an
// engine record plus the wall-clock time it was taken, from which the tick
// computes how many milliseconds before its own time the reading lies. Not
// locked: the managers guard their queues.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "server/wscan.h"

// Milliseconds from `scan` to `tick`, the microsecond part truncated toward
// zero; saturated at the ends of the 64-bit range.
int64_t MCOffsetMilliseconds(const platform::WallTime& tick, const platform::WallTime& scan);

class MCScanEntry {
 public:
  // Stamps scanTime with the clock's wall time.
  static MCScanEntry initWithWScanEntry(const WScanEntry& entry);
  void calculateOffsetWithTime(const platform::WallTime& time);

  WScanEntry wscanEntry() const { return wscanEntry_; }
  void setWscanEntry(const WScanEntry& entry) { wscanEntry_ = entry; }
  platform::WallTime scanTime() const { return scanTime_; }
  void setScanTime(const platform::WallTime& time) { scanTime_ = time; }

 private:
  platform::WallTime scanTime_;
  WScanEntry wscanEntry_;
};

class MCSensorEntry {
 public:
  static MCSensorEntry initWithSensorEntry(const SensorEntry& entry);
  void calculateOffsetWithTime(const platform::WallTime& time);

  SensorEntry sensorEntry() const { return sensorEntry_; }
  void setSensorEntry(const SensorEntry& entry) { sensorEntry_ = entry; }
  platform::WallTime scanTime() const { return scanTime_; }
  void setScanTime(const platform::WallTime& time) { scanTime_ = time; }

 private:
  platform::WallTime scanTime_;
  SensorEntry sensorEntry_;
};
