#include "world/world.h"

#include <cmath>

#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"

namespace world {
namespace {

constexpr int64_t kLeadMs = 1000;  // the clock's present lies this long before the first event

int64_t WallUs(const platform::WallTime& t) { return t.seconds * 1000000 + t.microseconds; }

platform::WallTime FromUs(int64_t us) {
  platform::WallTime t;
  t.seconds = us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000);
  t.microseconds = int32_t(us - t.seconds * 1000000);
  return t;
}

}  // namespace

World::World(const WorldSetup& setup, std::unique_ptr<venuesim::Venue> venue)
    : setup_(setup), venue_(std::move(venue)), model_(*venue_),
      queue_(platform::dispatch::serialQueue("com.marvisto.world")) {}

std::shared_ptr<World> World::create(const WorldSetup& setup, std::string* error) {
  if (!(setup.speed > 0) || !std::isfinite(setup.speed)) {
    if (error) *error = "speed must be a positive number";
    return nullptr;
  }
  auto venue = std::make_unique<venuesim::Venue>();
  std::string why;
  if (venuesim::GenerateVenue(setup.venue, venue.get(), &why) != venuesim::kOk) {
    if (error) *error = "venue: " + why;
    return nullptr;
  }
  auto w = std::make_shared<World>(setup, std::move(venue));
  if (venuesim::GenerateWalk(*w->venue_, w->model_, setup.walk, &w->walk_, &why) != venuesim::kOk) {
    if (error) *error = "walk: " + why;
    return nullptr;
  }
  w->events_ = PhoneEvents(*w->venue_, w->walk_, setup.phone);
  w->originMs_ = (w->walk_.ticks.empty() ? setup.walk.startMs : w->walk_.ticks.front().timeMs) - kLeadMs;
  if (!w->events_.empty()) w->originMs_ = std::min(w->originMs_, w->events_.front().ms);
  return w;
}

double World::durationSeconds() const {
  return walk_.ticks.empty() ? 0 : double(walk_.ticks.back().timeMs - walk_.ticks.front().timeMs) / 1000;
}

platform::WallTime World::wallFor(int64_t walkMs) const {
  const double us = double(walkMs - originMs_) * 1000.0 / setup_.speed;
  return FromUs(originWallUs_ + std::llround(us));
}

platform::WallTime World::firstTickTime() const {
  std::lock_guard lock(mutex_);
  return wallFor(walk_.ticks.empty() ? originMs_ : walk_.ticks.front().timeMs);
}

int World::writeVenue(const std::string& mapPath, std::string* error) const {
  return venuesim::WriteVenueArchive(*venue_, mapPath, error);
}

int World::writeLog(const std::string& logPath, const std::string& truthPath,
                    std::string* error) const {
  venuesim::Walk heard = HeardWalk(walk_, events_);
  {
    std::lock_guard lock(mutex_);
    // Message times on the run's clock, so the log and a live run line up.
    if (started_ && setup_.speed == 1.0) {
      const int64_t shift = originWallUs_ / 1000 - originMs_;
      for (auto& t : heard.ticks) {
        t.timeMs += shift;
        t.truth.time += double(shift) / 1000;
      }
    }
  }
  return venuesim::WriteWalkFiles(heard, logPath, truthPath, error);
}

void World::start() {
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = started_ = true;
    next_ = nextTick_ = 0;
    generation = ++generation_;
    originWallUs_ = WallUs(platform::Clock::now());
  }
  std::weak_ptr<World> weak = weak_from_this();
  queue_->async([weak, generation] {
    if (auto self = weak.lock()) self->pump(generation);
  });
}

void World::stop() {
  std::lock_guard lock(mutex_);
  running_ = false;
}

bool World::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

bool World::finished() const {
  std::lock_guard lock(mutex_);
  return started_ && next_ >= events_.size() && (!hook_ || nextTick_ >= walk_.ticks.size());
}

void World::setTickHook(TickHook hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

size_t World::delivered() const {
  std::lock_guard lock(mutex_);
  return next_;
}

void World::pump(uint64_t generation) {
  std::vector<const PhoneEvent*> due;
  std::optional<platform::WallTime> tick;
  TickHook hook;
  double wait = -1;
  {
    std::lock_guard lock(mutex_);
    if (!running_ || generation != generation_) return;
    const int64_t now = WallUs(platform::Clock::now());
    while (next_ < events_.size() && WallUs(wallFor(events_[next_].ms)) <= now)
      due.push_back(&events_[next_++]);
    // A tick follows the events of its own instant.
    if (nextTick_ < walk_.ticks.size() && WallUs(wallFor(walk_.ticks[nextTick_].timeMs)) <= now &&
        (next_ >= events_.size() || events_[next_].ms > walk_.ticks[nextTick_].timeMs)) {
      tick = wallFor(walk_.ticks[nextTick_++].timeMs);
      hook = hook_;
    }
    int64_t nextUs = INT64_MAX;
    if (next_ < events_.size()) nextUs = WallUs(wallFor(events_[next_].ms));
    if (hook_ && nextTick_ < walk_.ticks.size())
      nextUs = std::min(nextUs, WallUs(wallFor(walk_.ticks[nextTick_].timeMs)));
    if (nextUs != INT64_MAX) wait = std::max<double>(0, double(nextUs - now) / 1e6);
    else running_ = false;
  }
  for (const PhoneEvent* e : due) emit(*e);
  if (tick && hook) hook(*tick);
  if (wait < 0) return;
  std::weak_ptr<World> weak = weak_from_this();
  queue_->after(wait, [weak, generation] {
    if (auto self = weak.lock()) self->pump(generation);
  });
}

void World::emit(const PhoneEvent& e) const {
  const double t = double(e.ms) / 1000;
  switch (e.kind) {
    case PhoneEvent::kRangingBatch:
      platform::location::rangeBeacons(e.beacons);
      break;
    case PhoneEvent::kAdvertisement:
      platform::bluetooth::advertise(e.peripheral, e.advertisement, e.rssi);
      break;
    case PhoneEvent::kAccelerometer:
      platform::motion::feed(platform::AccelerometerData{t, {e.v[0], e.v[1], e.v[2]}});
      break;
    case PhoneEvent::kGyroscope:
      platform::motion::feed(platform::GyroData{t, {e.v[0], e.v[1], e.v[2]}});
      break;
    case PhoneEvent::kDeviceMotion: {
      platform::DeviceMotion m;
      m.timestamp = t;
      m.magneticField.field = {e.v[0], e.v[1], e.v[2]};
      m.magneticField.accuracy = int32_t(e.rssi);
      platform::motion::feed(m);
      break;
    }
    case PhoneEvent::kFix:
      platform::location::updateLocation(e.fix, false);
      break;
  }
}

std::optional<Truth> World::truthAt(const platform::WallTime& time) const {
  std::lock_guard lock(mutex_);
  if (!started_ || walk_.ticks.empty()) return std::nullopt;
  const int64_t us = WallUs(time);
  // The latest tick whose clock time is not after `time`.
  size_t lo = 0, hi = walk_.ticks.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (WallUs(wallFor(walk_.ticks[mid].timeMs)) <= us) lo = mid + 1;
    else hi = mid;
  }
  if (lo == 0) return std::nullopt;
  const auto& tick = walk_.ticks[lo - 1];
  return Truth{wallFor(tick.timeMs), tick.truth.floorId, tick.truth.x, tick.truth.y, tick.truth.heading};
}

}  // namespace world
