#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "server/route_graph/smoothing.h"

namespace {

std::vector<LocationPoint> Line(const std::vector<std::pair<double, double>>& xy) {
  std::vector<LocationPoint> out;
  for (const auto& [x, y] : xy) out.emplace_back(4, x, y);
  return out;
}

// Every output point is finite, and every event sits on a point of the
// output: its distance is the length along the output up to that point.
void ExpectConsistent(const std::vector<LocationPoint>& out, const std::vector<RouteEvent>& events) {
  std::vector<double> along = {0.0};
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_TRUE(std::isfinite(out[i].x) && std::isfinite(out[i].y));
    if (i > 0) along.push_back(along.back() + std::hypot(out[i].x - out[i - 1].x, out[i].y - out[i - 1].y));
  }
  double previous = 0.0;
  for (const RouteEvent& e : events) {
    EXPECT_GE(e.distance, previous);
    previous = e.distance;
    bool found = false;
    for (double a : along) found = found || std::fabs(a - e.distance) < 1e-9;
    EXPECT_TRUE(found) << "event at " << e.distance << " is off the polyline";
  }
}

TEST(DouglasPeucker, ToleranceDecidesWhatSurvives) {
  // An L with legs wobbling by 0.1; (3, 1) lies exactly on its chord.
  const auto pts = Line({{0, 0}, {1, 0.1}, {2, -0.1}, {3, 0}, {3, 1}, {2.9, 2}, {3, 3}});
  const auto kept = DouglasPeucker(pts, 0.5);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[1].x + kept[1].y, 3);
  EXPECT_EQ(DouglasPeucker(pts, 0.05).size(), 6u);
  EXPECT_EQ(DouglasPeucker(pts, 5.0).size(), 2u);
  EXPECT_EQ(DouglasPeucker(pts, 1e-9).size(), pts.size());
  // Exactly the tolerance away survives; just below does not.
  EXPECT_EQ(DouglasPeucker(Line({{0, 0}, {5, 1.0}, {10, 0}}), 1.0).size(), 3u);
  EXPECT_EQ(DouglasPeucker(Line({{0, 0}, {5, 0.999}, {10, 0}}), 1.0).size(), 2u);
  // A stretch back to its start keeps its far corners.
  EXPECT_EQ(DouglasPeucker(Line({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}}), 1.0).size(), 5u);
}

TEST(RoundPolyLine, RightAngleArcAndEvent) {
  std::vector<RouteEvent> events = {RouteEvent(3, 2, 0.0)};  // appended to, not cleared
  const auto out = RoundPolyLine(Line({{0, 0}, {10, 0}, {10, 10}}), 1.0, &events);
  const double L = 1 + std::sqrt(2.0);
  ASSERT_EQ(out.size(), 12u);  // start, 10 arc points, end
  EXPECT_NEAR(out[1].x, 10 - L, 1e-9);
  EXPECT_NEAR(out[10].y, L, 1e-9);
  for (size_t i = 1; i <= 10; ++i) {
    EXPECT_EQ(out[i].subLoc, 4);
    EXPECT_NEAR(std::hypot(out[i].x - (10 - L), out[i].y - L), L, 1e-9);  // radius L
  }
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].type, 1);
  EXPECT_EQ(events[1].value, 90);
  EXPECT_NEAR(events[1].distance, 10 - L, 1e-9);
  events.erase(events.begin());
  ExpectConsistent(out, events);
}

TEST(RoundPolyLine, TurnSignAngleThresholdAndCap) {
  auto turn = [](double deg, double radius, std::vector<RouteEvent>* ev) {
    const double a = deg * M_PI / 180;
    return RoundPolyLine(Line({{0, 0}, {20, 0}, {20 + 20 * std::cos(a), 20 * std::sin(a)}}), radius, ev);
  };
  std::vector<RouteEvent> ev;
  turn(9.4, 1.0, &ev);
  EXPECT_TRUE(ev.empty());
  EXPECT_EQ(turn(9.6, 1.0, &ev).size(), 2u + 18u);  // interior angle ~170: 17 segments
  turn(-135, 1.0, &ev);
  turn(179.7, 1.0, &ev);
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0].type, 1);  // counter-clockwise
  EXPECT_EQ(ev[0].value, 10);
  EXPECT_EQ(ev[1].type, 2);  // clockwise
  EXPECT_EQ(ev[1].value, 135);
  EXPECT_EQ(ev[2].value, 180);
  // A huge radius is capped at half of each leg: the arc spans the legs' middles.
  const auto capped = turn(90, 1e6, nullptr);
  EXPECT_NEAR(capped[1].x, 10, 1e-6);
  EXPECT_NEAR(capped[capped.size() - 2].y, 10, 1e-6);
}

TEST(RoundPolyLine, DegenerateCornersGiveNoNaN) {
  std::vector<RouteEvent> events;
  EXPECT_EQ(RoundPolyLine(Line({{0, 0}, {0, 0}}), 1.0, &events).size(), 2u);
  EXPECT_EQ(RoundPolyLine(Line({{2, 2}, {2, 2}, {2, 2}}), 1.0, &events).size(), 2u);
  // Repeated points are dropped before rounding.
  auto out = RoundPolyLine(Line({{0, 0}, {0, 0}, {10, 0}, {10, 0}, {10, 10}, {10, 10}}), 1.0, &events);
  EXPECT_EQ(out.size(), 12u);
  ASSERT_EQ(events.size(), 1u);
  ExpectConsistent(out, events);
  // A straight corner stays a plain point; an exact reversal is a 180 turn.
  events.clear();
  out = RoundPolyLine(Line({{0, 0}, {5, 5}, {10, 10}, {4, 4}}), 1.0, &events);
  EXPECT_EQ(out.size(), 4u);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value, 180);
  ExpectConsistent(out, events);
  events.clear();
  EXPECT_EQ(RoundPolyLine(Line({{0, 0}, {NAN, 3}, {10, 10}}), 1.0, &events).size(), 3u);
  EXPECT_TRUE(events.empty());
}

// Random routes with repeats, straight runs and reversals at several radii.
TEST(GetSmoothPath, RandomRoutesStayFiniteAndConsistent) {
  std::mt19937 rng(1158);
  for (int iter = 0; iter < 2000 && !HasFatalFailure(); ++iter) {
    std::vector<LocationPoint> pts;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 12); i < n; ++i) {
      if (!pts.empty() && rng() % 4 == 0) pts.push_back(pts.back());
      else pts.emplace_back(2, (rng() % 7) * 2.5, (rng() % 7) * 2.5);
    }
    std::vector<RouteEvent> events;
    const auto out = GetSmoothPath(pts, (rng() % 4) * 0.75, &events);
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(out.front().x == pts.front().x && out.back().y == pts.back().y);
    for (const RouteEvent& e : events) EXPECT_TRUE(e.value >= 10 && e.value <= 180);
    ExpectConsistent(out, events);
  }
}

}  // namespace
