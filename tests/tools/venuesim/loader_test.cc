// The engine's map loader is the judge of the archives: generated venues load
// without error and the values read back are the ones the generator wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "venue_test_util.h"
#include "venuesim/beacons_xml.h"
#include "venuesim/generator.h"
#include "venuesim/gp_xml.h"
#include "venuesim/navigation_xml.h"
#include "venuesim/venue_archive.h"
#include "wifipos/navigation_map/navigation_map.h"

using namespace venuesim;

namespace {

void ExpectFloorLoaded(const Venue& v, size_t f, const SublocationMap& floor) {
  const VenueFloor& gen = v.floors[f];
  SCOPED_TRACE("floor " + std::to_string(gen.id));
  EXPECT_EQ(floor.getId(), gen.id);
  const SublocationNavProperties& p = floor.getProperties();
  EXPECT_EQ(p.width_meters, v.setup.width);
  EXPECT_EQ(p.azimuth_deg, v.setup.azimuth);
  EXPECT_EQ(p.Number_of_part, SettingsFor(v.setup).particles);

  // Beacons sorted by key, placed and calibrated as written.
  std::vector<const VenueBeacon*> beacons;
  for (const VenueBeacon& b : gen.beacons) beacons.push_back(&b);
  std::sort(beacons.begin(), beacons.end(), [](auto* a, auto* b) { return a->key() < b->key(); });
  ASSERT_EQ(floor.getBeacons().size(), beacons.size());
  for (size_t i = 0; i < beacons.size(); ++i) {
    const Beacon& got = floor.getBeacons()[i];
    EXPECT_EQ(got.getId(), beacons[i]->key());
    EXPECT_EQ(got.getX(), beacons[i]->x);
    EXPECT_EQ(got.getA(), WrittenBeaconA(*beacons[i]));
  }
  // Reference points in file order on walkable pixels, each with its
  // histograms in the radio map.
  ASSERT_EQ(floor.getNRp(), gen.points.size());
  size_t entries = 0;
  for (size_t i = 0; i < gen.points.size(); ++i) {
    const ReferencePoint& rp = floor.getReferencePoints()[i];
    EXPECT_EQ(rp.getX(), gen.points[i].x);
    EXPECT_EQ(rp.getDuration(), gen.points[i].durationMs);
    EXPECT_FALSE(floor.getBmpState().checkBordersAndPixelColor(rp.getX(), rp.getY()));
    entries += gen.points[i].entries.size();
  }
  ASSERT_EQ(floor.getRadioMap().size(), entries);
  std::vector<size_t> next(gen.points.size(), 0);
  for (const auto& [key, ap] : floor.getRadioMap()) {
    const int i = ap.getRefPointIndex();
    ASSERT_TRUE(i >= 0 && i < static_cast<int>(gen.points.size()));
    const SurveyEntry& want = gen.points[i].entries.at(next[i]++);
    EXPECT_EQ(key, want.key);
    EXPECT_EQ(ap.getHistogram(), want.histogram);
  }
  for (const Wall& wall : gen.walls) {
    EXPECT_TRUE(floor.getBmpState().checkBordersAndPixelColor((wall.a.x + wall.b.x) / 2,
                                                              (wall.a.y + wall.b.y) / 2));
  }
  // Gaussian-process records, read only for the gp method outside the normal mode.
  const bool gp = v.setup.method == kMethodGp && v.setup.gpMode != kGpNormal;
  const auto records = GpRecordsForFloor(v, static_cast<int>(f));
  ASSERT_EQ(floor.getGpParams().size(), gp ? records.size() : 0u);
  for (size_t k = 0; gp && k < records.size(); ++k) {
    EXPECT_EQ(floor.getGpParams()[k][GP_PARAM_MU], records[k].second.mu);
    EXPECT_EQ(floor.getGpParams()[k][GP_PARAM_ELL], records[k].second.ell);
  }
}

void LoadAndCompare(const VenueSpec& setup) {
  SCOPED_TRACE("floors " + std::to_string(setup.floors) + " method " +
               std::to_string(setup.method) + " mode " + std::to_string(setup.gpMode));
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(setup, &v, &error), kOk) << error;
  venuesim_test::TempDir dir;
  const std::string path = dir.file("map.mvz");
  ASSERT_EQ(WriteVenueArchive(v, path, &error), kOk) << error;
  NavigationMap map(EngineBehaviour::kit());
  ASSERT_EQ(map.setPathToNavArchive(path.c_str()), 0);
  ASSERT_EQ(map.parseAllFiles(false), 0);
  EXPECT_EQ(map.getLocationId(), setup.locationId);
  EXPECT_EQ(map.getLocationVersion(), setup.version);
  const CommonNavProperties& nav = map.getNavigationProperties();
  EXPECT_EQ(nav.Use_algorithm, setup.method);
  EXPECT_EQ(nav.Cutoff_rss, static_cast<int>(std::lround(setup.sensitivity)));
  EXPECT_EQ(nav.gaussianProcesses.Mode, setup.gpMode);
  EXPECT_EQ(nav.gaussianProcesses.Mean_model, setup.meanModel);
  ASSERT_EQ(map.getNSublocations(), static_cast<unsigned>(setup.floors));
  for (size_t f = 0; f < v.floors.size(); ++f) ExpectFloorLoaded(v, f, map.getSublocationsVector()[f]);
}

}  // namespace

TEST(VenueLoaderTest, EveryFloorCountMethodAndModelLoadsAsWritten) {
  const int methods[] = {kMethodKnn, kMethodGp, kMethodHistogram, kMethodGauss,
                         kMethodTrilat, kMethodRp, kMethodZone};
  for (int floors = 1; floors <= 5; ++floors) {
    for (int method : methods) {
      VenueSpec s = venuesim_test::SmallSpec(static_cast<uint64_t>(floors * 1000 + method));
      s.floors = floors;
      s.method = method;
      s.azimuth = 12.5 * floors;
      s.version = floors + 3;
      LoadAndCompare(s);
    }
  }
  for (int mode : {kGpFull, kGpFixed, kGpNormal}) {
    for (int mean : {kMeanLog, kMeanConst}) {
      VenueSpec s = venuesim_test::SmallSpec(static_cast<uint64_t>(mode * 10 + mean));
      s.method = kMethodGp;
      s.gpMode = mode;
      s.meanModel = mean;
      LoadAndCompare(s);
    }
  }
  LoadAndCompare(VenueSpec());  // the shipped defaults: a 2-floor 60 x 30 m venue
}

// A venue whose archive leaves its settings out must still load with its method
// and floors, and leave the rest to the engine: the kit's defaults, or the
// original ones when asked for.
TEST(VenueLoaderTest, SettingsLeftOutAreTheEnginesDefaults) {
  for (const bool classic : {false, true}) {
    VenueSpec s = venuesim_test::SmallSpec(77);
    s.method = kMethodGp;
    s.gpMode = kGpFixed;
    s.settingsLeftOut = true;
    Venue v;
    std::string error;
    ASSERT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
    venuesim_test::TempDir dir;
    const std::string path = dir.file("map.mvz");
    ASSERT_EQ(WriteVenueArchive(v, path, &error), kOk) << error;
    NavigationMap map(EngineBehaviour::kit());
    ASSERT_EQ(map.setPathToNavArchive(path.c_str()), 0);
    map.setParameters(classic ? "defaults=classic;" : "");
    ASSERT_EQ(map.parseAllFiles(false), 0);
    const CommonNavProperties& nav = map.getNavigationProperties();
    EXPECT_EQ(nav.Use_algorithm, kMethodGp);
    EXPECT_EQ(nav.gaussianProcesses.Mode, kGpFixed);
    EXPECT_TRUE(nav.Use_smoothing);  // the generator's own settings turn it off
    EXPECT_EQ(nav.knn.Min_nvisible_aps, classic ? CommonNavProperties().knn.Min_nvisible_aps : 3);
    ASSERT_EQ(map.getNSublocations(), static_cast<unsigned>(s.floors));
    for (size_t f = 0; f < v.floors.size(); ++f) ExpectFloorLoaded(v, f, map.getSublocationsVector()[f]);
  }
}
