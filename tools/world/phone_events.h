// What a phone would observe along a simulated walk, as a time line of
// platform events: 1 Hz beacon ranging batches (the mean level of each
// beacon heard in the second, recently heard beacons reported with RSSI 0),
// one advertisement per received packet, accelerometer, gyroscope and
// device-motion samples from the gait model, and location fixes. Built from a
// generated walk; pure and deterministic (same walk, same events).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bluetooth_central.h"
#include "platform/location_manager.h"
#include "platform/motion_manager.h"
#include "venuesim/venue.h"
#include "venuesim/walk.h"

namespace world {

enum RadioPaths : int { kRanging = 1, kAdvertisements = 2, kBothRadioPaths = 3 };

struct PhoneSetup {
  int radio = kBothRadioPaths;    // which radio paths produce events
  double rangingSeconds = 1.0;    // period of the ranging batches
  double forgetSeconds = 3.0;     // a beacon unheard this long leaves the batches
  int32_t magneticAccuracy = platform::kMagneticFieldCalibrationAccuracyHigh;
  double fixSeconds = 0;          // period of location fixes; 0: none
  double anchorLatitude = 52.52;  // where floor (0, 0) lies
  double anchorLongitude = 13.405;
  double fixAccuracy = 30.0;      // metres, horizontal
};

struct PhoneEvent {
  enum Kind : int { kRangingBatch, kAdvertisement, kAccelerometer, kGyroscope, kDeviceMotion, kFix };
  int64_t ms = 0;  // walk time, milliseconds since 1970
  int kind = kRangingBatch;
  std::vector<platform::Beacon> beacons;
  platform::Peripheral peripheral;
  platform::AdvertisementData advertisement;
  int64_t rssi = 0;
  double v[3] = {0, 0, 0};  // accelerometer in g; rotation rate; magnetic field
  platform::Location fix;
};

// The four-character name a beacon advertises in the first bytes of its
// service data; the world names the venue's beacons with it, so the archive
// gives the fast scan the names it hears.
std::string ShortName(const venuesim::VenueBeacon& beacon);

// Events in time order (ties: the order of `Kind`, then as generated).
std::vector<PhoneEvent> PhoneEvents(const venuesim::Venue& venue, const venuesim::Walk& walk,
                                    const PhoneSetup& setup);

// The walk as the managers pass it to the engine: each tick's radio readings
// replaced by what the chosen radio paths deliver (ranging batches at their
// batch time, advertisements at their arrival), magnetometer samples carrying
// the calibration accuracy. Each event joins the first tick strictly after
// it: one at a tick's instant joins the next tick (offset 100 ms). Written with the walk writer, it is the log a
// live run through the SDK is compared with.
venuesim::Walk HeardWalk(const venuesim::Walk& walk, const std::vector<PhoneEvent>& events);

}  // namespace world
