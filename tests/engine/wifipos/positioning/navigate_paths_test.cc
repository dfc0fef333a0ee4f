// The less travelled paths of the positioning step: GPS fallback, restart after
// a signal loss, stops and steps, floor change, graph projection, zone method.
#include <gtest/gtest.h>

#include <cmath>

#include "navigate_test_support.h"
#include "wifipos/coordinates.h"
#include "wifipos/navigation_processing/prepare_navigation.h"

namespace client_test {
namespace {

struct Walked {
  const VenueArchive& archive;
  venuesim::Walk walk;
  ClientNavigationState* client = nullptr;

  Walked(int method, int endFloor) : archive(SharedVenue(method)) {
    venuesim::PropagationModel model(archive.venue);
    venuesim::WalkSpec ws;
    ws.seed = 12;
    ws.endFloor = endFloor;
    std::string error;
    EXPECT_EQ(venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error), 0) << error;
    client = CreateNavigationClient(archive.path.c_str(), "paths", "m", false, nullptr);
    if (client != nullptr) TuneForWalks(client);
  }
  ~Walked() { DeleteNavigationClient(client); }
  int step(size_t i, WScanMessage* m, bool radio = true) {
    *m = TickMessage(walk, i, true);
    if (!radio) m->entries.clear();
    return Navigate(m, client, nullptr);
  }
};

TEST(NavigatePaths, GpsFixesLastFixAndItsTimeOut) {
  Walked w(107, 0);
  ASSERT_NE(w.client, nullptr);
  CommonNavProperties& s = w.client->navigation.getNavigationProperties();
  s.Use_gps = true;
  const SublocationNavProperties& p = w.client->navigationMap.getSublocationsVector()[0].getProperties();
  SensorEntry fix;
  fix.type = SENSOR_LOCATION;
  LocalToGps(4.0 - p.width_meters / 2, 6.0 - p.height_meters / 2, p.latitude_deg, p.longitude_deg,
             p.azimuth_deg, &fix.values[0], &fix.values[1]);
  fix.values[3] = 7.5;
  // No radio at all: the fix gives the output, then is reused while younger
  // than Dead_reckon_time, then no longer.
  WScanMessage m = TickMessage(w.walk, 0, false);
  m.entries.clear();
  m.sensorEntries.push_back(fix);
  std::string error;
  ASSERT_EQ(Navigate(&m, w.client, &error), 0);
  EXPECT_EQ(error, "No solution");
  EXPECT_LT(std::hypot(m.outX - 4.0, m.outY - 6.0), 0.05);
  EXPECT_EQ(m.outR, 7.5);
  EXPECT_EQ(m.outSubLocation, w.archive.venue.floors[0].id);
  for (size_t i = 1; i < 80; ++i) {
    const bool fresh = w.walk.ticks[i].truth.time - w.walk.ticks[0].truth.time < s.Dead_reckon_time;
    EXPECT_EQ(w.step(i, &m, false), fresh ? 0 : NAV_RC_NO_SOLUTION) << i;
    EXPECT_TRUE(!fresh || std::fabs(m.outX - 4.0) < 0.05) << i;
  }
}

TEST(NavigatePaths, LongSignalLossRestartsAndStopsAndStepsAreReported) {
  Walked w(107, 0);
  ASSERT_NE(w.client, nullptr);
  WScanMessage m;
  size_t i = 0;
  int standing = 0, walking = 0, lastSteps = 0;
  for (; i < 300; ++i) {
    ASSERT_TRUE(w.step(i, &m) == 0 || i < 20) << i;
    EXPECT_EQ(GetLastPacketNumber(), m.packetNumber);
    EXPECT_GE(m.outStepCounter, lastSteps);
    lastSteps = m.outStepCounter;
    const double t = w.walk.ticks[i].truth.time - w.walk.ticks[0].truth.time;
    if (t > 3.0 && t < 9.0) {  // standing still at the start
      standing += w.client->motionState == 0 && w.client->navigation.getIsStop();
      EXPECT_EQ(m.outStepCounter, 0);
    }
    if (t > 15.0) walking += w.client->motionState >= 2;
  }
  EXPECT_GT(standing, 50);
  EXPECT_GT(walking, 100);
  EXPECT_GT(lastSteps, 10);
  EXPECT_TRUE(m.outStepLength > 0.4 && m.outStepLength < 1.2) << m.outStepLength;
  // Radio silence longer than Dead_reckon_time ends navigation; the next
  // message starts it afresh and positioning comes back with the radio.
  const double limit = w.client->navigation.getNavigationProperties().Dead_reckon_time;
  const double silentFrom = w.walk.ticks[i].truth.time;
  for (; w.walk.ticks[i].truth.time - silentFrom < limit + 1.0; ++i) w.step(i, &m, false);
  // Started afresh: a new navigation object and pedometer.
  EXPECT_EQ(w.client->navigation.getLastSignalSolutionTime(), 0.0);
  EXPECT_LT(m.outStepCounter, lastSteps);
  int back = 0;
  for (const size_t end = i + 50; i < end; ++i) back += w.step(i, &m) == 0;
  EXPECT_GT(back, 30);
}

TEST(NavigatePaths, FloorChangeReseedsTheParticlesOnTheNewFloor) {
  Walked w(107, 1);
  ASSERT_NE(w.client, nullptr);
  WScanMessage m;
  int prev = -1;
  for (size_t i = 0; i < w.walk.ticks.size(); ++i) {
    if (w.step(i, &m) != 0) continue;
    if (prev >= 0 && m.outSubLocation != prev) {
      const venuesim::TruthSample& t = w.walk.ticks[i].truth;
      ASSERT_EQ(m.outSubLocation, t.floorId);
      const SolutionInfo s = w.client->particleFilter.getSolutionInfo();
      EXPECT_LT(std::hypot(s.filteredX - t.x, s.filteredY - t.y), 10.0);
      const BmpState& bmp = w.client->particleFilter.getBmpState();
      for (const Particle& p : w.client->particleFilter.getParticles()) {
        ASSERT_TRUE(p.weight == 0 || !bmp.checkBordersAndPixelColor(p.x, p.y));
      }
      return;
    }
    prev = m.outSubLocation;
  }
  FAIL() << "no floor change";
}

TEST(NavigatePaths, GraphProjectionPutsOutputsOnTheRouteGraph) {
  Walked w(107, 0);
  ASSERT_NE(w.client, nullptr);
  CommonNavProperties& s = w.client->navigation.getNavigationProperties();
  s.Use_graph_projection = true;
  s.Graph_prog_distance = 1e9;
  const RouteGraph& g = w.client->navigationMap.getGraphs().at(0);
  int projected = 0;
  WScanMessage m;
  for (size_t i = 0; i < 200; ++i) {
    if (w.step(i, &m) != 0) continue;
    const LocationPoint out(m.outSubLocation, m.outX, m.outY);
    EXPECT_LT(g.getDistance(out, g.getProjection(out)), 1e-6);
    ++projected;
  }
  EXPECT_GT(projected, 150);
}

TEST(NavigatePaths, ZoneMethodOutputsTheLoudestBeaconWithoutTheFilter) {
  const VenueArchive archive(DefaultSpec(114), "zone");
  ASSERT_TRUE(archive.error.empty()) << archive.error;
  venuesim::Walk walk;
  std::string error;
  ASSERT_EQ(venuesim::GenerateWalk(archive.venue, venuesim::PropagationModel(archive.venue),
                                   venuesim::WalkSpec(), &walk, &error), 0) << error;
  ClientNavigationState* client =
      CreateNavigationClient(archive.path.c_str(), "zone", "m", false, nullptr);
  ASSERT_NE(client, nullptr);
  // With the particle filter on in the settings, too.
  client->navigation.getNavigationProperties().Use_particle_filter = true;
  int placed = 0;
  for (size_t i = 0; i < 200; ++i) {
    WScanMessage m = TickMessage(walk, i, true);
    if (Navigate(&m, client, nullptr) != 0) continue;
    ++placed;
    bool atBeacon = false;
    for (const venuesim::VenueFloor& f : archive.venue.floors) {
      for (const venuesim::VenueBeacon& b : f.beacons)
        atBeacon |= f.id == m.outSubLocation && std::hypot(b.x - m.outX, b.y - m.outY) < 1e-3;
    }
    EXPECT_TRUE(atBeacon) << m.outX << "," << m.outY;
  }
  EXPECT_GT(placed, 150);
  EXPECT_EQ(client->particleFilter.getSolutionInfo().time, 0.0);  // the filter never ran
  DeleteNavigationClient(client);
}

}  // namespace
}  // namespace client_test
