#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "server/route_graph/smoothing.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<LocationPoint> Line(const std::vector<std::pair<double, double>>& xy, int sub = 4) {
  std::vector<LocationPoint> out;
  for (const auto& [x, y] : xy) out.emplace_back(sub, x, y);
  return out;
}

double Len(const LocationPoint& a, const LocationPoint& b) { return std::hypot(b.x - a.x, b.y - a.y); }

// Every event must sit on a point of the returned polyline: its distance is
// the length measured along the output up to that point.
void ExpectEventsOnPolyline(const std::vector<LocationPoint>& out,
                            const std::vector<RouteEvent>& events) {
  std::vector<double> along(out.size(), 0.0);
  for (size_t i = 1; i < out.size(); ++i) along[i] = along[i - 1] + Len(out[i - 1], out[i]);
  double previous = 0.0;
  for (const RouteEvent& e : events) {
    ASSERT_TRUE(std::isfinite(e.distance));
    EXPECT_GE(e.distance, previous);
    previous = e.distance;
    bool found = false;
    for (double a : along) found = found || std::fabs(a - e.distance) < 1e-9;
    EXPECT_TRUE(found) << "event at " << e.distance << " is not on the polyline";
  }
}

void ExpectFinite(const std::vector<LocationPoint>& pts) {
  for (const LocationPoint& p : pts) {
    ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y)) << p.x << ", " << p.y;
  }
}

TEST(DouglasPeucker, ToleranceDecidesWhatSurvives) {
  // An L of slightly wobbly legs: the wobble (0.1) goes, the corner stays.
  const auto pts = Line({{0, 0}, {1, 0.1}, {2, -0.1}, {3, 0}, {3, 1}, {2.9, 2}, {3, 3}});
  const auto kept = DouglasPeucker(pts, 0.5);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_DOUBLE_EQ(kept[1].x, 3);
  EXPECT_DOUBLE_EQ(kept[1].y, 0);
  EXPECT_EQ(kept[1].subLoc, 4);
  EXPECT_EQ(DouglasPeucker(pts, 0.15).size(), 3u);
  EXPECT_EQ(DouglasPeucker(pts, 0.05).size(), pts.size() - 1);  // (3, 1) lies on its chord
  EXPECT_EQ(DouglasPeucker(pts, 5.0).size(), 2u);
  // Below 1e-8 and for fewer than three points the input comes back unchanged.
  EXPECT_EQ(DouglasPeucker(pts, 0.0).size(), pts.size());
  EXPECT_EQ(DouglasPeucker(pts, 1e-9).size(), pts.size());
  EXPECT_EQ(DouglasPeucker(Line({{0, 0}, {1, 1}}), 1.0).size(), 2u);
  EXPECT_TRUE(DouglasPeucker({}, 1.0).empty());
}

TEST(DouglasPeucker, BoundaryCollinearAndLoops) {
  // Exactly the tolerance away survives; just below does not.
  EXPECT_EQ(DouglasPeucker(Line({{0, 0}, {5, 1.0}, {10, 0}}), 1.0).size(), 3u);
  EXPECT_EQ(DouglasPeucker(Line({{0, 0}, {5, 0.999}, {10, 0}}), 1.0).size(), 2u);
  // Collinear interior points go even with a tiny tolerance.
  const auto straight = DouglasPeucker(Line({{0, 0}, {1, 1}, {2, 2}, {7, 7}, {9, 9}}), 1e-6);
  ASSERT_EQ(straight.size(), 2u);
  EXPECT_DOUBLE_EQ(straight[1].x, 9);
  // A stretch that returns to its start keeps its far points instead of
  // collapsing onto the start.
  const auto loop = DouglasPeucker(Line({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}}), 1.0);
  EXPECT_EQ(loop.size(), 5u);
}

TEST(RoundPolyLine, RightAngleArc) {
  std::vector<RouteEvent> events;
  const auto out = RoundPolyLine(Line({{0, 0}, {10, 0}, {10, 10}}), 1.0, &events);
  const double L = 1 + std::sqrt(2.0);
  ASSERT_EQ(out.size(), 12u);  // start, 10 arc points, end
  EXPECT_DOUBLE_EQ(out.front().x, 0);
  EXPECT_DOUBLE_EQ(out.back().y, 10);
  EXPECT_NEAR(out[1].x, 10 - L, 1e-9);
  EXPECT_NEAR(out[1].y, 0, 1e-9);
  EXPECT_NEAR(out[10].x, 10, 1e-9);
  EXPECT_NEAR(out[10].y, L, 1e-9);
  for (size_t i = 1; i <= 10; ++i) {
    EXPECT_EQ(out[i].subLoc, 4);
    EXPECT_NEAR(std::hypot(out[i].x - (10 - L), out[i].y - L), L, 1e-9);  // on the circle
    EXPECT_GT(std::hypot(out[i].x - 10, out[i].y), 1.0 - 1e-9);
  }
  // The circle passes 1.0 inside the corner.
  EXPECT_NEAR(std::hypot(10 - (10 - L), L) - L, 1.0, 1e-9);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, 1);
  EXPECT_EQ(events[0].value, 90);
  EXPECT_NEAR(events[0].distance, 10 - L, 1e-9);
  ExpectEventsOnPolyline(out, events);
}

TEST(RoundPolyLine, TurnSignAngleAndThreshold) {
  // Left turn (counter-clockwise) is type 1, right turn type 2.
  std::vector<RouteEvent> left, right;
  RoundPolyLine(Line({{0, 0}, {10, 0}, {10, 10}}), 0.5, &left);
  RoundPolyLine(Line({{0, 0}, {10, 0}, {10, -10}}), 0.5, &right);
  ASSERT_EQ(left.size(), 1u);
  ASSERT_EQ(right.size(), 1u);
  EXPECT_EQ(left[0].type, 1);
  EXPECT_EQ(right[0].type, 2);

  auto turnBy = [](double deg, std::vector<RouteEvent>* ev) {
    const double a = deg * kPi / 180;
    return RoundPolyLine(Line({{0, 0}, {20, 0}, {20 + 20 * std::cos(a), -20 * std::sin(a)}}), 1.0,
                         ev);
  };
  std::vector<RouteEvent> ev;
  turnBy(9.4, &ev);
  EXPECT_TRUE(ev.empty());
  const auto out = turnBy(9.6, &ev);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].value, 10);
  EXPECT_EQ(ev[0].type, 2);
  EXPECT_EQ(out.size(), 2u + 18u);  // interior angle ~170 degrees: 17 segments
  ev.clear();
  turnBy(135, &ev);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].value, 135);

  // Events are appended, never cleared.
  std::vector<RouteEvent> kept = {RouteEvent(3, 2, 0.0)};
  RoundPolyLine(Line({{0, 0}, {10, 0}, {10, 10}}), 1.0, &kept);
  EXPECT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].type, 3);
  // No event vector, no crash.
  EXPECT_EQ(RoundPolyLine(Line({{0, 0}, {10, 0}, {10, 10}}), 1.0, nullptr).size(), 12u);
}

TEST(RoundPolyLine, ZeroRadiusKeepsCornersWithEvents) {
  const auto pts = Line({{0, 0}, {10, 0}, {10, 5}, {0, 5}, {0, 6}});
  std::vector<RouteEvent> events;
  const auto out = RoundPolyLine(pts, 0.0, &events);
  ASSERT_EQ(out.size(), pts.size());
  for (size_t i = 0; i < pts.size(); ++i) EXPECT_DOUBLE_EQ(out[i].x, pts[i].x);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_DOUBLE_EQ(events[0].distance, 10);
  EXPECT_DOUBLE_EQ(events[1].distance, 15);
  EXPECT_DOUBLE_EQ(events[2].distance, 25);
  for (const RouteEvent& e : events) EXPECT_EQ(e.value, 90);
  EXPECT_EQ(events[0].type, 1);
  EXPECT_EQ(events[2].type, 2);
}

TEST(RoundPolyLine, ShortLegCapsTheTangent) {
  // A 2 m leg between two long ones: each arc reaches at most 1 m along it,
  // so the two arcs never overlap and the output runs forwards along x first.
  std::vector<RouteEvent> events;
  const auto out = RoundPolyLine(Line({{0, 0}, {50, 0}, {50, 2}, {100, 2}}), 5.0, &events);
  ExpectFinite(out);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NEAR(events[0].distance, 49.0, 1e-9);
  for (const LocationPoint& p : out) {
    EXPECT_LE(p.y, 2.0 + 1e-9);
    EXPECT_GE(p.y, -1e-9);
  }
  for (size_t i = 1; i < out.size(); ++i) EXPECT_GE(out[i].x, out[i - 1].x - 1e-9);
  ExpectEventsOnPolyline(out, events);
}

TEST(RoundPolyLine, DegenerateInputsGiveNoNaN) {
  std::vector<RouteEvent> events;
  // Two points (and fewer) come back as they are.
  EXPECT_EQ(RoundPolyLine(Line({{0, 0}, {3, 4}}), 1.0, &events).size(), 2u);
  EXPECT_TRUE(RoundPolyLine({}, 1.0, &events).empty());
  EXPECT_TRUE(events.empty());

  // Repeated points: zero-length legs are dropped before rounding.
  auto out = RoundPolyLine(Line({{0, 0}, {0, 0}, {10, 0}, {10, 0}, {10, 10}, {10, 10}}), 1.0, &events);
  ExpectFinite(out);
  EXPECT_EQ(out.size(), 12u);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value, 90);
  ExpectEventsOnPolyline(out, events);

  // All points equal: both ends are still there.
  out = RoundPolyLine(Line({{2, 2}, {2, 2}, {2, 2}}), 1.0, &events);
  ASSERT_EQ(out.size(), 2u);
  ExpectFinite(out);

  // A perfectly straight corner with a radius: no arc, no event.
  events.clear();
  out = RoundPolyLine(Line({{0, 0}, {5, 5}, {10, 10}}), 1.0, &events);
  ExpectFinite(out);
  EXPECT_EQ(out.size(), 3u);
  EXPECT_TRUE(events.empty());

  // A corner with a non-finite coordinate is kept as it is, with no event.
  events.clear();
  out = RoundPolyLine(Line({{0, 0}, {NAN, 3}, {10, 10}}), 1.0, &events);
  EXPECT_EQ(out.size(), 3u);
  EXPECT_TRUE(events.empty());

  // An exact reversal: the corner is kept and reported as a 180 degree turn.
  out = RoundPolyLine(Line({{0, 0}, {10, 0}, {4, 0}}), 1.0, &events);
  ExpectFinite(out);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value, 180);
  EXPECT_DOUBLE_EQ(events[0].distance, 10);
}

// Random routes with repeats, straight runs and reversals, smoothed at several
// radii: nothing non-finite comes out, the ends stay, and events lie on the
// returned polyline in order.
TEST(GetSmoothPath, RandomRoutesStayFiniteAndConsistent) {
  std::mt19937 rng(1158);
  std::uniform_int_distribution<int> grid(0, 6);
  for (int iter = 0; iter < 2000; ++iter) {
    std::vector<LocationPoint> pts;
    const int n = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) {
      if (!pts.empty() && rng() % 4 == 0) {
        pts.push_back(pts.back());
      } else {
        pts.emplace_back(2, grid(rng) * 2.5, grid(rng) * 2.5);
      }
    }
    const double radius = (rng() % 4) * 0.75;
    std::vector<RouteEvent> events;
    const auto out = GetSmoothPath(pts, radius, &events);
    ExpectFinite(out);
    ASSERT_FALSE(out.empty());
    EXPECT_DOUBLE_EQ(out.front().x, pts.front().x);
    EXPECT_DOUBLE_EQ(out.front().y, pts.front().y);
    EXPECT_DOUBLE_EQ(out.back().x, pts.back().x);
    EXPECT_DOUBLE_EQ(out.back().y, pts.back().y);
    for (const LocationPoint& p : out) EXPECT_EQ(p.subLoc, 2);
    for (const RouteEvent& e : events) {
      EXPECT_TRUE(e.type == 1 || e.type == 2);
      EXPECT_GE(e.value, 10);
      EXPECT_LE(e.value, 180);
    }
    ExpectEventsOnPolyline(out, events);
    if (HasFatalFailure()) return;
  }
}

TEST(GetSmoothPath, SimplifiesThenRounds) {
  // A staircase of small steps along a diagonal collapses to its chord, the
  // real corner at (20, 20) is rounded with one 90-degree event.
  std::vector<LocationPoint> pts;
  for (int i = 0; i <= 20; ++i) {
    pts.emplace_back(1, i, i);
    if (i < 20) pts.emplace_back(1, i + 0.2, i);
  }
  pts.emplace_back(1, 40, 0);
  std::vector<RouteEvent> events;
  const auto out = GetSmoothPath(pts, 1.0, &events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value, 90);
  EXPECT_EQ(events[0].type, 2);
  EXPECT_EQ(out.size(), 2u + 10u);
  ExpectEventsOnPolyline(out, events);
}

}  // namespace
