// A live run of the whole SDK on the simulated world's walk: the world's
// venue is installed as a location's map archive, the coordinator loads it
// (its location model, built from the archive, serves the fast scan), and
// the coordinator's own 100 ms tick positions what the world's events leave
// in the sensor and beacon managers. The tick's grid is the walk's: the
// coordinator and the world start at one clock instant. Every successful
// tick's position is scored against the world's truth; the coordinator may
// record its messages as a measurement log, which then equals the world's
// log of the same walk message by message.
//
// Make and drive it on the main thread: under the manual clock a test plays
// it with `platform::testing::advance`; in real time the host runs the main
// run loop. `ticks()` is safe from any thread.
#pragma once

#include <array>
#include <map>
#include <tuple>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MainSDK/main_sdk.h"
#include "world/score.h"
#include "world/world.h"

namespace world {

struct LiveSetup {
  std::string name = "world";  // the location's folder: Documents/<name>/map.mvz
  bool fastScan = true;
  bool record = false;  // the coordinator records its messages while it runs
};

class LiveRun : public std::enable_shared_from_this<LiveRun> {
 public:
  // Installs the world's venue in the app home's Documents folder and loads
  // it through a new coordinator over `managers` (its server manager is
  // replaced by the run's own, which takes the successful ticks). Null with
  // a message when the archive cannot be written or loaded.
  static std::shared_ptr<LiveRun> create(std::shared_ptr<World> world, const LiveSetup& setup,
                                         MainSDKManagers managers, std::string* error);
  ~LiveRun();

  // Grants location use, powers the radio on, then starts the coordinator
  // (and its recording) and the world at the same clock instant.
  void start();
  // Stops the world and the coordinator and closes the recording.
  void stop();

  // The walk's ticks so far, each scored with the position of the
  // coordinator's tick at its time (none when that tick failed), oldest first.
  std::vector<ScoredTick> ticks() const;
  // Floor, x and y of every successful tick since the start, oldest first.
  std::vector<std::array<double, 3>> positions() const;
  // The coordinator's recording ("" when not recording or not started).
  std::string recordedLog() const { return recorded_; }
  MainSDK& sdk() { return *sdk_; }

  LiveRun() = default;

 private:
  void took(const WScanMessage& m);

  std::shared_ptr<World> world_;
  std::shared_ptr<MainSDK> sdk_;
  LiveSetup setup_;
  std::string recorded_;
  bool started_ = false;
  mutable std::mutex mutex_;
  std::map<int64_t, std::tuple<int, double, double>> taken_;  // tick ms -> floor, x, y
  std::vector<std::array<double, 3>> positions_;
};

}  // namespace world
