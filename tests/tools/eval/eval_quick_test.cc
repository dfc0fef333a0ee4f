// The quick evaluation end to end: every row it promises is there with
// finite figures, and the recordings' classic rows give the replay command's
// own figures for the same track and map.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "eval/eval_run.h"
#include "replay/replay_run.h"
#include "tools/venuesim/venue_test_util.h"

// The pictures' text goes through fontconfig, whose caches live until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
// libzip asks libc for the local time zone from every thread that opens an
// archive; libc guards it with a lock the race detector does not see.
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::string Recordings() {
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  return std::string(shared && *shared ? shared : "../shared/data") + "/ble-tetam";
}

const eval::Row* Find(const std::vector<eval::Row>& rows, const std::string& group, const std::string& kind,
                      const std::string& method, const std::string& setting) {
  for (const eval::Row& r : rows) {
    if (r.group == group && r.kind == kind && r.method == method && r.setting == setting) return &r;
  }
  return nullptr;
}

TEST(AccuracyEval, QuickRunHasEveryRowWithFiniteFigures) {
  // Dozens of replays: minutes under the sanitizers, whose own tests cover the parts.
  if (kSanitized) GTEST_SKIP() << "end-to-end run left to the plain build";
  const bool haveData = std::filesystem::exists(Recordings() + "/map.mvz");
  venuesim_test::TempDir pictures;
  eval::EvalOptions options;
  options.plan = eval::QuickPlan(haveData ? Recordings() : "");
  options.threads = 4;
  options.pictureDir = pictures.path();
  eval::EvalResult result;
  std::string error;
  ASSERT_EQ(eval::RunEvaluation(options, &result, &error), 0) << error;
  EXPECT_TRUE(result.notes.empty()) << result.notes.front();

  for (const char* group : {"tuning venues", "held-out venues"}) {
    for (const eval::Method& m : options.plan.methods) {
      for (const char* setting : {"classic", "kit"}) {
        const eval::Row* r = Find(result.rows, group, options.plan.kinds[0].name, m.name, setting);
        ASSERT_NE(r, nullptr) << group << " " << m.name << " " << setting;
        EXPECT_EQ(r->walks, 1);
        EXPECT_GT(r->errors.size(), 100u);
        // A two-floor walk changes floor once and turns at least once.
        EXPECT_EQ(r->floorLags.size(), 1u);
        EXPECT_FALSE(r->turnLags.empty());
      }
    }
  }
  for (const eval::Row& r : result.rows) {
    SCOPED_TRACE(r.group + " / " + r.kind + " / " + r.method + " / " + r.setting);
    EXPECT_TRUE(std::isfinite(r.median()) && r.median() > 0 && r.median() < 20);
    EXPECT_TRUE(std::isfinite(r.p75()) && r.p75() >= r.median());
    EXPECT_GE(r.rightFloorShare(), 0.5);
    EXPECT_LE(r.rightFloorShare(), 1.0);
  }
  // One error distribution per set, and a plan of every floor each walk visits per method.
  for (const char* cdf : {"cdf-tuning-venues.png", "cdf-held-out-venues.png"}) {
    EXPECT_TRUE(std::filesystem::exists(pictures.file(cdf))) << cdf;
  }
  size_t plans = 0, deadReckoning = 0;
  for (const std::string& p : result.pictures) {
    EXPECT_TRUE(std::filesystem::file_size(p) > 1000) << p;
    if (p.find("/walks/tuning-venues-") == std::string::npos) continue;
    ++(p.find("-dead-reckoning-") != std::string::npos ? deadReckoning : plans);
  }
  EXPECT_EQ(plans, 2 * options.plan.methods.size());  // the walk changes floor
  EXPECT_EQ(deadReckoning, 1u);                         // that walk stays on one
  const std::string text = eval::FormatTable(result.rows);
  EXPECT_NE(text.find("held-out venues"), std::string::npos);
  EXPECT_NE(text.find("turn lag:"), std::string::npos);

  if (!haveData) GTEST_SKIP() << "no recordings at " << Recordings();
  ASSERT_EQ(result.goals.size(), 2 * options.plan.tracks.size());
  const std::pair<const char*, const char*> maps[] = {{"recording, same-date map", "map.mvz"},
                                                      {"recording, other-date map", "map_set2.mvz"}};
  for (const auto& [group, map] : maps) {
    for (const std::string& track : options.plan.tracks) {
      SCOPED_TRACE(std::string(map) + " " + track);
      replay::ReplayOptions ro;
      ro.mapPath = Recordings() + "/" + map;
      ro.logPath = Recordings() + "/" + track + ".log";
      ro.truthPath = Recordings() + "/" + track + ".truth.csv";
      ro.progress = false;
      replay::ReplayReport report;
      const eval::Row* classic = Find(result.rows, group, track, "engine", "classic");
      const eval::Row* knn = Find(result.rows, group, track, "3-NN", "-");
      ASSERT_NE(classic, nullptr);
      ASSERT_NE(knn, nullptr);
      EXPECT_NE(Find(result.rows, group, track, "engine", "kit"), nullptr);
      // Without "defaults=classic;" the replay runs the kit; with it the
      // engine must give the figures recorded before the kit's changes, so
      // compare the classic row with a replay asking for the same.
      ro.parameters = "defaults=classic;";
      ASSERT_EQ(replay::RunReplay(ro, &report, &error), 0) << error;
      EXPECT_DOUBLE_EQ(classic->median(), report.medianError);
      EXPECT_DOUBLE_EQ(classic->p75(), report.p75Error);
      EXPECT_NEAR(classic->rightFloorShare(), report.rightFloorShare, 1e-12);
    }
  }
  // The figures the engine gave on the same-date map before the kit changed
  // anything (median, p75, to the centimetre): the classic setting keeps them.
  const struct {
    const char* track;
    double median, p75;
  } earlier[] = {{"straight_01", 2.03, 2.22},
                 {"straight_02", 1.91, 2.91},
                 {"rectangular_without_rotation", 2.28, 2.99},
                 {"zigzagging_without_rotation", 1.58, 2.41}};
  for (const auto& e : earlier) {
    const eval::Row* classic = Find(result.rows, "recording, same-date map", e.track, "engine", "classic");
    if (!classic) continue;
    EXPECT_NEAR(classic->median(), e.median, 0.0051) << e.track;
    EXPECT_NEAR(classic->p75(), e.p75, 0.0051) << e.track;
  }
}

// One small venue, one method, both settings and dead reckoning, on one
// thread and on three: the same figures to the last bit. Small enough for
// the sanitizer builds, where it also checks that clients on several threads
// share nothing.
TEST(AccuracyEval, ThreadsDoNotChangeTheFigures) {
  eval::EvalOptions options;
  options.plan = eval::QuickPlan("");
  options.plan.methods.resize(1);
  options.plan.heldOutSeeds.clear();
  options.plan.tuningSeeds = {11, 12};
  eval::EvalResult one, three;
  std::string error;
  options.threads = 1;
  ASSERT_EQ(eval::RunEvaluation(options, &one, &error), 0) << error;
  options.threads = 3;
  ASSERT_EQ(eval::RunEvaluation(options, &three, &error), 0) << error;
  ASSERT_EQ(one.rows.size(), 2u);  // classic and kit of one kind: no totals
  ASSERT_EQ(three.rows.size(), one.rows.size());
  for (size_t i = 0; i < one.rows.size(); ++i) {
    EXPECT_EQ(one.rows[i].setting, three.rows[i].setting);
    EXPECT_EQ(one.rows[i].walks, 2);
    EXPECT_EQ(one.rows[i].errors, three.rows[i].errors);
    EXPECT_EQ(one.rows[i].turnLags, three.rows[i].turnLags);
    EXPECT_EQ(one.rows[i].floorLags, three.rows[i].floorLags);
  }
  ASSERT_EQ(one.deadReckoning.size(), 2u);
  ASSERT_EQ(three.deadReckoning.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const eval::DeadReckoningFigures& a = one.deadReckoning[i].figures;
    const eval::DeadReckoningFigures& b = three.deadReckoning[i].figures;
    EXPECT_EQ(a.walks, 2);
    EXPECT_GT(a.walked, 20.0);
    EXPECT_EQ(a.travelled, b.travelled);
    EXPECT_EQ(a.endErrors, b.endErrors);
  }
}

}  // namespace

namespace {

TEST(EvalHalves, EachHalfIsScoredOnItsOwnTicks) {
  // Ticks 0..9 s: errors of 1 m before the middle (4.5 s) and 3 m from it,
  // but for one wild tick in the first half.
  std::vector<world::ScoredTick> ticks;
  for (int i = 0; i < 10; ++i) {
    world::ScoredTick t;
    t.seconds = i;
    t.hasPosition = true;
    t.floorId = t.truthFloorId = 1;
    t.x = i < 5 ? 1.0 : 3.0;
    if (i == 2) t.x = 40.0;
    ticks.push_back(t);
  }
  const struct {
    const char* name;
    int half;
    double p75;
  } cases[] = {{"first half", 0, 1.0}, {"second half", 1, 3.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(eval::HalfP75(ticks, c.half), c.p75, 1e-9);
  }
  EXPECT_EQ(eval::HalfP75({}, 0), 0.0);
  eval::GoalCheck g;
  g.halfKitP75[0] = 1.5;
  g.halfKnnP75[0] = 2.0;
  EXPECT_NEAR(g.halfBelow(0), 0.25, 1e-12);
  EXPECT_EQ(g.halfBelow(1), 0.0);  // no 3-NN figure: nothing to be below
}

}  // namespace
