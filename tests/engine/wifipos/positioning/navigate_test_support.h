// Shared set-up of the navigation client tests: a generated venue written as
// a map archive into a temporary directory, a client over it, and simulated
// walks replayed through Navigate message by message.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "server/wscan.h"
#include "walk_score.h"
#include "venuesim/generator.h"
#include "venuesim/propagation.h"
#include "venuesim/venue.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"
#include "wifipos/navigation_processing/navigation_processing.h"

namespace client_test {

// A venue and its archive on disk; the directory goes with the object.
struct VenueArchive {
  venuesim::Venue venue;
  std::string dir;
  std::string path;
  std::string error;

  explicit VenueArchive(const venuesim::VenueSpec& setup, const std::string& name) {
    dir = (std::filesystem::temp_directory_path() /
           ("marvisto-client-" + name + "-" + std::to_string(::getpid())))
              .string();
    std::filesystem::create_directories(dir);
    path = dir + "/venue.zip";
    if (venuesim::GenerateVenue(setup, &venue, &error) != 0) return;
    venuesim::WriteVenueArchive(venue, path, &error);
  }
  ~VenueArchive() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  VenueArchive(const VenueArchive&) = delete;
  VenueArchive& operator=(const VenueArchive&) = delete;
};

inline venuesim::VenueSpec DefaultSpec(int method, int gpMode = venuesim::kGpFull) {
  venuesim::VenueSpec setup;
  setup.seed = 20261206;
  setup.method = method;
  setup.gpMode = gpMode;
  return setup;
}

// The measurement message of one tick, through its text form as the SDK
// would deliver it.
inline WScanMessage TickMessage(const venuesim::Walk& walk, size_t tick, bool withSensors) {
  bool ok = false;
  WScanMessage m = WScanMessage::parse(venuesim::WalkMessageText(walk, tick), &ok);
  if (!withSensors) m.sensorEntries.clear();
  return m;
}

// Replays the walk through Navigate. Ticks within settleSeconds of the start
// or of a change of the true floor are not scored (the floor switch waits for
// repeated detections by design); the others count for the floor share and,
// on the right floor, for the error.
inline positioning_test::WalkScore ReplayWalk(ClientNavigationState* client, const venuesim::Walk& walk,
                        bool withSensors, double settleSeconds) {
  positioning_test::WalkScore score;
  double settleFrom = walk.ticks.empty() ? 0.0 : walk.ticks.front().truth.time;
  int lastFloor = walk.ticks.empty() ? 0 : walk.ticks.front().truth.floorId;
  for (size_t i = 0; i < walk.ticks.size(); ++i) {
    WScanMessage m = TickMessage(walk, i, withSensors);
    std::string error;
    const int rc = Navigate(&m, client, &error);
    const venuesim::TruthSample& truth = walk.ticks[i].truth;
    if (truth.floorId != lastFloor) {
      lastFloor = truth.floorId;
      settleFrom = truth.time;
    }
    if (truth.time - settleFrom < settleSeconds) continue;
    // A position that is not a number counts as lost, not as skipped.
    const double e = std::hypot(m.outX - truth.x, m.outY - truth.y);
    score.add(rc == 0 && m.outSubLocation == truth.floorId, true, std::isfinite(e) ? e : 1e9);
  }
  return score;
}

// Settings a map maker would choose for these venues: three matched beacons
// per reference point (one match alone lets a far point win) and no output
// smoothing while walking (its exponential blend lags several metres behind
// a walker).
inline void TuneForWalks(ClientNavigationState* client, bool smoothing = false) {
  CommonNavProperties& s = client->navigationMap.getNavigationProperties();
  s.knn.Min_nvisible_aps = 3;
  s.knn.Min_rpvis_aps = 3;
  s.Use_smoothing = smoothing;
  initClientNavigation(client);
}

// The default venue as an archive, made once per test program.
inline const VenueArchive& SharedVenue(int method) {
  static VenueArchive knn(DefaultSpec(107), "shared-knn");
  static VenueArchive hist(DefaultSpec(109), "shared-histogram");
  static VenueArchive gp(DefaultSpec(108), "shared-gp");
  return method == 108 ? gp : method == 109 ? hist : knn;
}

// A client on the default venue of `method`, tuned for walks; null (with the
// failure reported) when the venue or the client cannot be made.
inline ClientNavigationState* WalkClient(int method) {
  const VenueArchive& archive = SharedVenue(method);
  if (!archive.error.empty()) {
    ADD_FAILURE() << archive.error;
    return nullptr;
  }
  ClientNavigationState* client = CreateNavigationClient(archive.path.c_str(), "walker", "SimPhone1,1", false, nullptr);
  if (client == nullptr) {
    ADD_FAILURE() << "no client for " << archive.path;
    return nullptr;
  }
  TuneForWalks(client);
  return client;
}

}  // namespace client_test
