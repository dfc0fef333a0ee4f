#include "replay/replay_run.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "replay/track_png.h"
#include "tools/venuesim/venue_test_util.h"
#include "venuesim/generator.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"

namespace {

using namespace venuesim;

// A small two-floor venue and a short walk across it, written to a scratch
// directory once for all replay tests.
struct Scene {
  venuesim_test::TempDir dir;
  Walk walk;
  std::string map, log, truth;
};

const Scene& SharedScene() {
  // Held, not leaked: its destructor removes the scratch directory at exit.
  static const std::unique_ptr<Scene> s([] {
    auto* x = new Scene;
    std::string error;
    Venue venue;
    VenueSpec setup = venuesim_test::SmallSpec(21);
    setup.width = 36.0;
    if (GenerateVenue(setup, &venue, &error) != kOk) ADD_FAILURE() << error;
    x->map = x->dir.file("venue.mvz");
    if (WriteVenueArchive(venue, x->map, &error) != kOk) ADD_FAILURE() << error;
    const PropagationModel model(venue);
    WalkSpec ws;
    ws.seed = 4;
    ws.standSeconds = 5.0;
    if (GenerateWalk(venue, model, ws, &x->walk, &error) != kOk) ADD_FAILURE() << error;
    x->log = x->dir.file("walk.log");
    x->truth = x->dir.file("walk.truth.csv");
    if (WriteWalkFiles(x->walk, x->log, x->truth, &error) != kOk) ADD_FAILURE() << error;
    return x;
  }());
  return *s;
}

// A generated walk replayed over its own venue: every tick positioned and
// compared, figures in a sane range, one picture per floor.
TEST(ReplayRunTest, GeneratedWalkGivesSaneTableAndPictures) {
  const Scene& s = SharedScene();
  replay::ReplayOptions o;
  o.mapPath = s.map;
  o.logPath = s.log;
  o.truthPath = s.truth;
  o.pngDir = s.dir.path();
  o.progress = false;
  const TruthSample& end = s.walk.ticks.back().truth;
  o.targets.push_back(LocationPoint(end.floorId, end.x, end.y));
  replay::ReplayReport r;
  std::string error;
  ASSERT_EQ(replay::RunReplay(o, &r, &error), 0) << error;
  const int n = static_cast<int>(s.walk.ticks.size());
  EXPECT_EQ(r.records, n);
  EXPECT_EQ(r.badRecords, 0);
  EXPECT_EQ(r.emptyRecords, 0);
  EXPECT_EQ(static_cast<int>(r.ticks.size()), n);
  EXPECT_EQ(r.evaluated, n);
  EXPECT_GT(r.withPosition, n * 9 / 10);
  EXPECT_GT(r.rightFloorShare, 0.6);
  EXPECT_GT(r.medianError, 0.0);
  EXPECT_LT(r.medianError, 8.0);
  EXPECT_LE(r.medianError, r.p75Error);
  EXPECT_LE(r.p75Error, r.p95Error);
  EXPECT_NEAR(r.score, r.p75Error + 15.0 * (1.0 - r.rightFloorShare), 1e-9);
  EXPECT_GT(r.steps, s.walk.trueSteps / 2);
  EXPECT_LT(r.steps, s.walk.trueSteps * 3 / 2);
  EXPECT_GT(r.meanStepMs, 0.0);
  ASSERT_EQ(r.pictures.size(), 2u);
  // The true path lies where it belongs on the picture of its floor.
  for (const std::string& p : r.pictures) {
    cairo_surface_t* img = cairo_image_surface_create_from_png(p.c_str());
    ASSERT_EQ(cairo_surface_status(img), CAIRO_STATUS_SUCCESS) << p;
    cairo_surface_flush(img);
    const int w = cairo_image_surface_get_width(img), h = cairo_image_surface_get_height(img);
    const int stride = cairo_image_surface_get_stride(img);
    const unsigned char* px = cairo_image_surface_get_data(img);
    const int floorId = p.back() == 'g' && p[p.size() - 5] == '2' ? 2 : 1;
    int green = 0, checked = 0;
    for (size_t i = 0; i < s.walk.ticks.size(); i += 25) {
      const TruthSample& t = s.walk.ticks[i].truth;
      if (t.floorId != floorId) continue;
      const double scale = w / 36.0, top = 2 * replay::PlanTextBand(w);
      const int col = static_cast<int>(t.x * scale), row = static_cast<int>(top + (20.0 - t.y) * scale);
      if (col < 0 || row < 0 || col >= w || row >= h) continue;
      const uint32_t v = *reinterpret_cast<const uint32_t*>(px + row * stride + col * 4);
      const int red = (v >> 16) & 0xff, gr = (v >> 8) & 0xff, bl = v & 0xff;
      ++checked;
      if (gr > red + 40 && gr > bl + 40) ++green;
    }
    cairo_surface_destroy(img);
    EXPECT_GT(checked, 3) << p;
    EXPECT_GE(green * 10, checked * 6) << p;
  }
  const std::string table = replay::FormatReplayReport(r);
  EXPECT_NE(table.find("error p75"), std::string::npos);
  EXPECT_NE(table.find("Score = p75 error + 15 m"), std::string::npos);
}

// Damaged logs: a broken record and an empty one are counted and skipped,
// the rest is still positioned; unusable inputs fail with a message.
TEST(ReplayRunTest, DamagedInputsAreCountedOrRefused) {
  const Scene& s = SharedScene();
  std::string log = venuesim_test::FileBytes(s.log);
  const size_t second = log.find("<?xml", 10);
  ASSERT_NE(second, std::string::npos);
  log.insert(second, "<?xml version=\"1.0\"?>\n\n<?xml version=\"1.0\"?>\n<message><device time=\"bad");
  const std::string damaged = s.dir.file("damaged.log");
  std::ofstream(damaged, std::ios::binary) << log;

  replay::ReplayOptions o;
  o.mapPath = s.map;
  o.logPath = damaged;
  o.truthPath = s.truth;
  o.progress = false;
  replay::ReplayReport r;
  std::string error;
  ASSERT_EQ(replay::RunReplay(o, &r, &error), 0) << error;
  EXPECT_EQ(r.emptyRecords, 1);
  EXPECT_EQ(r.badRecords, 1);
  EXPECT_EQ(r.ticks.size(), s.walk.ticks.size());

  const std::string badTruth = s.dir.file("bad.csv");
  std::ofstream(badTruth) << "when,where\n1,2\n";
  const std::string missing = s.dir.file("nothing-here");
  // Logs with nothing to replay are refused, not scored as 0 ticks.
  const std::string emptyLog = s.dir.file("empty.log"), junkLog = s.dir.file("junk.log");
  std::ofstream(emptyLog) << "";
  std::ofstream(junkLog) << "<?xml version=\"1.0\"?>\n<message><device time=\"bad\"/></message>\n";
  struct Case {
    std::string map, log, truth, png;
  } cases[] = {{missing, s.log, "", ""},
               {s.log, s.log, "", ""},  // a log is no map archive
               {s.map, missing, "", ""},
               {s.map, s.log, missing, ""},
               {s.map, s.log, badTruth, ""},
               {s.map, s.log, "", s.dir.file("no/such/dir")},
               {s.map, emptyLog, s.truth, ""},
               {s.map, junkLog, s.truth, ""}};
  for (const Case& c : cases) {
    o.mapPath = c.map;
    o.logPath = c.log;
    o.truthPath = c.truth;
    o.pngDir = c.png;
    error.clear();
    EXPECT_EQ(replay::RunReplay(o, &r, &error), 1) << c.map << " " << c.log << " " << c.truth;
    EXPECT_FALSE(error.empty());
  }
}

// A recorded walk over its survey: the engine keeps the 75th percentile
// error well under what plain nearest neighbours get on it (2.85 m).
TEST(ReplayRunTest, RecordedBleWalk) {
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  const std::string dir = shared ? std::string(shared) + "/ble-tetam" : "";
  if (dir.empty() || !std::filesystem::exists(dir + "/straight_01.log")) GTEST_SKIP() << "no recorded data";
  replay::ReplayOptions o;
  o.mapPath = dir + "/map.mvz";
  o.logPath = dir + "/straight_01.log";
  o.truthPath = dir + "/straight_01.truth.csv";
  o.progress = false;
  replay::ReplayReport r;
  std::string error;
  ASSERT_EQ(replay::RunReplay(o, &r, &error), 0) << error;
  EXPECT_EQ(r.badRecords, 0);
  EXPECT_GT(r.evaluated, 500);
  EXPECT_GT(r.rightFloorShare, 0.95);
  EXPECT_LT(r.p75Error, 3.0);
}

}  // namespace
