// A live run through the SDK's sensing half: the world's events reach the
// platform stand-ins, the sensor and beacon managers queue them, and a
// tick of this run's own (standing in for the coordinator's 100 ms tick, at
// the walk's tick times) fills a measurement message from both managers at
// one clock time, positions it through MNavigationEngine and scores it
// against the world's truth. Readings due at the tick's own instant are
// always in it, so a run equals the replay of the world's log bit for bit.
//
// Make and drive it on the main thread: under the manual clock a test plays
// it with `platform::testing::advance`; in real time the host runs the main
// run loop. The tick runs on the world's queue; `ticks()` is safe from any
// thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MCBeaconManager/mc_beacon_manager.h"
#include "Navigation/m_navigation_engine.h"
#include "Sensors/mc_sensor_manager.h"
#include "platform/dispatch.h"
#include "world/score.h"
#include "world/world.h"

namespace world {

struct LiveTick {
  ScoredTick scored;
  int rc = 0;
  size_t radio = 0, sensors = 0;  // entries the managers gave the message
  WScanMessage message;           // as positioned (when kept)
};

class LiveRun {
 public:
  // Loads `mapPath` into a new navigation client; the managers are private
  // instances (their location model holds the venue's beacons). Null with a
  // message when the archive does not load.
  static std::unique_ptr<LiveRun> create(std::shared_ptr<World> world, const std::string& mapPath,
                                         bool fastScan, bool keepMessages, std::string* error);
  ~LiveRun();

  // Starts the managers, the world and the tick (aligned to the walk's ticks).
  void start();
  void stop();
  std::vector<LiveTick> ticks() const;

  MCSensorManager& sensors() { return *sensors_; }
  MCBeaconManager& beacons() { return *beacons_; }

  LiveRun() = default;

 private:
  void tick();

  std::shared_ptr<World> world_;
  std::shared_ptr<MCSensorManager> sensors_;
  std::shared_ptr<MCBeaconManager> beacons_;
  std::unique_ptr<MNavigationEngine> engine_;
  bool keep_ = false;
  int64_t packet_ = 0;  // tick thread only
  mutable std::mutex mutex_;
  std::vector<LiveTick> ticks_;
};

}  // namespace world
