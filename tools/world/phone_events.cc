#include "world/phone_events.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace world {
namespace {

constexpr double kGravity = -9.8;  // the sensor manager's g to m/s2 factor, sign included
constexpr double kMetresPerDegree = 111320.0;

// Values as the measurement log writes them (six decimals), so a live run
// and the replay of the log see the same numbers.
double AsLogged(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%lf", v);
  return std::strtod(text, nullptr);
}

// A reading in g whose product with the manager's factor is a value the log
// writes and reads back unchanged, as near to `v` as the log's decimals allow.
double InG(double v) {
  const double q = AsLogged(v);
  for (int step = 0; step < 16; ++step) {
    const double d = (step % 2 ? -1.0 : 1.0) * double((step + 1) / 2) * 1e-6;
    const double target = AsLogged(q + d);
    double g = target / kGravity;
    for (int i = 0; i < 4; ++i) g = std::nextafter(g, -INFINITY);
    for (int i = 0; i < 9; ++i, g = std::nextafter(g, INFINITY))
      if (g * kGravity == target) return g;
  }
  return q / kGravity;
}

struct Heard {
  const venuesim::VenueBeacon* beacon = nullptr;
  int64_t lastMs = INT64_MIN;
  int64_t sum = 0;
  int count = 0;
};

// The distance a phone estimates from a level: log-distance with exponent 2
// from the advertised power at 1 m.
double EstimateMetres(int power, double rssi) { return std::pow(10.0, (power - rssi) / 20.0); }

int64_t ProximityFor(double metres) {
  if (metres < 0) return platform::kProximityUnknown;
  if (metres < 0.5) return platform::kProximityImmediate;
  if (metres < 3.0) return platform::kProximityNear;
  return platform::kProximityFar;
}

void AddRanging(const std::map<std::string, const venuesim::VenueBeacon*>& byKey,
                const venuesim::Walk& walk, const PhoneSetup& setup, std::vector<PhoneEvent>& out) {
  if (walk.ticks.empty() || setup.rangingSeconds <= 0) return;
  const int64_t period = std::max<int64_t>(1, std::llround(setup.rangingSeconds * 1000));
  const int64_t forget = std::llround(setup.forgetSeconds * 1000);
  const int64_t first = walk.ticks.front().timeMs, last = walk.ticks.back().timeMs;
  std::vector<std::pair<int64_t, const venuesim::RadioReading*>> arrivals;
  for (const auto& t : walk.ticks)
    for (const auto& r : t.readings) arrivals.emplace_back(t.timeMs - r.offsetMs, &r);
  std::stable_sort(arrivals.begin(), arrivals.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::map<std::string, Heard> heard;
  size_t next = 0;
  for (int64_t batch = first; batch <= last; batch += period) {
    for (auto& [key, h] : heard) h.sum = h.count = 0;
    for (; next < arrivals.size() && arrivals[next].first <= batch; ++next) {
      const auto* r = arrivals[next].second;
      auto it = byKey.find(r->key);
      if (it == byKey.end()) continue;
      Heard& h = heard[r->key];
      h.beacon = it->second;
      h.lastMs = arrivals[next].first;
      h.sum += std::llround(r->rssi);
      ++h.count;
    }
    PhoneEvent e;
    e.ms = batch;
    e.kind = PhoneEvent::kRangingBatch;
    for (const auto& [key, h] : heard) {
      if (batch - h.lastMs > forget) continue;
      platform::Beacon b;
      b.proximityUUID = h.beacon->uuid;
      b.major = h.beacon->major;
      b.minor = h.beacon->minor;
      if (h.count > 0) {
        b.rssi = std::llround(double(h.sum) / h.count);
        b.accuracy = EstimateMetres(h.beacon->power, double(b.rssi));
      }
      b.proximity = ProximityFor(b.accuracy);
      e.beacons.push_back(b);
    }
    // Nearest first, unheard ones last, as a phone orders a batch.
    std::stable_sort(e.beacons.begin(), e.beacons.end(), [](const auto& a, const auto& b) {
      const bool ah = a.accuracy >= 0, bh = b.accuracy >= 0;
      return ah != bh ? ah : a.accuracy < b.accuracy;
    });
    out.push_back(std::move(e));
  }
}

void AddAdvertisements(const std::map<std::string, const venuesim::VenueBeacon*>& byKey,
                       const venuesim::Walk& walk, std::vector<PhoneEvent>& out) {
  for (const auto& t : walk.ticks)
    for (const auto& r : t.readings) {
      auto it = byKey.find(r.key);
      if (it == byKey.end()) continue;
      const venuesim::VenueBeacon& b = *it->second;
      PhoneEvent e;
      e.ms = t.timeMs - r.offsetMs;
      e.kind = PhoneEvent::kAdvertisement;
      e.peripheral.identifier = r.key;
      e.peripheral.name = b.name;
      e.advertisement.localName = b.name;
      // The first four bytes carry the beacon's name, then battery, power, flags.
      std::vector<uint8_t> data(7, 0);
      for (size_t i = 0; i < 4 && i < b.name.size(); ++i) data[i] = uint8_t(b.name[i]);
      data[4] = uint8_t(b.battery);
      data[5] = uint8_t(int8_t(b.power));
      e.advertisement.serviceData["FEAA"] = std::move(data);
      e.rssi = std::llround(r.rssi);
      out.push_back(std::move(e));
    }
}

void AddMotion(const venuesim::Walk& walk, const PhoneSetup& setup, std::vector<PhoneEvent>& out) {
  for (const auto& t : walk.ticks)
    for (const auto& s : t.sensors) {
      PhoneEvent e;
      e.ms = t.timeMs - s.offsetMs;
      if (s.type == 101) {
        e.kind = PhoneEvent::kAccelerometer;
        for (int i = 0; i < 3; ++i) e.v[i] = InG(s.values[i]);
      } else if (s.type == 103) {
        e.kind = PhoneEvent::kGyroscope;
        for (int i = 0; i < 3; ++i) e.v[i] = AsLogged(s.values[i]);
      } else if (s.type == 102) {
        e.kind = PhoneEvent::kDeviceMotion;
        for (int i = 0; i < 3; ++i) e.v[i] = AsLogged(s.values[i]);
        e.rssi = setup.magneticAccuracy;
      } else {
        continue;
      }
      out.push_back(std::move(e));
    }
}

void AddFixes(const venuesim::Walk& walk, const PhoneSetup& setup, std::vector<PhoneEvent>& out) {
  if (setup.fixSeconds <= 0 || walk.ticks.empty()) return;
  const int64_t period = std::max<int64_t>(1, std::llround(setup.fixSeconds * 1000));
  int64_t due = walk.ticks.front().timeMs;
  for (const auto& t : walk.ticks) {
    if (t.timeMs < due) continue;
    due += period;
    PhoneEvent e;
    e.ms = t.timeMs;
    e.kind = PhoneEvent::kFix;
    e.fix.latitude = AsLogged(setup.anchorLatitude + t.truth.y / kMetresPerDegree);
    e.fix.longitude = AsLogged(setup.anchorLongitude +
                      t.truth.x / (kMetresPerDegree * std::cos(setup.anchorLatitude * M_PI / 180)));
    e.fix.altitude = 4.0 * t.truth.floor;
    e.fix.horizontalAccuracy = setup.fixAccuracy;
    e.fix.verticalAccuracy = 10;
    e.fix.timestamp = double(t.timeMs) / 1000;
    out.push_back(std::move(e));
  }
}

}  // namespace

std::string ShortName(const venuesim::VenueBeacon& beacon) {
  char name[16];
  std::snprintf(name, sizeof name, "%01d%03d", int(beacon.major % 10), int(beacon.minor % 1000));
  return name;
}

std::vector<PhoneEvent> PhoneEvents(const venuesim::Venue& venue, const venuesim::Walk& walk,
                                    const PhoneSetup& setup) {
  std::map<std::string, const venuesim::VenueBeacon*> byKey;
  for (const auto& f : venue.floors)
    for (const auto& b : f.beacons) byKey[b.key()] = &b;
  std::vector<PhoneEvent> out;
  if (setup.radio & kRanging) AddRanging(byKey, walk, setup, out);
  if (setup.radio & kAdvertisements) AddAdvertisements(byKey, walk, out);
  AddMotion(walk, setup, out);
  AddFixes(walk, setup, out);
  std::stable_sort(out.begin(), out.end(), [](const PhoneEvent& a, const PhoneEvent& b) {
    return a.ms != b.ms ? a.ms < b.ms : a.kind < b.kind;
  });
  return out;
}

venuesim::Walk HeardWalk(const venuesim::Walk& walk, const std::vector<PhoneEvent>& events) {
  venuesim::Walk heard = walk;
  for (auto& t : heard.ticks) {
    t.readings.clear();
    t.sensors.clear();
  }
  // Each event joins the first tick after it, as the tick drains the queues; one
  // at a tick's very instant arrives just after that tick and joins the next.
  auto tickFor = [&](int64_t ms) -> venuesim::WalkTick* {
    auto it = std::upper_bound(heard.ticks.begin(), heard.ticks.end(), ms,
                               [](int64_t v, const venuesim::WalkTick& t) { return v < t.timeMs; });
    return it == heard.ticks.end() ? nullptr : &*it;
  };
  for (const auto& e : events) {
    venuesim::WalkTick* t = tickFor(e.ms);
    if (!t) continue;
    const int offset = int(t->timeMs - e.ms);
    venuesim::SensorSample s;
    s.offsetMs = offset;
    switch (e.kind) {
      case PhoneEvent::kRangingBatch:
        for (const auto& b : e.beacons)
          if (b.rssi < 0)
            t->readings.push_back({venuesim::BeaconKey(int(b.major), int(b.minor), b.proximityUUID),
                                   double(b.rssi), offset});
        continue;
      case PhoneEvent::kAdvertisement:
        t->readings.push_back({e.peripheral.identifier, double(e.rssi), offset});
        continue;
      case PhoneEvent::kAccelerometer:
        s.type = 101;
        for (int i = 0; i < 3; ++i) s.values[i] = e.v[i] * kGravity;
        break;
      case PhoneEvent::kGyroscope:
        s.type = 103;
        for (int i = 0; i < 3; ++i) s.values[i] = e.v[i];
        break;
      case PhoneEvent::kDeviceMotion:
        s.type = 102;
        for (int i = 0; i < 3; ++i) s.values[i] = e.v[i];
        s.values[3] = double(e.rssi);
        break;
      case PhoneEvent::kFix:
        s.type = 105;
        s.values[0] = e.fix.latitude;
        s.values[1] = e.fix.longitude;
        s.values[2] = e.fix.altitude;
        s.values[3] = e.fix.horizontalAccuracy;
        break;
    }
    t->sensors.push_back(s);
  }
  return heard;
}

}  // namespace world
