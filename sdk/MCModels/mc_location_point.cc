#include "MCModels/mc_location_point.h"

#include <cmath>
#include <limits>

#include "MCModels/mc_coding.h"
#include "MCModels/mc_description.h"
#include "Foundation/mc_log.h"
#include "platform/keyed_archiver.h"

std::shared_ptr<MCLocationPoint> MCLocationPoint::pointWithLocation(int64_t location,
                                                                    int64_t sublocation,
                                                                    MCNumber x, MCNumber y) {
  auto p = std::make_shared<MCLocationPoint>();
  p->location = location;
  p->sublocation = sublocation;
  p->x = x;
  p->y = y;
  return p;
}

double MCLocationPoint::distanceTo(const MCLocationPoint& other) const {
  if (other.location != location || other.sublocation != sublocation) {
    MC_LOG(1, "ERROR! Location or sublocation of points not equal!\n");
    return std::numeric_limits<double>::quiet_NaN();
  }
  const double dy = y.doubleValue() - other.y.doubleValue();
  const double dx = x.doubleValue() - other.x.doubleValue();
  return std::sqrt(dy * dy + dx * dx);
}

std::string MCLocationPoint::description() const {
  return MCFormat("MCLocationPoint description: %s location id: %zd sublocation id: %zd x: %s y: %s",
                  MCObjectDescription("MCLocationPoint", this).c_str(),
                  static_cast<ssize_t>(location), static_cast<ssize_t>(sublocation),
                  x.description().c_str(), y.description().c_str());
}

void MCLocationPoint::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt(location, "locationId");
  coder.encodeInt(sublocation, "sublocationId");
  MCEncodeNumber(coder, x, "x");
  MCEncodeNumber(coder, y, "y");
}

std::shared_ptr<MCLocationPoint> MCLocationPoint::initWithCoder(
    const platform::KeyedUnarchiver& coder) {
  return pointWithLocation(coder.decodeIntForKey("locationId"),
                           coder.decodeIntForKey("sublocationId"), MCDecodeNumber(coder, "x"),
                           MCDecodeNumber(coder, "y"));
}
