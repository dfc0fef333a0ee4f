#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "replay/command_args.h"
#include "replay/truth_table.h"
#include "venuesim/rng.h"

namespace {

using namespace replay;

TEST(TruthTableTest, ReadsRowsSortsAndMatchesTimes) {
  TruthTable t;
  std::string error;
  const char* text =
      "time,floor_id,x,y,packet\r\n"
      "1581249601.600,1,18.030,8.465,1\r\n"
      "1581249601.500,1,18.031,8.466,0\n"
      "\n"
      "1581249601.700,2,x,8.4,2\n"  // unreadable x
      "1581249601.750,2, ,8.4,2\n"  // empty x
      "1581249601.800,1.5,1,1,3\n"  // floor not whole
      "nan,1,1,1,4\n"
      "1581249601.900,2,-1e3,4,5";    // no line end at the end
  ASSERT_EQ(ParseTruthTable(text, &t, &error), 0) << error;
  ASSERT_EQ(t.rows.size(), 3u);
  EXPECT_EQ(t.badLines, 4);
  EXPECT_EQ(t.rows[0].timeMs, 1581249601500);
  EXPECT_DOUBLE_EQ(t.rows[0].y, 8.466);
  EXPECT_EQ(t.rows[2].floorId, 2);
  EXPECT_DOUBLE_EQ(t.rows[2].x, -1000.0);
  // Nearest row within the tolerance only.
  ASSERT_NE(t.at(1581249601560), nullptr);
  EXPECT_EQ(t.at(1581249601560)->timeMs, 1581249601600);
  EXPECT_EQ(t.at(1581249601540)->timeMs, 1581249601500);
  EXPECT_EQ(t.at(1581249601960)->timeMs, 1581249601900);
  EXPECT_EQ(t.at(1581249601961), nullptr);
  EXPECT_EQ(t.at(1581249601439), nullptr);
  EXPECT_EQ(t.at(1581249601750), nullptr);

  EXPECT_EQ(ParseTruthTable("t,floor,x,y\n1,1,1,1\n", &t, &error), 1);
  EXPECT_TRUE(t.rows.empty());
  EXPECT_EQ(ParseTruthTable("", &t, &error), 1);
  EXPECT_EQ(TruthTable().at(0), nullptr);
}

TEST(TruthTableTest, MutatedTablesReadSafely) {
  std::string base = "time,floor_id,x,y,packet,heading\n";
  for (int i = 0; i < 20; ++i) base += "1767268800." + std::to_string(100 + i) + ",1,3.25,7.5," + std::to_string(i) + ",0.1\n";
  venuesim::Rng rng(77);
  for (int round = 0; round < 500; ++round) {
    std::string text = base;
    for (int e = rng.uniformInt(1, 10); e > 0 && !text.empty(); --e) {
      const size_t pos = static_cast<size_t>(rng.uniformInt(0, static_cast<int>(text.size()) - 1));
      if (rng.uniform() < 0.5) text[pos] = "0123456789,.-e\n \x80"[rng.uniformInt(0, 16)];
      else text.erase(pos, 1);
    }
    TruthTable t;
    std::string error;
    if (ParseTruthTable(text, &t, &error) == 0) {
      const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
      EXPECT_LE(t.rows.size() + t.badLines, lines - 1);
      for (size_t i = 1; i < t.rows.size(); ++i) EXPECT_LE(t.rows[i - 1].timeMs, t.rows[i].timeMs);
      t.at(1767268800110);
    }
  }
}

TEST(ReplayArgsTest, ReadsOptionsAndRefusesBadOnes) {
  ReplayOptions o;
  std::string error;
  ASSERT_EQ(ParseReplayArgs({"--map", "m.mvz", "--log", "w.log", "--truth", "w.csv", "--target", "1,2.5,3",
                             "2,-1,4e1", "--png-dir", "out", "--quiet", "--target", "3,0,0"},
                            &o, &error),
            0)
      << error;
  EXPECT_EQ(o.truthPath, "w.csv");
  EXPECT_FALSE(o.progress);
  ASSERT_EQ(o.targets.size(), 3u);
  EXPECT_EQ(o.targets[1].subLoc, 2);
  EXPECT_DOUBLE_EQ(o.targets[1].x, -1.0);
  EXPECT_DOUBLE_EQ(o.targets[1].y, 40.0);

  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--map", "m.mvz"},
      {"--map", "m.mvz", "--log"},
      {"--map", "m.mvz", "--log", "w.log", "--target"},
      {"--map", "m.mvz", "--log", "w.log", "--target", "1,2"},
      {"--map", "m.mvz", "--log", "w.log", "--target", "1,2,3,4"},
      {"--map", "m.mvz", "--log", "w.log", "--target", "1,nan,3"},
      {"--map", "m.mvz", "--log", "w.log", "--target", "99999999999,1,3"},
      {"--map", "m.mvz", "--log", "w.log", "--bogus"},
  };
  for (const auto& args : bad) {
    ReplayOptions untouched;
    untouched.mapPath = "keep";
    error.clear();
    EXPECT_EQ(ParseReplayArgs(args, &untouched, &error), 2);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(untouched.mapPath, "keep");
  }

  // Help is asked for, not refused, even on an otherwise broken line.
  ReplayOptions helped;
  EXPECT_EQ(ParseReplayArgs({"--map", "--help"}, &helped, &error), 1);

  // Mutated command lines from a fixed seed: a result, never a crash.
  venuesim::Rng rng(5);
  const std::vector<std::string> words = {"--map", "--log", "--truth", "--target", "--png-dir", "--quiet",
                                          "1,2,3", "x", "", "-", "--", "1,,3", ",", "m.mvz"};
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> args;
    for (int k = rng.uniformInt(0, 8); k > 0; --k) args.push_back(words[rng.uniformInt(0, static_cast<int>(words.size()) - 1)]);
    ReplayOptions r;
    const int rc = ParseReplayArgs(args, &r, &error);
    EXPECT_TRUE(rc == 0 || rc == 2) << rc;
    if (rc == 0) {
      EXPECT_FALSE(r.mapPath.empty() || r.logPath.empty());
    }
  }
}

}  // namespace
