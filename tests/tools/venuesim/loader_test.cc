// The engine's map loader is the judge of the archives: generated venues load
// without error and every value read back is the one the generator wrote.
#include <algorithm>
#include <cmath>
#include <set>

#include <gtest/gtest.h>

#include "server/utils.h"
#include "venue_test_util.h"
#include "venuesim/beacons_xml.h"
#include "venuesim/generator.h"
#include "venuesim/gp_xml.h"
#include "venuesim/measure_xml.h"
#include "venuesim/navigation_xml.h"
#include "venuesim/rng.h"
#include "venuesim/venue_archive.h"
#include "wifipos/navigation_map/navigation_map.h"

using namespace venuesim;
using venuesim_test::TempDir;

namespace {

void ExpectFloorLoaded(const Venue& v, size_t f, const SublocationMap& floor, const std::string& pngBytes) {
  const VenueSpec& s = v.setup;
  const VenueFloor& gen = v.floors[f];
  SCOPED_TRACE("floor " + std::to_string(gen.id));
  EXPECT_EQ(floor.getId(), gen.id);
  EXPECT_EQ(floor.getName(), gen.name);
  const SublocationNavProperties& p = floor.getProperties();
  EXPECT_EQ(p.width_meters, s.width);
  EXPECT_EQ(p.height_meters, s.height);
  EXPECT_EQ(p.latitude_deg, s.latitude);
  EXPECT_EQ(p.longitude_deg, s.longitude);
  EXPECT_EQ(p.azimuth_deg, s.azimuth);
  EXPECT_EQ(p.magnetic_declination_deg, s.magneticDeclination);
  const WrittenSettings w = SettingsFor(s);
  EXPECT_EQ(p.A, w.normalModeA);
  EXPECT_EQ(p.B, w.normalModeB);
  EXPECT_EQ(p.ell, w.fixedModeEll);
  EXPECT_EQ(p.Number_of_part, w.particles);
  EXPECT_EQ(p.Resampling_treshold_persantage, w.resamplingThreshold);
  EXPECT_EQ(p.Histogram_interval_width, w.histogramIntervalWidth);
  EXPECT_EQ(p.Number_of_points_in_MNK, w.pointsInMnk);

  // Beacons: the loader keeps them sorted by key.
  std::vector<const VenueBeacon*> beacons;
  for (const VenueBeacon& b : gen.beacons) beacons.push_back(&b);
  std::sort(beacons.begin(), beacons.end(), [](auto* a, auto* b) { return a->key() < b->key(); });
  ASSERT_EQ(floor.getBeacons().size(), beacons.size());
  for (size_t i = 0; i < beacons.size(); ++i) {
    const Beacon& got = floor.getBeacons()[i];
    const VenueBeacon& want = *beacons[i];
    EXPECT_EQ(got.getId(), want.key());
    EXPECT_EQ(got.getBaseId(), want.baseId);
    EXPECT_EQ(got.getX(), want.x);
    EXPECT_EQ(got.getY(), want.y);
    EXPECT_EQ(got.getA(), WrittenBeaconA(want));
    EXPECT_EQ(got.getB(), WrittenBeaconB(want));
    EXPECT_EQ(got.getPower(), want.power);
    EXPECT_EQ(got.getBattery(), want.battery);
    EXPECT_EQ(got.getMajor(), static_cast<unsigned>(want.major));
    EXPECT_EQ(got.getMinor(), static_cast<unsigned>(want.minor));
    EXPECT_EQ(got.getUuid(), v.uuid);
    EXPECT_EQ(got.getName(), want.name);
    EXPECT_EQ(got.getStatus(), want.status);
    EXPECT_EQ(got.getLocationId(), gen.id);
  }

  // Reference points in file order, each with its histograms in the radio map.
  ASSERT_EQ(floor.getNRp(), gen.points.size());
  std::set<std::string> heard;
  size_t entries = 0;
  for (size_t i = 0; i < gen.points.size(); ++i) {
    const ReferencePoint& rp = floor.getReferencePoints()[i];
    const SurveyPoint& want = gen.points[i];
    EXPECT_EQ(rp.getName(), want.name);
    EXPECT_EQ(rp.getX(), want.x);
    EXPECT_EQ(rp.getY(), want.y);
    EXPECT_EQ(rp.getDuration(), want.durationMs);
    EXPECT_EQ(rp.getMagneticIntensity(), want.magnet);
    EXPECT_EQ(rp.getDeviceModel(), SurveyDeviceModel());
    EXPECT_EQ(rp.getDeviceId(), SurveyDeviceId(s));
    EXPECT_EQ(rp.getIndex(), static_cast<int>(i));
    EXPECT_FALSE(floor.getBmpState().checkBordersAndPixelColor(want.x, want.y)) << want.name;
    for (const SurveyEntry& e : want.entries) heard.insert(e.key);
    entries += want.entries.size();
  }
  ASSERT_EQ(floor.getRadioMap().size(), entries);
  std::vector<size_t> next(gen.points.size(), 0);
  for (const auto& [key, ap] : floor.getRadioMap()) {
    const int i = ap.getRefPointIndex();
    ASSERT_GE(i, 0);
    ASSERT_LT(i, static_cast<int>(gen.points.size()));
    // Entries of a point were written in key order, as the map iterates them.
    const SurveyEntry& want = gen.points[i].entries.at(next[i]++);
    EXPECT_EQ(key, want.key);
    EXPECT_EQ(ap.getHistogram(), want.histogram);
    EXPECT_EQ(ap.getType(), 2);
    EXPECT_EQ(ap.getPower(), want.power);
  }
  EXPECT_EQ(floor.getUniqueApsBssid(), std::vector<std::string>(heard.begin(), heard.end()));

  // The bitmap is the walkable grid: walls blocked.
  EXPECT_EQ(floor.getBmpState().getInfoHeader().biWidth, gen.grid.cols());
  EXPECT_EQ(floor.getBmpState().getInfoHeader().biHeight, gen.grid.rows());
  for (const Wall& wall : gen.walls) {
    const double x = (wall.a.x + wall.b.x) / 2, y = (wall.a.y + wall.b.y) / 2;
    EXPECT_TRUE(floor.getBmpState().checkBordersAndPixelColor(x, y)) << x << "," << y;
  }
  const std::vector<char>& png = floor.getImages().getPngData();
  EXPECT_EQ(std::string(png.begin(), png.end()), pngBytes);
  EXPECT_EQ(floor.getBmpFile(), Venue::BitmapName(gen.id));

  // Gaussian-process records, read only for the gp method outside the normal mode.
  if (s.method == kMethodGp && s.gpMode != kGpNormal) {
    const auto records = GpRecordsForFloor(v, static_cast<int>(f));
    const std::vector<std::string>& keys = floor.getUniqueApsBssid();
    ASSERT_EQ(floor.getGpParams().size(), keys.size());
    ASSERT_EQ(records.size(), keys.size());
    for (size_t k = 0; k < keys.size(); ++k) {
      ASSERT_EQ(records[k].first, keys[k]);
      const GpRecord& r = records[k].second;
      const GpParams& got = floor.getGpParams()[k];
      EXPECT_EQ(got[GP_PARAM_MU], r.mu);
      EXPECT_EQ(got[GP_PARAM_A], r.A);
      EXPECT_EQ(got[GP_PARAM_B], r.B);
      EXPECT_EQ(got[GP_PARAM_X_AP], r.xAp);
      EXPECT_EQ(got[GP_PARAM_Y_AP], r.yAp);
      EXPECT_EQ(got[GP_PARAM_SF], r.sf);
      EXPECT_EQ(got[GP_PARAM_SN], r.sn);
      EXPECT_EQ(got[GP_PARAM_ELL], r.ell);
      EXPECT_NE(got[GP_PARAM_SF], 0.0);
    }
  } else {
    EXPECT_TRUE(floor.getGpParams().empty());
  }
}

void LoadAndCompare(const VenueSpec& setup) {
  SCOPED_TRACE("floors " + std::to_string(setup.floors) + " method " + std::to_string(setup.method) + " mode " +
               std::to_string(setup.gpMode));
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(setup, &v, &error), kOk) << error;
  std::vector<ArchiveMember> members;
  ASSERT_EQ(BuildArchiveMembers(v, &members, &error), kOk) << error;
  TempDir dir;
  const std::string path = dir.file("map.mvz");
  ASSERT_EQ(WriteZipArchive(path, members, &error), kOk) << error;

  NavigationMap map;
  ASSERT_EQ(map.setPathToNavArchive(path.c_str()), 0);
  ASSERT_EQ(map.parseAllFiles(false), 0);
  EXPECT_EQ(map.getLocationId(), setup.locationId);
  EXPECT_EQ(map.getLocationName(), setup.locationName);
  EXPECT_EQ(map.getLocationDescription(), setup.description);
  EXPECT_EQ(map.getLocationVersion(), setup.version);
  const CommonNavProperties& nav = map.getNavigationProperties();
  const WrittenSettings w = SettingsFor(setup);
  EXPECT_EQ(nav.Use_algorithm, setup.method);
  EXPECT_EQ(nav.Use_Signals, NAV_SIGNALS_BLE);
  EXPECT_EQ(nav.Cutoff_rss, static_cast<int>(std::lround(setup.sensitivity)));
  EXPECT_FALSE(nav.Use_gps);
  EXPECT_EQ(nav.gaussianProcesses.Mode, setup.gpMode);
  EXPECT_EQ(nav.gaussianProcesses.Mean_model, setup.meanModel);
  EXPECT_EQ(nav.gaussianProcesses.Normal_mode_A, w.normalModeA);
  EXPECT_EQ(nav.gaussianProcesses.Normal_mode_B, w.normalModeB);
  EXPECT_EQ(nav.gaussianProcesses.Fixed_mode_ell, w.fixedModeEll);
  EXPECT_EQ(nav.gaussianProcesses.Correction_noise, w.correctionNoise);
  EXPECT_EQ(nav.knn.Histogram_type, HISTOGRAM_BINNED);
  ASSERT_EQ(map.getNSublocations(), static_cast<unsigned>(setup.floors));
  for (size_t f = 0; f < v.floors.size(); ++f) {
    std::string png;
    for (const ArchiveMember& m : members)
      if (m.name == Venue::ImageName(v.floors[f].id)) png = m.data;
    ExpectFloorLoaded(v, f, map.getSublocationsVector()[f], png);
  }
}

}  // namespace

TEST(VenueLoaderTest, EveryFloorCountMethodAndModelLoadsAsWritten) {
  const int methods[] = {kMethodKnn, kMethodGp, kMethodHistogram, kMethodGauss, kMethodTrilat, kMethodRp, kMethodZone};
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

// Damaged archives of generated venues (bytes of members flipped, members cut
// short) must be refused or loaded by the engine, never crash it.
TEST(VenueLoaderTest, MutatedGeneratedArchivesNeverCrashTheLoader) {
  VenueSpec s = venuesim_test::SmallSpec(77);
  s.width = 16;
  s.height = 12;
  s.method = kMethodGp;
  Venue v;
  std::string error;
  ASSERT_EQ(GenerateVenue(s, &v, &error), kOk) << error;
  std::vector<ArchiveMember> members;
  ASSERT_EQ(BuildArchiveMembers(v, &members, &error), kOk) << error;
  TempDir dir;
  const std::string path = dir.file("map.mvz");
  Rng rng(4242);
  _Logger.setDebugLevel(0);
  for (int round = 0; round < 60; ++round) {
    std::vector<ArchiveMember> damaged = members;
    ArchiveMember& m = damaged[rng.uniformInt(0, static_cast<int>(damaged.size()) - 1)];
    if (m.data.empty()) continue;
    if (rng.uniform() < 0.3) {
      m.data.resize(static_cast<size_t>(rng.uniformInt(0, static_cast<int>(m.data.size()) - 1)));
    } else {
      for (int k = rng.uniformInt(1, 8); k > 0; --k) {
        const size_t at = static_cast<size_t>(rng.uniformInt(0, static_cast<int>(m.data.size()) - 1));
        m.data[at] = static_cast<char>(rng.uniformInt(0, 255));
      }
    }
    ASSERT_EQ(WriteZipArchive(path, damaged, &error), kOk) << error;
    NavigationMap map;
    map.setPathToNavArchive(path.c_str());
    const int code = map.parseAllFiles(false);
    EXPECT_GE(code, -1) << m.name;
  }
  _Logger.setDebugLevel(1);
}
