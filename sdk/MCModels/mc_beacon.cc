#include "MCModels/mc_beacon.h"

#include "MCModels/mc_coding.h"
#include "MCModels/mc_description.h"
#include "platform/keyed_archiver.h"

std::string MCBeacon::description() const {
  return MCFormat(
      "MCBeacon description:%s id: %zd location id: %zd sublocation id: %zd major: %zd minor: "
      "%zd name: %s uuid: %s x: %s y: %s status:%zd",
      MCObjectDescription("MCBeacon", this).c_str(), static_cast<ssize_t>(id),
      static_cast<ssize_t>(location), static_cast<ssize_t>(sublocation),
      static_cast<ssize_t>(major), static_cast<ssize_t>(minor), name.c_str(), uuid.c_str(),
      x.description().c_str(), y.description().c_str(), static_cast<ssize_t>(status));
}

void MCBeacon::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt(id, "id");
  coder.encodeInt(location, "locationId");
  coder.encodeInt(sublocation, "sublocationId");
  coder.encodeInt(major, "major");
  coder.encodeInt(minor, "minor");
  coder.encodeString(name, "name");
  coder.encodeString(uuid, "uuid");
  MCEncodeNumber(coder, x, "kX");
  MCEncodeNumber(coder, y, "kY");
  coder.encodeInt(status, "status");
}

std::shared_ptr<MCBeacon> MCBeacon::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto b = std::make_shared<MCBeacon>();
  b->id = coder.decodeIntForKey("id");
  b->location = coder.decodeIntForKey("locationId");
  b->sublocation = coder.decodeIntForKey("sublocationId");
  b->major = coder.decodeIntForKey("major");
  b->minor = coder.decodeIntForKey("minor");
  b->name = coder.decodeStringForKey("name");
  b->uuid = coder.decodeStringForKey("uuid");
  b->x = MCDecodeNumber(coder, "kX");
  b->y = MCDecodeNumber(coder, "kY");
  b->status = coder.decodeIntForKey("status");
  return b;
}
