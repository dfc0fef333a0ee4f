#include "live/live_run.h"

#include "MCModels/mc_location.h"
#include "platform/clock.h"

namespace world {
namespace {


std::shared_ptr<MCLocation> LocationOf(const venuesim::Venue& venue) {
  auto loc = std::make_shared<MCLocation>();
  loc->id = 1;
  int64_t id = 0;
  for (const auto& f : venue.floors) {
    auto floor = std::make_shared<MCSublocation>();
    floor->id = f.id;
    floor->location = 1;
    floor->width = float(venue.setup.width);
    floor->height = float(venue.setup.height);
    for (const auto& b : f.beacons) {
      auto beacon = std::make_shared<MCBeacon>();
      beacon->id = ++id;
      beacon->location = 1;
      beacon->sublocation = f.id;
      beacon->major = b.major;
      beacon->minor = b.minor;
      beacon->uuid = b.uuid;
      beacon->name = ShortName(b);
      floor->beacons->push_back(beacon);
    }
    loc->sublocations.push_back(floor);
  }
  return loc;
}

}  // namespace

std::unique_ptr<LiveRun> LiveRun::create(std::shared_ptr<World> world, const std::string& mapPath,
                                         bool fastScan, bool keepMessages, std::string* error) {
  auto run = std::make_unique<LiveRun>();
  run->engine_ = std::make_unique<MNavigationEngine>();
  std::optional<platform::Error> err;
  run->engine_->createNavigationClient(mapPath, "world", "SimPhone1,1", &err);
  if (err) {
    if (error) *error = err->localizedDescription;
    return nullptr;
  }
  run->world_ = std::move(world);
  run->keep_ = keepMessages;
  run->sensors_ = MCSensorManager::init();
  run->beacons_ = MCBeaconManager::init();
  run->beacons_->setLocation(LocationOf(run->world_->venue()));
  run->beacons_->setUuids({run->world_->venue().uuid});
  run->beacons_->setFastScanEnabled(fastScan);
  return run;
}

LiveRun::~LiveRun() { stop(); }

void LiveRun::start() {
  // The user grants location use and the radio is on.
  if (platform::LocationManager::authorizationStatus() == platform::kAuthorizationStatusNotDetermined)
    platform::location::setAuthorizationStatus(platform::kAuthorizationStatusAuthorizedAlways);
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOn);
  sensors_->configureSensors();
  sensors_->startSensorsUpdate();
  // The central reports its power state on its own queue; the scan starts
  // once it knows the radio is on, before the first advertisement.
  platform::dispatch::sync(beacons_->centralManager()->queue(), [] {});
  beacons_->startBeaconManager();
  world_->setTickHook([this](const platform::WallTime&) { tick(); });
  world_->start();
}

void LiveRun::stop() {
  if (world_) {
    world_->stop();
    world_->setTickHook(nullptr);
  }
  if (sensors_) sensors_->stopSensorsUpdate();
  if (beacons_) beacons_->stopBeaconManager();
}

void LiveRun::tick() {
  // What the world sent at this instant reaches the managers first: the
  // motion handlers on their queues, ranging on the main run loop.
  for (const auto& q : {sensors_->accelerometerQueue(), sensors_->gyroscopeQueue(),
                        sensors_->magnetometerQueue(), beacons_->centralManager()->queue(),
                        platform::dispatch::mainQueue()})
    if (q) platform::dispatch::sync(q, [] {});
  const platform::WallTime t = platform::Clock::now();
  WScanMessage m;
  m.deviceId = "world";
  m.deviceModel = "SimPhone1,1";
  m.deviceType = 3;
  m.packetNumber = int(packet_);
  beacons_->fillWscanMessage(m, t);
  sensors_->fillWscanMessage(m, t);
  ++packet_;
  const platform::CalendarFields f = platform::Clock::utcFields(t.seconds);
  m.tmYear = f.year;
  m.tmMonth = f.month;
  m.tmDay = f.day;
  m.tmHour = f.hour;
  m.tmMinute = f.minute;
  m.tmSecond = f.second;
  m.tmMillisecond = t.microseconds / 1000;
  m.tmUnixTime = int32_t(t.seconds);
  LiveTick lt;
  lt.radio = m.entries.size();
  lt.sensors = m.sensorEntries.size();
  std::optional<platform::Error> err;
  lt.rc = engine_->navigate(m, &err);
  auto truth = world_->truthAt(t);
  if (!truth) return;
  lt.scored.seconds = truth->time.toSeconds() - world_->firstTickTime().toSeconds();
  lt.scored.hasPosition = lt.rc == 0 && m.outSubLocation >= 0;
  lt.scored.floorId = m.outSubLocation;
  lt.scored.x = m.outX;
  lt.scored.y = m.outY;
  lt.scored.truthFloorId = truth->floorId;
  lt.scored.truthX = truth->x;
  lt.scored.truthY = truth->y;
  if (keep_) lt.message = std::move(m);
  std::lock_guard lock(mutex_);
  ticks_.push_back(std::move(lt));
}

std::vector<LiveTick> LiveRun::ticks() const {
  std::lock_guard lock(mutex_);
  return ticks_;
}

}  // namespace world
