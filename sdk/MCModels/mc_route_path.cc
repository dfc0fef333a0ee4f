#include "MCModels/mc_route_path.h"

#include "MCModels/mc_description.h"
#include "platform/keyed_archiver.h"

std::string MCRouteEvent::description() const {
  return MCFormat("MCRouteEvent description: %s distance: %lf value: %zd type: %zd",
                  MCObjectDescription("MCRouteEvent", this).c_str(), static_cast<double>(distance),
                  static_cast<ssize_t>(value), static_cast<ssize_t>(type));
}

std::string MCRoutePath::description() const {
  return MCFormat("MCMCRoutePath description: %s path: %s events: %s length: %lf",
                  MCObjectDescription("MCRoutePath", this).c_str(),
                  MCListDescription(points).c_str(), MCListDescription(events).c_str(),
                  static_cast<double>(lenght));
}

void MCRouteEvent::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeFloat(distance, "distance");
  coder.encodeInt(value, "value");
  // Stored as a 32-bit integer: only the low 32 bits travel.
  coder.encodeInt(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(type))), "type");
}

std::shared_ptr<MCRouteEvent> MCRouteEvent::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto e = std::make_shared<MCRouteEvent>();
  e->distance = coder.decodeFloatForKey("distance");
  e->value = static_cast<int32_t>(static_cast<uint32_t>(coder.decodeIntForKey("value")));
  e->type = static_cast<int32_t>(static_cast<uint32_t>(coder.decodeIntForKey("type")));
  return e;
}

void MCRoutePath::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeArray(points, "path");
  coder.encodeArray(events, "events");
  coder.encodeFloat(lenght, "length");
}

std::shared_ptr<MCRoutePath> MCRoutePath::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto p = std::make_shared<MCRoutePath>();
  p->points = coder.decodeArrayForKey<MCLocationPoint>("path");
  p->events = coder.decodeArrayForKey<MCRouteEvent>("events");
  p->lenght = coder.decodeFloatForKey("length");
  return p;
}
