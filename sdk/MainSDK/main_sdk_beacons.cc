// Placing a measured beacon on the loaded location, removing one, saving them.
#include <cctype>
#include <cstdlib>

#include "MCArchiveManager/mc_archive_manager.h"
#include "MCBeaconManager/mc_beacon_manager.h"
#include "MainSDK/main_sdk.h"
#include "MainSDK/main_sdk_delegates.h"
#include "Foundation/marvisto_error.h"
#include "platform/mutex.h"

namespace {

bool SameUuid(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool SameBeacon(const MCBeacon& x, const MCBeacon& b) {
  return x.major == b.major && x.minor == b.minor && SameUuid(x.uuid, b.uuid);
}

// "(" major5 "," minor5 "," uuid36 ")", the digits and the UUID's form checked.
bool WellFormedKey(const std::string& k) {
  if (k.size() != 50 || k[0] != '(' || k[6] != ',' || k[12] != ',' || k[49] != ')') return false;
  for (size_t i : {1, 2, 3, 4, 5, 7, 8, 9, 10, 11}) {
    if (!std::isdigit(static_cast<unsigned char>(k[i]))) return false;
  }
  for (size_t i = 13; i < 49; ++i) {
    const size_t at = i - 13;
    const bool dash = at == 8 || at == 13 || at == 18 || at == 23;
    if (dash ? k[i] != '-' : !std::isxdigit(static_cast<unsigned char>(k[i]))) return false;
  }
  return true;
}

}  // namespace

void MainSDK::startMeasureNearestBeacon(const MCBeacon& spot) {
  auto b = std::make_shared<MCBeacon>();
  b->sublocation = spot.sublocation;
  b->x = spot.x;
  b->y = spot.y;
  b->name = spot.name;
  {
    platform::MutexLock lock(locationMutex_);
    b->location = locationFields_->id;
  }
  {
    platform::MutexLock lock(stateMutex_);
    measuringBeacon_ = std::move(b);
  }
  readingsMeasure(true);
}

void MainSDK::stopMeasureNearestBeacon() { readingsMeasure(false); }

bool MainSDK::isBeaconNew(const MCBeacon& beacon) {
  platform::MutexLock lock(locationMutex_);
  for (const auto& floor : locationFields_->sublocations) {
    for (const auto& x : *floor->beacons) {
      if (SameBeacon(*x, beacon) && x->status != 3) return false;
    }
  }
  return true;
}

void MainSDK::beaconFounded(const std::optional<std::string>& key,
                            const std::optional<platform::Error>& error) {
  std::shared_ptr<MCBeacon> b;
  {
    platform::MutexLock lock(stateMutex_);
    b = std::exchange(measuringBeacon_, std::make_shared<MCBeacon>());
  }
  std::shared_ptr<MCBeacon> placed;
  std::optional<platform::Error> failure = error;
  if (key && !WellFormedKey(*key)) {
    failure = MarvistoError(kMarvistoErrorBeaconNotPlaced, "Invalid beacon key: " + *key);
  } else if (key) {
    b->major = std::atoi(key->substr(1, 5).c_str());
    b->minor = std::atoi(key->substr(7, 5).c_str());
    b->uuid = key->substr(13, 36);
    b->status = 1;
    if (!isBeaconNew(*b)) {
      failure = MarvistoError(kMarvistoErrorBeaconOnMap, "  Beacon already on map");
    } else {
      platform::MutexLock lock(locationMutex_);
      if (auto floor = locationFields_->subLocationWithId(b->sublocation)) {
        floor->beacons->push_back(b);
        placed = b;
        failure.reset();
        m_.beaconManager->setLocation(location_);  // the fast scan hears it from now on
      } else {
        failure = MarvistoError(kMarvistoErrorBeaconNotPlaced,
                                "Sublocation " + std::to_string(b->sublocation) +
                                    " is not part of the location");
      }
    }
  }
  if (auto d = delegateNow(); d && d->beaconFounded) {
    d->beaconFounded(*this, placed, placed ? nullptr : (failure ? &*failure : nullptr));
  }
}

void MainSDK::removeMeasuredBeacon(const MCBeacon& beacon) {
  if (beacon.status == 3) return;
  platform::MutexLock lock(locationMutex_);
  for (const auto& floor : locationFields_->sublocations) {
    for (const auto& x : *floor->beacons) {
      if (SameBeacon(*x, beacon)) x->status = 3;
    }
  }
}

bool MainSDK::saveBeaconsXML(std::optional<platform::Error>* error) {
  bool saved;
  {
    platform::MutexLock lock(locationMutex_);
    m_.archiveManager->setLocation(location_);
    saved = m_.archiveManager->updateBeaconsXML(error);
  }
  // Records from now on carry the location as modified.
  m_.logManager->setLocation(location_);
  return saved;
}
