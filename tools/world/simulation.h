/// @file
/// The simulated world as a host application sees it: a generated two-floor
/// venue and a person walking through it with a phone, whose observations
/// (beacon advertisements and ranging, motion sensors) reach the kit through
/// the same platform services a real phone feeds. It lets a host try the kit
/// without a phone or a venue; a host on real hardware does not link it.
///
/// Time: the simulation owns the process's clock. `create` switches it to a
/// simulated clock that starts at the present and moves only in `advance`,
/// which on its way runs everything that falls due: the kit's timers, its
/// 100 ms navigation tick and the blocks posted to the main run loop, so the
/// facade's main-queue callbacks arrive inside `advance`, on the calling
/// thread. The kit's network transfers run in real time: a host waiting for
/// a download lets some real time pass between steps.
///
/// Threads: make and call it from the host's main thread (the one that called
/// `platform::RunLoop::setMainThread()`), one simulation per process.
///
/// Failure: `create` returns null and `writeVenue` false, each with the
/// reason in `*error`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace world {

/// A place in the venue: a floor id and metres on that floor.
struct SimulatedPlace {
  int64_t floor = 0;  ///< The floor's id, as the kit's location model numbers it.
  double x = 0;       ///< Metres from the floor's left edge.
  double y = 0;       ///< Metres from the floor's lower edge.
};

/// The venue, the walk and the phone of one simulated run.
class Simulation {
 public:
  /// Generates the venue and the walk from `seed` (the same seed, the same
  /// venue and walk) and switches the clock to simulated time. Null with a
  /// message when the world cannot be made.
  static std::unique_ptr<Simulation> create(uint64_t seed, std::string* error);
  /// Stops the walk; the clock stays simulated.
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  /// The id the venue's location has on a content server that serves it.
  int64_t locationId() const;
  /// The venue's location name.
  std::string locationName() const;
  /// How long the walk takes, in seconds of simulated time.
  double walkSeconds() const;
  /// Where the walk ends, the natural target for a route.
  SimulatedPlace destination() const;

  /// Writes the venue's map archive to `path`, ready for a content server's
  /// venue folder. False with a message when it cannot be written.
  bool writeVenue(const std::string& path, std::string* error) const;

  /// The phone's user grants location use and switches Bluetooth on; call
  /// before starting navigation.
  void preparePhone();
  /// The person starts walking now; call right after starting navigation so
  /// the kit's ticks and the walk share one time grid.
  void startWalk();
  /// Whether every observation of the walk went out.
  bool walkFinished() const;
  /// Moves simulated time on by `seconds`, running what falls due.
  void advance(double seconds);
  /// Where the person truly is now; none before the walk starts.
  std::optional<SimulatedPlace> truth() const;

 private:
  struct Impl;
  explicit Simulation(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace world
