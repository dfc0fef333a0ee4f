// The simulated world: a generated venue, a person walking its route graph
// (a room, the corridor, stairs or a lift, a room on another floor, standing
// at both ends), and the phone's observations of that walk pushed into the
// platform's location manager, Bluetooth radio and motion sensors at their
// times, with the truth kept beside. Deterministic for a seed.
//
// Time: `start` ties the walk's first event to the clock's present, on the
// 100 ms grid of the walk's ticks (a tick timer started at the same instant
// ticks at the walk's tick times); the walk then goes at the clock's pace
// (manual in tests, where `platform::simulator::advance` plays it; real, or
// manual and paced faster, in the demo). Under the manual clock each event
// goes out one nanosecond after its time (its microsecond stamp unchanged),
// so a reading due at a tick's instant reaches the next tick, as the world's
// log has it. The world runs on its own serial queue; `start`, `stop` and the
// readers are safe from any thread. Events go out only while started; the
// platform then delivers them on the queues and run loops of the managers
// that receive them. The world reaches the platform through its simulator
// interface alone (platform/simulator.h).
//
// The venue's beacons are named with the four characters they advertise, so
// the archive and the advertisements agree.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/simulator.h"
#include "venuesim/propagation.h"
#include "venuesim/venue.h"
#include "venuesim/walk.h"
#include "world/phone_events.h"

namespace world {

struct WorldSetup {
  venuesim::VenueSpec venue;  // defaults: the built-in two-floor venue
  venuesim::WalkSpec walk;
  PhoneSetup phone;
};

// Where the person is at a clock time.
struct Truth {
  platform::WallTime time;
  int floorId = 0;
  double x = 0, y = 0;
  double heading = 0;
};

class World : public std::enable_shared_from_this<World> {
 public:
  // Generates the venue, the walk and the phone's events; null with a
  // message when the setup is unusable.
  static std::shared_ptr<World> create(const WorldSetup& setup, std::string* error);

  const WorldSetup& setup() const { return setup_; }
  const venuesim::Venue& venue() const { return *venue_; }
  const venuesim::Walk& walk() const { return walk_; }
  const std::vector<PhoneEvent>& events() const { return events_; }
  // The clock time of the walk's first message time (valid once started).
  platform::WallTime firstTickTime() const;
  double durationSeconds() const;  // of the walk, in walk seconds

  // Writes the venue's archive.
  int writeVenue(const std::string& mapPath, std::string* error) const;
  // Writes the walk as the SDK hears it (`HeardWalk`), log and truth table,
  // with message times on the clock of the current or last start (the walk's
  // own times before any start). The log begins at the start on the ticks'
  // grid: the ticks before the walk's first carry its truth and no readings
  // but early ones, as a tick started with the world records them.
  int writeLog(const std::string& logPath, const std::string& truthPath, std::string* error) const;

  void start();
  void stop();
  bool running() const;
  bool finished() const;  // every event went out
  size_t delivered() const;

  // The truth of the latest walk tick at or before `time` (none before the
  // first or when not started).
  std::optional<Truth> truthAt(const platform::WallTime& time) const;

  World(const WorldSetup& setup, std::unique_ptr<venuesim::Venue> venue);

 private:
  void pump(uint64_t generation);
  platform::WallTime wallFor(int64_t walkMs) const;  // caller holds mutex_
  int64_t steadyFor(int64_t walkMs) const;           // nanoseconds; caller holds mutex_
  void emit(const PhoneEvent& e) const;

  WorldSetup setup_;
  std::unique_ptr<venuesim::Venue> venue_;
  venuesim::PropagationModel model_;
  venuesim::Walk walk_;
  std::vector<PhoneEvent> events_;
  platform::QueuePtr queue_;
  mutable std::mutex mutex_;
  bool running_ = false;
  bool started_ = false;
  uint64_t generation_ = 0;
  size_t next_ = 0;
  int64_t originMs_ = 0;  // walk time tied to originWallUs_ and originSteadyNs_
  int64_t originWallUs_ = 0;
  int64_t originSteadyNs_ = 0;
};

}  // namespace world
