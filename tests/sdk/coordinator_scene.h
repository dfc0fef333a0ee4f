// A coordinator over private managers in a fresh app home with the manual
// clock, and the generated venue installed in its Documents folder.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MainSDK/main_sdk.h"
#include "MCServerManager/mc_server_manager.h"
#include "platform/testing.h"
#include "sdk/sdk_scene.h"

namespace sdk_test {

// What reached the coordinator's delegate, and on which thread.
struct Heard {
  std::vector<MCZoneEvent> zones;
  std::vector<std::thread::id> threads;
  std::vector<std::string> placed;  // beacon uuid, or "error <code>"
};

// The positions of the successful ticks, as the heat-map step receives them.
class CapturingServer : public MCServerManager {
 public:
  void addMQMessage(WScanMessage m) override;
  std::vector<std::array<double, 3>> take();

 private:
  std::mutex mutex_;
  std::vector<std::array<double, 3>> positions_;
};

class CoordinatorScene {
 public:
  // `adjust` may replace managers before the coordinator is made.
  explicit CoordinatorScene(const std::function<void(MainSDKManagers&)>& adjust = {});
  ~CoordinatorScene();

  // Copies `archive` to Documents/<name>/map.mvz.
  void install(const std::string& name, const std::string& archive);
  // Replays `log` (copied into the location's folder) through the tick, one tick per
  // record, `started` run once the replay's client is made; the device information
  // after each tick.
  std::vector<std::shared_ptr<const MCDeviceInfo>> replay(const std::string& log,
                                                          const std::function<void()>& started = {});

  platform::testing::ScopedHome home;
  std::shared_ptr<MainSDK> sdk;
  std::shared_ptr<MainSDKDelegate> delegate = std::make_shared<MainSDKDelegate>();
  Heard heard;
  std::shared_ptr<CapturingServer> server = std::make_shared<CapturingServer>();
};

MainSDKManagers FreshManagers();

}  // namespace sdk_test
