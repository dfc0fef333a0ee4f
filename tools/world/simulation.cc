#include "world/simulation.h"

#include "platform/simulator.h"
#include "world/world.h"

namespace world {

struct Simulation::Impl {
  std::shared_ptr<World> world;
  bool walking = false;
};

std::unique_ptr<Simulation> Simulation::create(uint64_t seed, std::string* error) {
  WorldSetup setup;
  setup.venue.seed = setup.walk.seed = seed;
  auto impl = std::make_unique<Impl>();
  impl->world = World::create(setup, error);
  if (!impl->world) return nullptr;
  platform::simulator::useManualClock();
  return std::unique_ptr<Simulation>(new Simulation(std::move(impl)));
}

Simulation::Simulation(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Simulation::~Simulation() {
  if (impl_->walking) impl_->world->stop();
}

int64_t Simulation::locationId() const { return impl_->world->setup().venue.locationId; }

std::string Simulation::locationName() const { return impl_->world->setup().venue.locationName; }

double Simulation::walkSeconds() const { return impl_->world->durationSeconds(); }

SimulatedPlace Simulation::destination() const {
  const auto& ticks = impl_->world->walk().ticks;
  if (ticks.empty()) return {};
  const auto& end = ticks.back().truth;
  return {end.floorId, end.x, end.y};
}

bool Simulation::writeVenue(const std::string& path, std::string* error) const {
  return impl_->world->writeVenue(path, error) == 0;
}

void Simulation::preparePhone() {
  if (platform::simulator::authorizationStatus() == platform::kAuthorizationStatusNotDetermined)
    platform::simulator::setAuthorizationStatus(platform::kAuthorizationStatusAuthorizedAlways);
  platform::simulator::setRadioState(platform::kCentralStatePoweredOn);
  // The kit's central learns that the radio is on before the first advertisement.
  platform::simulator::settle();
}

void Simulation::startWalk() {
  impl_->world->start();
  impl_->walking = true;
}

bool Simulation::walkFinished() const { return impl_->world->finished(); }

void Simulation::advance(double seconds) { platform::simulator::advance(seconds); }

std::optional<SimulatedPlace> Simulation::truth() const {
  const auto t = impl_->world->truthAt(platform::simulator::now());
  if (!t) return std::nullopt;
  return SimulatedPlace{t->floorId, t->x, t->y};
}

}  // namespace world
