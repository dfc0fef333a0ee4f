#include "MCModels/mc_device_info.h"

#include "platform/clock.h"
#include "platform/keyed_archiver.h"

MCDeviceInfo::MCDeviceInfo() : time(platform::Clock::nowSeconds()) {}

bool MCDeviceInfo::isValid() const {
  return location >= 1 && sublocation >= 1 && time > kMCReferenceDate && !error && x > 0 &&
         y > 0 && r > 0;
}

void MCDeviceInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeString(id, "id");
  coder.encodeDouble(time, "time");
  coder.encodeInt(location, "location");
  coder.encodeInt(sublocation, "sublocation");
  coder.encodeFloat(x, "x");
  coder.encodeFloat(kx, "kx");
  coder.encodeFloat(y, "y");
  coder.encodeFloat(ky, "ky");
  coder.encodeFloat(r, "r");
  coder.encodeFloat(azimuth, "azimuth");
  coder.encodeArray(paths, "paths");
  coder.encodeArray(zones, "zones");
}

std::shared_ptr<MCDeviceInfo> MCDeviceInfo::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto d = std::make_shared<MCDeviceInfo>();
  d->id = coder.decodeStringForKey("id");
  d->time = coder.decodeDoubleForKey("time");
  d->location = coder.decodeIntForKey("location");
  d->sublocation = coder.decodeIntForKey("sublocation");
  d->x = coder.decodeFloatForKey("x");
  d->kx = coder.decodeFloatForKey("kx");
  d->y = coder.decodeFloatForKey("y");
  d->ky = coder.decodeFloatForKey("ky");
  d->r = coder.decodeFloatForKey("r");
  d->azimuth = coder.decodeFloatForKey("azimuth");
  d->paths = coder.decodeArrayForKey<MCRoutePath>("paths");
  d->zones = coder.decodeArrayForKey<MCZone>("zones");
  return d;
}
