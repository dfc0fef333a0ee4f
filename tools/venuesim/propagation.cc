#include "venuesim/propagation.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "venuesim/rng.h"

namespace venuesim {
namespace {

constexpr uint64_t kShadowTag = 0x5348414457ULL;

double Cross(Point o, Point a, Point b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); }

bool ProperlyCross(Point p, Point q, Point a, Point b) {
  const double d1 = Cross(a, b, p), d2 = Cross(a, b, q);
  const double d3 = Cross(p, q, a), d4 = Cross(p, q, b);
  return ((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0));
}

}  // namespace

double LogDistanceRssi(double A, double B, double distance) {
  return A - 10.0 * B * std::log10(std::max(distance, 0.5));
}

double EngineSlope(double B) { return B * 5.0 / std::log(10.0); }

int CountWallCrossings(const std::vector<Wall>& walls, Point a, Point b) {
  int n = 0;
  const double minX = std::min(a.x, b.x), maxX = std::max(a.x, b.x);
  const double minY = std::min(a.y, b.y), maxY = std::max(a.y, b.y);
  for (const Wall& w : walls) {
    if (std::max(w.a.x, w.b.x) < minX || std::min(w.a.x, w.b.x) > maxX || std::max(w.a.y, w.b.y) < minY ||
        std::min(w.a.y, w.b.y) > maxY)
      continue;
    if (ProperlyCross(a, b, w.a, w.b)) ++n;
  }
  return n;
}

PropagationModel::PropagationModel(const Venue& venue) : venue_(&venue) {
  const VenueSpec& s = venue.setup;
  const int nFloors = static_cast<int>(venue.floors.size());
  for (int f = 0; f < nFloors; ++f) {
    floorStart_.push_back(static_cast<int>(refs_.size()));
    for (int i = 0; i < static_cast<int>(venue.floors[f].beacons.size()); ++i) refs_.push_back({f, i});
  }
  fields_.reserve(refs_.size() * nFloors);
  for (const Ref& r : refs_)
    for (int f = 0; f < nFloors; ++f) {
      const uint64_t seed = DeriveSeed(s.seed, {kShadowTag, static_cast<uint64_t>(r.floor),
                                                static_cast<uint64_t>(r.index), static_cast<uint64_t>(f)});
      fields_.emplace_back(seed, s.width, s.height, s.shadowCell, s.shadowSigma);
    }
}

int PropagationModel::beaconIndex(int floorIndex, int beaconInFloor) const {
  return floorStart_.at(floorIndex) + beaconInFloor;
}

const VenueBeacon& PropagationModel::beacon(int index) const {
  const Ref& r = refs_.at(index);
  return venue_->floors[r.floor].beacons[r.index];
}

double PropagationModel::shadowing(int index, int floorIndex, double x, double y) const {
  const size_t nFloors = venue_->floors.size();
  return fields_.at(static_cast<size_t>(index) * nFloors + floorIndex).value(x, y);
}

double PropagationModel::meanRssiNoShadowing(int index, int floorIndex, double x, double y) const {
  const VenueBeacon& b = beacon(index);
  const VenueSpec& s = venue_->setup;
  const double d = std::hypot(x - b.x, y - b.y);
  const int walls = CountWallCrossings(venue_->floors.at(floorIndex).walls, {b.x, b.y}, {x, y});
  const int floorsBetween = std::abs(floorIndex - refs_.at(index).floor);
  return LogDistanceRssi(b.A, b.B, d) - s.wallLoss * walls - s.floorLoss * floorsBetween;
}

double PropagationModel::meanRssi(int index, int floorIndex, double x, double y) const {
  return meanRssiNoShadowing(index, floorIndex, x, y) + shadowing(index, floorIndex, x, y);
}

}  // namespace venuesim
