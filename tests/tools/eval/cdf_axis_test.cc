// The error plots' axis: chosen from the curves, shared by the plots meant
// to be compared, and what it cuts off counted.
#include "eval/cdf_png.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// `n` errors spread evenly over [0, top].
std::vector<double> Spread(double top, int n = 100) {
  std::vector<double> e;
  for (int i = 1; i <= n; ++i) e.push_back(top * i / n);
  return e;
}

eval::CdfCurve Curve(double top, bool dashed) {
  eval::CdfCurve c;
  c.dashed = dashed;
  c.errors = Spread(top);
  return c;
}

// Like the engine's original behaviour on the larger venues: most errors
// within 4 m, a fifth of them 30 to 40 m off (a wrong floor).
eval::CdfCurve LongTail() {
  eval::CdfCurve c;
  c.dashed = true;
  c.errors = Spread(4, 80);
  for (double e : Spread(10, 20)) c.errors.push_back(30 + e);
  return c;
}

TEST(CdfAxis, EndsWhereTheCurvesNeedIt) {
  struct Case {
    const char* what;
    std::vector<eval::CdfCurve> curves;
    double end;
  } cases[] = {
      {"the kit's curves within 2.4 m, a classic one with a fifth of its errors out to 40 m",
       {Curve(2, false), Curve(2.4, false), LongTail()}, 4},
      {"small errors still get a readable axis", {Curve(0.5, false)}, 2},
      {"a solid curve reaches to its p95", {Curve(7.6, false)}, 8},
      {"beyond 10 m in steps of 2", {Curve(13.5, false)}, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_DOUBLE_EQ(eval::CdfAxisEnd(c.curves), c.end);
  }
  EXPECT_DOUBLE_EQ(eval::ShareBeyond(Spread(10), 5), 0.5);
  EXPECT_DOUBLE_EQ(eval::ShareBeyond({}, 5), 0.0);
}

eval::Row MakeRow(const std::string& group, const std::string& kind, const std::string& setting, double top) {
  eval::Row r;
  r.group = group;
  r.kind = kind;
  r.method = "kNN";
  r.setting = setting;
  r.errors = Spread(top);
  return r;
}

// Tuning and held-out venues are compared with each other, a recording on
// one survey with the other: each pair shares its axis, and the venues'
// short errors are not drawn on the recordings' longer axis.
TEST(CdfAxis, ComparedPlotsShareTheirAxisAndTitlesNameTheSeeds) {
  const std::vector<eval::Row> rows = {
      MakeRow("tuning venues", "all kinds", "kit", 1.5),
      MakeRow("tuning venues", "all kinds", "classic", 4),
      MakeRow("held-out venues", "all kinds", "kit", 2.8),
      MakeRow("recording, same-date map", "all tracks", "kit", 4),
      MakeRow("recording, other-date map", "all tracks", "kit", 7.5),
  };
  const std::vector<eval::CdfPlot> plots =
      eval::SetCdfPlots(rows, {{"tuning venues", "seeds 11, 12"}, {"held-out venues", "seed 91"}});
  ASSERT_EQ(plots.size(), 4u);
  struct Expect {
    const char* group;
    double end;
    const char* inTitle;
  } expected[] = {
      {"tuning venues", 4, "tuning venues (seeds 11, 12), all kinds"},
      {"held-out venues", 4, "held-out venues (seed 91), all kinds"},
      {"recording, same-date map", 8, "recording, same-date map, all tracks"},
      {"recording, other-date map", 8, "recording, other-date map, all tracks"},
  };
  for (size_t i = 0; i < plots.size(); ++i) {
    SCOPED_TRACE(expected[i].group);
    EXPECT_EQ(plots[i].group, expected[i].group);
    EXPECT_DOUBLE_EQ(plots[i].axisEnd, expected[i].end);
    EXPECT_NE(plots[i].title.find(expected[i].inTitle), std::string::npos) << plots[i].title;
  }
}

}  // namespace
