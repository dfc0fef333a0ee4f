// Positioning by the radio alone, as with recordings that carry no motion
// samples: walks of generated venues replayed without their sensor entries,
// by a phone that reads as the survey did and by phones that read every
// level a few dB low or high.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "navigate_test_support.h"

namespace client_test {
namespace {

struct RadioRun {
  positioning_test::WalkScore score;
  double levelOffset = 0.0;  // what the client learnt the phone reads above the survey
};

// Replays a one-floor walk without motion samples, every reading moved by
// shiftDb; readings that fall below the venue's sensitivity are not heard.
RadioRun RadioOnlyWalk(const VenueArchive& archive, const venuesim::Walk& walk, double shiftDb,
                  double sensitivity) {
  RadioRun run;
  ClientNavigationState* client =
      CreateNavigationClient(archive.path.c_str(), "radio-only", "SimPhone1,1", false, nullptr);
  EXPECT_NE(client, nullptr);
  if (client == nullptr) return run;
  TuneForWalks(client, true);
  const double start = walk.ticks.front().truth.time;
  for (size_t i = 0; i < walk.ticks.size(); ++i) {
    WScanMessage m = TickMessage(walk, i, false);
    std::vector<WScanEntry> heard;
    for (WScanEntry e : m.entries) {
      e.rssi += shiftDb;
      if (e.rssi >= sensitivity) heard.push_back(e);
    }
    m.entries = heard;
    std::string error;
    const int rc = Navigate(&m, client, &error);
    const venuesim::TruthSample& truth = walk.ticks[i].truth;
    // The first seconds fill the window and let the level offset settle.
    if (truth.time - start < 20.0) continue;
    const double e = std::hypot(m.outX - truth.x, m.outY - truth.y);
    run.score.add(rc == 0 && m.outSubLocation == truth.floorId, true, std::isfinite(e) ? e : 1e9);
  }
  run.levelOffset = client->navigation.getLevelOffset();
  DeleteNavigationClient(client);
  return run;
}

// A one-floor generated venue of `seed` and a walk on it without motion
// samples, standing for `standSeconds` when that is above 0.
struct RadioOnlyScene {
  venuesim::VenueSpec setup;
  std::unique_ptr<VenueArchive> archive;
  venuesim::Walk walk;
};

RadioOnlyScene MakeRadioOnlyScene(uint64_t seed, const std::string& name, double standSeconds) {
  RadioOnlyScene scene;
  scene.setup = DefaultSpec(107);
  scene.setup.seed = seed;
  scene.setup.floors = 1;
  scene.archive = std::make_unique<VenueArchive>(scene.setup, name + std::to_string(seed));
  EXPECT_TRUE(scene.archive->error.empty()) << scene.archive->error;
  if (!scene.archive->error.empty()) return scene;
  venuesim::PropagationModel model(scene.archive->venue);
  venuesim::WalkSpec ws;
  ws.seed = seed + 500;
  ws.startFloor = 0;
  ws.endFloor = 0;
  if (standSeconds > 0.0) ws.standSeconds = standSeconds;
  ws.sensors = false;
  std::string error;
  EXPECT_EQ(venuesim::GenerateWalk(scene.archive->venue, model, ws, &scene.walk, &error), 0) << error;
  return scene;
}

TEST(RadioOnly, WalksWithoutMotionSamplesStayCloseWhateverThePhoneReads) {
  const struct {
    const char* name;
    uint64_t seed;
    double shiftDb;
    double p75;        // metres; matching the readings as they come gives 3.6 m 6 dB low
    double offsetTol;  // dB between the learnt offset and the shift
  } cases[] = {
      {"as surveyed", 31, 0.0, 2.3, 1.5},
      {"6 dB low", 31, -6.0, 2.3, 2.0},
      {"6 dB high", 31, 6.0, 2.3, 2.0},
      {"as surveyed, other venue", 32, 0.0, 2.3, 1.5},
      {"8 dB low, other venue", 32, -8.0, 2.5, 2.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RadioOnlyScene scene = MakeRadioOnlyScene(c.seed, "radio-only-", 0.0);
    ASSERT_FALSE(HasFailure());
    const RadioRun run = RadioOnlyWalk(*scene.archive, scene.walk, c.shiftDb, scene.setup.sensitivity);
    run.score.print(std::string("radio only, ") + c.name);
    std::printf("[ offset   ] %-40s learnt %+.2f dB\n", c.name, run.levelOffset);
    EXPECT_GE(run.score.floorShare(), 0.99);
    EXPECT_LE(run.score.percentile(0.75), c.p75);
    EXPECT_NEAR(run.levelOffset, c.shiftDb, c.offsetTol);
  }
}

// A phone lying still without motion samples: nothing tells the kit that it
// stands, so only the smoothing of the radio fixes keeps the output near
// the spot.
TEST(RadioOnly, AStillPhoneWithoutMotionSamplesStaysNearItsSpot) {
  const struct {
    const char* name;
    uint64_t seed;
    double p95;  // metres from the spot; the tracking of a detected walk gives 0.82 and 1.67
  } cases[] = {
      {"venue 41", 41, 0.80},
      {"venue 42", 42, 1.58},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const double standSeconds = 90.0;
    const RadioOnlyScene scene = MakeRadioOnlyScene(c.seed, "radio-still-", standSeconds);
    ASSERT_FALSE(HasFailure());
    const VenueArchive& archive = *scene.archive;
    const venuesim::Walk& walk = scene.walk;
    ClientNavigationState* client =
        CreateNavigationClient(archive.path.c_str(), "still", "SimPhone1,1", false, nullptr);
    ASSERT_NE(client, nullptr);
    TuneForWalks(client, true);
    positioning_test::WalkScore score;
    std::string error;
    const double start = walk.ticks.front().truth.time;
    for (size_t i = 0; i < walk.ticks.size(); ++i) {
      const venuesim::TruthSample& truth = walk.ticks[i].truth;
      if (truth.time - start >= standSeconds) break;
      WScanMessage m = TickMessage(walk, i, false);
      const int rc = Navigate(&m, client, &error);
      if (truth.time - start < 10.0) continue;
      const double e = std::hypot(m.outX - truth.x, m.outY - truth.y);
      score.add(rc == 0 && m.outSubLocation == truth.floorId, true, std::isfinite(e) ? e : 1e9);
    }
    DeleteNavigationClient(client);
    score.print(std::string("still, radio only, ") + c.name);
    EXPECT_GE(score.floorShare(), 0.99);
    EXPECT_LE(score.percentile(0.95), c.p95);
  }
}

}  // namespace
}  // namespace client_test

namespace client_test {
namespace {

// Without motion samples the tracked velocity is mostly the fixes' scatter:
// the output is not read ahead along it. With them it is, by up to a second.
TEST(RadioOnly, TheOutputIsReadAheadOnlyWithMotionSamples) {
  const struct {
    const char* name;
    bool sensors;
    double readAhead;  // seconds
  } cases[] = {{"radio only", false, 0.0}, {"with motion samples", true, 1.0}};
  const RadioOnlyScene scene = MakeRadioOnlyScene(33, "read-ahead-", 0.0);
  ASSERT_FALSE(HasFailure());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    venuesim::PropagationModel model(scene.archive->venue);
    venuesim::WalkSpec ws;
    ws.seed = 533;
    ws.startFloor = 0;
    ws.endFloor = 0;
    ws.sensors = c.sensors;
    venuesim::Walk walk;
    std::string error;
    ASSERT_EQ(venuesim::GenerateWalk(scene.archive->venue, model, ws, &walk, &error), 0) << error;
    ClientNavigationState* client =
        CreateNavigationClient(scene.archive->path.c_str(), "read-ahead", "SimPhone1,1", false, nullptr);
    ASSERT_NE(client, nullptr);
    TuneForWalks(client, true);
    int positioned = 0;
    for (size_t i = 0; i < walk.ticks.size() && i < 300; ++i) {
      WScanMessage m = TickMessage(walk, i, c.sensors);
      if (Navigate(&m, client, &error) == 0) ++positioned;
    }
    EXPECT_GT(positioned, 100);
    for (int channel = 0; channel < 2; ++channel) {
      EXPECT_EQ(client->smoothing.channel(channel).getReadAhead(), c.readAhead);
    }
    DeleteNavigationClient(client);
  }
}

}  // namespace
}  // namespace client_test
