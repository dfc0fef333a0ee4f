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
