#include "world/world.h"

#include <cmath>
#include <set>

#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"

namespace world {
namespace {

constexpr int64_t kLeadMs = 100;  // the clock's present lies this long before the first tick
constexpr int64_t kTickMs = 100;
// Under the manual clock an event goes out this long after its time: later
// than anything due at that instant, within the same microsecond.
constexpr int64_t kAfterNs = 1;

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
      queue_(platform::simulator::serialQueue("com.marvisto.world")) {}

std::shared_ptr<World> World::create(const WorldSetup& setup, std::string* error) {
  auto venue = std::make_unique<venuesim::Venue>();
  std::string why;
  if (venuesim::GenerateVenue(setup.venue, venue.get(), &why) != venuesim::kOk) {
    if (error) *error = "venue: " + why;
    return nullptr;
  }
  // Each beacon is named with what it advertises; the names must tell them apart.
  std::set<std::string> names;
  for (auto& f : venue->floors)
    for (auto& b : f.beacons) {
      b.name = ShortName(b);
      if (!names.insert(b.name).second) {
        if (error) *error = "venue: two beacons would advertise the name " + b.name;
        return nullptr;
      }
    }
  auto w = std::make_shared<World>(setup, std::move(venue));
  if (venuesim::GenerateWalk(*w->venue_, w->model_, setup.walk, &w->walk_, &why) != venuesim::kOk) {
    if (error) *error = "walk: " + why;
    return nullptr;
  }
  w->events_ = PhoneEvents(*w->venue_, w->walk_, setup.phone);
  // The origin lies on the ticks' grid, before every event.
  w->originMs_ = (w->walk_.ticks.empty() ? setup.walk.startMs : w->walk_.ticks.front().timeMs) - kLeadMs;
  while (!w->events_.empty() && w->events_.front().ms < w->originMs_) w->originMs_ -= kTickMs;
  return w;
}

double World::durationSeconds() const {
  return walk_.ticks.empty() ? 0 : double(walk_.ticks.back().timeMs - walk_.ticks.front().timeMs) / 1000;
}

platform::WallTime World::wallFor(int64_t walkMs) const {
  return FromUs(originWallUs_ + (walkMs - originMs_) * 1000);
}

int64_t World::steadyFor(int64_t walkMs) const {
  return originSteadyNs_ + (walkMs - originMs_) * 1000000 + (platform::simulator::clockIsManual() ? kAfterNs : 0);
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
  // The log starts at the origin, as a tick started with the world does: the
  // ticks before the walk's first are there too, empty but for early readings.
  venuesim::Walk timeline = walk_;
  if (!walk_.ticks.empty()) {
    std::vector<venuesim::WalkTick> lead;
    for (int64_t ms = originMs_; ms < walk_.ticks.front().timeMs; ms += kTickMs) {
      venuesim::WalkTick t;
      t.timeMs = ms;
      t.truth = walk_.ticks.front().truth;
      t.truth.time = double(ms) / 1000;
      lead.push_back(t);
    }
    timeline.ticks.insert(timeline.ticks.begin(), lead.begin(), lead.end());
  }
  venuesim::Walk heard = HeardWalk(timeline, events_);
  {
    std::lock_guard lock(mutex_);
    // Message times on the run's clock, so the log and a live run line up.
    if (started_) {
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
  double wait;
  {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = started_ = true;
    next_ = 0;
    generation = ++generation_;
    originWallUs_ = WallUs(platform::simulator::now());
    originSteadyNs_ = platform::simulator::steadyNow().count();
    wait = events_.empty() ? 0 : double(steadyFor(events_.front().ms) - originSteadyNs_) / 1e9;
  }
  std::weak_ptr<World> weak = weak_from_this();
  platform::simulator::after(wait, queue_, [weak, generation] {
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
  return started_ && next_ >= events_.size();
}

size_t World::delivered() const {
  std::lock_guard lock(mutex_);
  return next_;
}

void World::pump(uint64_t generation) {
  std::vector<const PhoneEvent*> due;
  double wait = -1;
  {
    std::lock_guard lock(mutex_);
    if (!running_ || generation != generation_) return;
    const int64_t now = platform::simulator::steadyNow().count();
    while (next_ < events_.size() && steadyFor(events_[next_].ms) <= now) due.push_back(&events_[next_++]);
    if (next_ < events_.size()) wait = std::max<double>(0, double(steadyFor(events_[next_].ms) - now) / 1e9);
    else running_ = false;
  }
  for (const PhoneEvent* e : due) emit(*e);
  if (wait < 0) return;
  std::weak_ptr<World> weak = weak_from_this();
  platform::simulator::after(wait, queue_, [weak, generation] {
    if (auto self = weak.lock()) self->pump(generation);
  });
}

void World::emit(const PhoneEvent& e) const {
  const double t = double(e.ms) / 1000;
  switch (e.kind) {
    case PhoneEvent::kRangingBatch:
      platform::simulator::rangeBeacons(e.beacons);
      break;
    case PhoneEvent::kAdvertisement:
      platform::simulator::advertise(e.peripheral, e.advertisement, e.rssi);
      break;
    case PhoneEvent::kAccelerometer:
      platform::simulator::feed(platform::AccelerometerData{t, {e.v[0], e.v[1], e.v[2]}});
      break;
    case PhoneEvent::kGyroscope:
      platform::simulator::feed(platform::GyroData{t, {e.v[0], e.v[1], e.v[2]}});
      break;
    case PhoneEvent::kDeviceMotion: {
      platform::DeviceMotion m;
      m.timestamp = t;
      m.magneticField.field = {e.v[0], e.v[1], e.v[2]};
      m.magneticField.accuracy = int32_t(e.rssi);
      platform::simulator::feed(m);
      break;
    }
    case PhoneEvent::kFix:
      platform::simulator::updateLocation(e.fix);
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
