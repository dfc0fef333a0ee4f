// The positioning step under bad input and bad clocks: time base, clock steps
// back, corrupt and mutated messages, floors that cannot be used, and the
// output records' repairs. Nothing may crash or put a non-finite value into
// an output field.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <random>

#include "navigate_test_support.h"
#include "wifipos/navigation_processing/fill_wsmsg_output.h"
#include "wifipos/navigation_processing/prepare_navigation.h"

namespace client_test {
namespace {

constexpr double kPi = 3.14159265358979323846;

void ExpectFiniteOutputs(const WScanMessage& m) {
  for (double v : {m.outX, m.outY, m.outKX, m.outKY, m.outR, m.outOrientation[0],
                   m.outOrientation[1], m.outOrientation[2], m.outStepLength})
    ASSERT_TRUE(std::isfinite(v));
  EXPECT_TRUE(m.outKX >= 0.0 && m.outKX <= 1.0) << m.outKX;
  EXPECT_TRUE(m.outKY >= 0.0 && m.outKY <= 1.0) << m.outKY;
}

struct WalkFixture {
  const VenueArchive& archive = SharedVenue(107);
  venuesim::Walk walk;
  ClientNavigationState* client = nullptr;

  WalkFixture() {
    venuesim::PropagationModel model(archive.venue);
    venuesim::WalkSpec ws;
    ws.seed = 31;
    ws.startFloor = ws.endFloor = 0;
    std::string error;
    venuesim::GenerateWalk(archive.venue, model, ws, &walk, &error);
    client = CreateNavigationClient(archive.path.c_str(), "dev", "m", false, nullptr);
  }
  ~WalkFixture() { DeleteNavigationClient(client); }
  WScanMessage at(size_t i, int64_t shiftSeconds = 0) {
    WScanMessage m = TickMessage(walk, i, true);
    m.tmUnixTime += shiftSeconds;
    return m;
  }
};

TEST(NavigateTime, BaseIsChosenOnceTenSecondsBeforeTheFirstMessage) {
  WalkFixture f;
  ASSERT_NE(f.client, nullptr);
  WScanMessage m;
  m.tmUnixTime = 1000000000;
  m.tmMillisecond = 250;
  Navigate(&m, f.client, nullptr);
  EXPECT_EQ(f.client->timeBase, 999999990);
  EXPECT_EQ(f.client->navigation.getCurTime().sec, 10u);
  EXPECT_EQ(f.client->navigation.getCurTime().ms, 250u);
  m.tmUnixTime += 100;
  Navigate(&m, f.client, nullptr);
  EXPECT_EQ(f.client->timeBase, 999999990);

  // Times the base cannot hold are refused, not wrapped.
  for (int64_t bad : {int64_t{0}, int64_t{5}, int64_t{1} << 40}) {
    WScanMessage b;
    b.tmUnixTime = bad;
    std::string error;
    EXPECT_EQ(Navigate(&b, f.client, &error), NAV_RC_BAD_TIME) << bad;
    EXPECT_EQ(error, "Bad message time");
  }
  EXPECT_EQ(f.client->timeBase, 999999990);
}

// Dates past 2038 (and past 2106, where 32 unsigned bits end) position
// exactly as the same walk does in 2026: the engine only sees times on its
// own base.
TEST(NavigateTime, LaterDatesPositionAsTheSameWalkIn2026) {
  constexpr int64_t k2026 = 1767268800;
  std::vector<WScanMessage> reference;
  std::vector<int> codes;
  {
    WalkFixture f;
    ASSERT_NE(f.client, nullptr);
    for (size_t i = 0; i < 300; ++i) {
      reference.push_back(f.at(i));
      codes.push_back(Navigate(&reference.back(), f.client, nullptr));
    }
  }
  ASSERT_GT(std::count(codes.begin(), codes.end(), 0), 250);
  // 2037-12-31 12:00, a walk across 2038-01-19 03:14:07 (15 s before it), 2038-01-20 12:00,
  // 2100-03-01 12:00 and 2110-01-01 (past 2^32 s).
  for (int64_t start : {int64_t{2145873600}, int64_t{2147483632}, int64_t{2147601600},
                        int64_t{4107585600}, int64_t{4418150400}}) {
    WalkFixture f;
    ASSERT_NE(f.client, nullptr);
    for (size_t i = 0; i < reference.size(); ++i) {
      WScanMessage m = f.at(i, start - k2026);
      ASSERT_EQ(Navigate(&m, f.client, nullptr), codes[i]) << start << " tick " << i;
      ASSERT_EQ(m.outSubLocation, reference[i].outSubLocation) << start << " tick " << i;
      ASSERT_EQ(m.outX, reference[i].outX) << start << " tick " << i;
      ASSERT_EQ(m.outY, reference[i].outY) << start << " tick " << i;
    }
  }
}

TEST(NavigateTime, ClockSteppingBackKeepsPositioningOrRestarts) {
  WalkFixture f;
  ASSERT_NE(f.client, nullptr);
  size_t i = 0;
  int rc = -1;
  for (; i < 60; ++i) {
    WScanMessage m = f.at(i);
    rc = Navigate(&m, f.client, nullptr);
  }
  ASSERT_EQ(rc, 0);
  const int64_t oldBase = f.client->timeBase;

  // Three seconds back: absorbed into the time base; every tick positions.
  for (const size_t end = i + 60; i < end; ++i) {
    WScanMessage m = f.at(i, -3);
    ASSERT_EQ(Navigate(&m, f.client, nullptr), 0) << i;
    EXPECT_EQ(m.outSubLocation, f.walk.ticks[i].truth.floorId);
    EXPECT_LT(std::hypot(m.outX - f.walk.ticks[i].truth.x, m.outY - f.walk.ticks[i].truth.y),
              8.0);
  }
  EXPECT_EQ(f.client->timeBase, oldBase - 3);

  // An hour back: a new base; the first messages have no window yet and
  // report no position instead of the old one.
  WScanMessage back = f.at(i, -3600);
  std::string error;
  EXPECT_EQ(Navigate(&back, f.client, &error), NAV_RC_NO_SOLUTION);
  EXPECT_EQ(error, "No solution");
  EXPECT_NE(f.client->timeBase, oldBase - 3);
  EXPECT_GT(f.client->timeBase, 0);

  // The window moves again on the new clock: fresh positions on the floor.
  int fresh = 0;
  for (size_t k = i + 1; k < i + 60; ++k) {
    WScanMessage m = f.at(k, -3600);
    if (Navigate(&m, f.client, nullptr) != 0) continue;
    ++fresh;
    EXPECT_EQ(m.outSubLocation, f.walk.ticks[k].truth.floorId);
    EXPECT_LT(std::hypot(m.outX - f.walk.ticks[k].truth.x, m.outY - f.walk.ticks[k].truth.y),
              8.0);
  }
  EXPECT_GT(fresh, 40);
}

TEST(NavigateInput, NonFiniteReadingsNeverReachTheOutput) {
  WalkFixture f;
  ASSERT_NE(f.client, nullptr);
  for (size_t i = 0; i < 80; ++i) {
    WScanMessage m = f.at(i);
    if (!m.entries.empty()) m.entries[0].rssi = (i % 2) ? NAN : -INFINITY;
    for (SensorEntry& e : m.sensorEntries)
      if (i % 3 == 0) e.values[i % 4] = NAN;
    SensorEntry gps;
    gps.type = SENSOR_LOCATION;
    gps.values[0] = NAN;
    gps.values[1] = INFINITY;
    m.sensorEntries.push_back(gps);
    if (i % 7 == 0 && !m.entries.empty()) m.entries.push_back(m.entries[0]);
    if (!m.entries.empty()) m.entries.back().offset = (i % 5 == 0) ? INT64_MAX : -5;
    if (Navigate(&m, f.client, nullptr) == 0) ExpectFiniteOutputs(m);
  }
}

TEST(NavigateMap, NoUsableFloorGivesTheMapCode) {
  WalkFixture f;
  ASSERT_NE(f.client, nullptr);
  for (SublocationMap& floor : f.client->navigationMap.getSublocationsVector()) {
    floor.getRadioMap().clear();
    floor.getReferencePoints().clear();
    floor.updateUniqueApsBssid();
  }
  f.client->navigationMap.getNavigationProperties().Use_gps = false;
  ASSERT_EQ(initClientNavigation(f.client), 0);  // the map itself still has floors
  const int mapError = f.client->navigation.getMapErrorCode();
  ASSERT_NE(mapError, 0);

  WScanMessage m = f.at(20);
  m.outPaths.resize(3);
  std::string error;
  EXPECT_EQ(Navigate(&m, f.client, &error), mapError);
  EXPECT_EQ(error, "No sublocations");
  EXPECT_EQ(m.outPaths.size(), 3u);  // untouched
}

TEST(OutputRecords, IndoorClampsWrapsAndRefusesNonFinite) {
  WalkFixture f;
  ASSERT_NE(f.client, nullptr);
  Navigation& nav = f.client->navigation;
  CommonNavProperties& s = nav.getNavigationProperties();
  s.Use_graph_projection = false;
  s.Min_out_R = 1.0;
  s.Max_out_R = 20.0;
  const double width = f.archive.venue.setup.width;
  SolutionInfo sol;
  sol.filteredX = width + 1.0;
  sol.filteredY = 5.0;
  sol.radius = 0.5;
  sol.filteredAngle = 3.5;
  s.Use_pf_estimated_angle = true;

  WScanMessage m;
  EXPECT_EQ(fillOutput(&m, sol, nav, f.client), NAV_RC_NO_SOLUTION);  // no floor yet
  EXPECT_EQ(m.outSubLocation, -1);
  nav.setCurSublocInd(1);
  ASSERT_EQ(fillOutput(&m, sol, nav, f.client), 0);
  EXPECT_EQ(m.outSubLocation, 2);
  EXPECT_DOUBLE_EQ(m.outKX, 1.0);
  EXPECT_DOUBLE_EQ(m.outX, width + 1.0);  // metres are kept indoors
  EXPECT_DOUBLE_EQ(m.outR, 1.0);
  EXPECT_NEAR(m.outOrientation[0], 3.5 - 2 * kPi, 1e-12);

  sol.radius = NAN;
  sol.filteredAngle = NAN;
  ASSERT_EQ(fillOutput(&m, sol, nav, f.client), 0);
  EXPECT_DOUBLE_EQ(m.outR, 20.0);
  ExpectFiniteOutputs(m);

  WScanMessage untouched;
  sol.filteredX = NAN;
  EXPECT_EQ(fillOutput(&untouched, sol, nav, f.client), NAV_RC_NO_SOLUTION);
  EXPECT_EQ(untouched.outSubLocation, -1);
  EXPECT_EQ(untouched.outX, 0.0);
}

TEST(Preprocessing, EntryTimesDroppedEntriesAndTheDenseSignalVector) {
  WScanMessage m;
  m.tmUnixTime = 1100;
  m.tmMillisecond = 100;
  auto entry = [](const char* key, int type, double rssi, int64_t offset) {
    WScanEntry e;
    e.bssid = key;
    e.type = type;
    e.rssi = rssi;
    e.offset = offset;
    return e;
  };
  m.entries = {entry("k3", 2, -70, 300), entry("raw", 1, -60, 0), entry("k1", 0, 0, 0),
               entry("k2", 2, -71, 0), entry("k4", 2, -75, INT64_MIN)};
  std::vector<AccessPoint> aps;
  wscanEntryToAccessPoint(&m, aps, 1000);
  ASSERT_EQ(aps.size(), 2u);  // raw BLE, rssi 0 and an absurd offset dropped; sorted
  EXPECT_EQ(aps[0].getBssid(), "k2");
  EXPECT_EQ(aps[1].getTimeStamp().sec, 99u);  // 100 ms - 300 ms borrows a second
  EXPECT_EQ(aps[1].getTimeStamp().ms, 800u);
  EXPECT_DOUBLE_EQ(aps[1].getTime(), 99.8);

  SublocationMap floor;
  floor.getUniqueApsBssid() = {"k1", "k2", "k3"};
  std::vector<double> dense;
  wscanAccessPointToCurrentSignals({aps[0]}, &floor, dense);
  EXPECT_EQ(dense, (std::vector<double>{1.0, -71.0, 1.0}));
}

}  // namespace
}  // namespace client_test
