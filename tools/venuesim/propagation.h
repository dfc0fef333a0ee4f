// The radio model of a venue: the mean level of a beacon at a place on any
// floor, from log-distance path loss, the walls crossed on the receiving floor,
// the floors in between and a shadowing field per beacon and receiving floor.
// The same object serves the survey and any later simulated walk; it refers
// to the venue it was built from, which must outlive it and stay unchanged.
#pragma once

#include <cstdint>
#include <vector>

#include "venuesim/shadowing.h"
#include "venuesim/venue.h"

namespace venuesim {

// A - 10 B log10(max(d, 0.5)).
double LogDistanceRssi(double A, double B, double distance);

// The engine models a beacon as A - B' ln(d^2); B' for a path-loss exponent B.
double EngineSlope(double B);

// Number of wall pieces the straight line from a to b crosses.
int CountWallCrossings(const std::vector<Wall>& walls, Point a, Point b);

class PropagationModel {
 public:
  PropagationModel() = default;
  explicit PropagationModel(const Venue& venue);

  // Beacons of all floors, floor by floor, in each floor's order.
  int beaconCount() const { return static_cast<int>(refs_.size()); }
  int beaconIndex(int floorIndex, int beaconInFloor) const;
  const VenueBeacon& beacon(int index) const;
  int beaconFloor(int index) const { return refs_.at(index).floor; }

  // Mean RSSI in dBm of beacon `index` at (x, y) on floor `floorIndex`,
  // shadowing included.
  double meanRssi(int index, int floorIndex, double x, double y) const;
  // The same without the shadowing field.
  double meanRssiNoShadowing(int index, int floorIndex, double x, double y) const;
  // The shadowing term alone.
  double shadowing(int index, int floorIndex, double x, double y) const;

 private:
  struct Ref {
    int floor = 0;
    int index = 0;
  };
  const Venue* venue_ = nullptr;
  std::vector<Ref> refs_;
  std::vector<int> floorStart_;
  std::vector<ShadowingField> fields_;  // beacon-major, one per receiving floor
};

}  // namespace venuesim
