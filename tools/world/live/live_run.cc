#include "live/live_run.h"

#include <filesystem>

#include "MCBeaconManager/mc_beacon_manager.h"
#include "MCPushManager/mc_push_manager.h"
#include "MCServerManager/mc_server_manager.h"
#include "platform/bluetooth_central.h"
#include "platform/clock.h"
#include "platform/location_manager.h"
#include "platform/paths.h"

namespace world {
namespace {

// The heat-map step's copy of each successful tick, handed to the run.
class TickTaker : public MCServerManager {
 public:
  explicit TickTaker(std::weak_ptr<LiveRun> run, void (LiveRun::*took)(const WScanMessage&))
      : run_(std::move(run)), took_(took) {}
  void addMQMessage(WScanMessage m) override {
    if (auto run = run_.lock()) ((*run).*took_)(m);
  }

 private:
  std::weak_ptr<LiveRun> run_;
  void (LiveRun::*took_)(const WScanMessage&);
};

}  // namespace

std::shared_ptr<LiveRun> LiveRun::create(std::shared_ptr<World> world, const LiveSetup& setup,
                                         MainSDKManagers managers, std::string* error) {
  auto run = std::make_shared<LiveRun>();
  run->world_ = std::move(world);
  run->setup_ = setup;
  const std::filesystem::path dir = platform::Paths::documents() / setup.name;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (run->world_->writeVenue((dir / "map.mvz").string(), error) != 0) return nullptr;
  managers.serverManager = std::make_shared<TickTaker>(run, &LiveRun::took);
  // Zone visits go where the server does: nothing leaves the machine.
  managers.pushManager->setZoneVisitURL("http://127.0.0.1:1/zones/visit");
  run->sdk_ = MainSDK::initWithUserHash("world", "http://127.0.0.1:1", managers);
  std::optional<platform::Error> err;
  run->sdk_->loadArchive(setup.name, &err);
  if (err) {
    if (error) *error = err->localizedDescription;
    return nullptr;
  }
  run->sdk_->fastScanEnabled(setup.fastScan);
  return run;
}

LiveRun::~LiveRun() { stop(); }

void LiveRun::start() {
  // The user grants location use and the radio is on.
  if (platform::LocationManager::authorizationStatus() == platform::kAuthorizationStatusNotDetermined)
    platform::location::setAuthorizationStatus(platform::kAuthorizationStatusAuthorizedAlways);
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOn);
  // The central reports its power state on its own queue; the scan starts
  // once it knows the radio is on, before the first advertisement.
  auto& beacons = *sdk_->managers().beaconManager;
  platform::dispatch::sync(beacons.centralManager()->queue(), [] {});
  if (setup_.record) recorded_ = sdk_->startSaveLogToFile();
  sdk_->startMarvisto();
  world_->start();
  started_ = true;
}

void LiveRun::stop() {
  if (!started_) return;
  started_ = false;
  world_->stop();
  sdk_->stopMarvisto();
  if (setup_.record) sdk_->stopSaveLogToFile();
}

namespace {

int64_t Ms(const platform::WallTime& t) { return t.seconds * 1000 + t.microseconds / 1000; }

}  // namespace

void LiveRun::took(const WScanMessage& m) {
  std::lock_guard lock(mutex_);
  positions_.push_back({double(m.outSubLocation), m.outX, m.outY});
  taken_[m.tmUnixTime * 1000 + m.tmMillisecond] = {m.outSubLocation, m.outX, m.outY};
}

std::vector<ScoredTick> LiveRun::ticks() const {
  // One entry per walk tick whose time has come: the position of the
  // coordinator's tick at that time, or none when that tick failed.
  std::vector<ScoredTick> out;
  const auto& walk = world_->walk().ticks;
  if (walk.empty()) return out;
  const int64_t first = Ms(world_->firstTickTime()), now = Ms(platform::Clock::now());
  std::lock_guard lock(mutex_);
  for (const auto& t : walk) {
    const int64_t ms = first + (t.timeMs - walk.front().timeMs);
    if (ms > now) break;
    ScoredTick s;
    s.seconds = double(ms - first) / 1000;
    s.truthFloorId = t.truth.floorId;
    s.truthX = t.truth.x;
    s.truthY = t.truth.y;
    if (auto it = taken_.find(ms); it != taken_.end()) {
      s.floorId = std::get<0>(it->second);
      s.hasPosition = s.floorId >= 0;
      s.x = std::get<1>(it->second);
      s.y = std::get<2>(it->second);
    }
    out.push_back(s);
  }
  return out;
}

}  // namespace world

namespace world {

std::vector<std::array<double, 3>> LiveRun::positions() const {
  std::lock_guard lock(mutex_);
  return positions_;
}

}  // namespace world
