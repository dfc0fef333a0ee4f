// The shape of a rounded corner: the arc touches both legs at the same
// distance from the corner, every point of it lies on one circle inside the
// corner, it passes the asked radius inside the corner unless a short leg
// limits it, and the route's ends stay where they were.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "server/route_graph/smoothing.h"

namespace {

struct Corner {
  const char* what;
  std::vector<std::pair<double, double>> route;  // one corner after simplification
  double radius;
  double inside;  // expected distance from the corner to the arc
  int side;       // of the turn event: 1 left, 2 right
};

const double kS2 = std::sqrt(0.5);

TEST(RoundedCornerTest, ArcTouchesBothLegsOnOneCircleInsideTheCorner) {
  const double c30 = std::cos(M_PI / 6), s30 = 0.5;
  const std::vector<Corner> cases = {
      {"right turn of 90 degrees", {{0, 0}, {10, 0}, {10, -10}}, 1.0, 1.0, 2},
      {"left turn of 90 degrees, straight points on the legs", {{0, 0}, {5, 0}, {10, 0}, {10, 4}, {10, 10}}, 1.0, 1.0, 1},
      {"shallow turn of 30 degrees", {{0, 0}, {10, 0}, {10 + 10 * c30, 10 * s30}}, 0.5, 0.5, 1},
      {"sharp turn of 135 degrees", {{0, 0}, {10, 0}, {10 - 10 * kS2, 10 * kS2}}, 1.0, 1.0, 1},
      // The tangent points would lie beyond the middle of the 2 m leg: the
      // arc shrinks to touch it at 1 m, and passes closer to the corner.
      {"short first leg", {{0, 0}, {2, 0}, {2, 10}}, 1.5, 1.0 * (1 - kS2) / kS2, 1},
      {"short second leg", {{0, 0}, {10, 0}, {10, 2}}, 1.5, 1.0 * (1 - kS2) / kS2, 1},
      {"diagonal legs", {{0, 0}, {6, 6}, {12, 0}}, 1.0, 1.0, 2},
  };
  for (const Corner& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<LocationPoint> route;
    // Away from the origin, so a lost term of a corner's coordinates shows.
    for (const auto& [x, y] : c.route) route.emplace_back(3, x + 13, y - 7);
    std::vector<RouteEvent> events;
    const std::vector<LocationPoint> out = GetSmoothPath(route, c.radius, &events);
    ASSERT_GE(out.size(), 4u);
    // The ends stay, exactly.
    EXPECT_EQ(out.front().x, route.front().x);
    EXPECT_EQ(out.front().y, route.front().y);
    EXPECT_EQ(out.back().x, route.back().x);
    EXPECT_EQ(out.back().y, route.back().y);
    for (const LocationPoint& p : out) EXPECT_EQ(p.subLoc, 3);

    // The corner is the point of the route farthest from the chord of its ends.
    const LocationPoint& a = route.front();
    const LocationPoint& d = route.back();
    LocationPoint b = a;
    double far = -1;
    for (const LocationPoint& p : route) {
      const double off = std::fabs((p.x - a.x) * (d.y - a.y) - (p.y - a.y) * (d.x - a.x));
      if (off > far) far = off, b = p;
    }
    const double e1x = (a.x - b.x) / std::hypot(a.x - b.x, a.y - b.y), e1y = (a.y - b.y) / std::hypot(a.x - b.x, a.y - b.y);
    const double e2x = (d.x - b.x) / std::hypot(d.x - b.x, d.y - b.y), e2y = (d.y - b.y) / std::hypot(d.x - b.x, d.y - b.y);
    const double half = std::acos(e1x * e2x + e1y * e2y) / 2;  // half the angle between the legs

    // The arc starts on the first leg and ends on the second, as far from the corner on both.
    const LocationPoint& first = out[1];
    const LocationPoint& last = out[out.size() - 2];
    const double tangent = std::hypot(first.x - b.x, first.y - b.y);
    EXPECT_NEAR(std::hypot(last.x - b.x, last.y - b.y), tangent, 1e-9);
    EXPECT_NEAR((first.x - b.x) * e1y - (first.y - b.y) * e1x, 0.0, 1e-9) << "first arc point off the first leg";
    EXPECT_NEAR((last.x - b.x) * e2y - (last.y - b.y) * e2x, 0.0, 1e-9) << "last arc point off the second leg";
    EXPECT_GT((first.x - b.x) * e1x + (first.y - b.y) * e1y, 0.0);
    EXPECT_GT((last.x - b.x) * e2x + (last.y - b.y) * e2y, 0.0);

    // The circle tangent to both legs there: centre on the bisector.
    const double bx = (e1x + e2x) / (2 * std::cos(half)), by = (e1y + e2y) / (2 * std::cos(half));
    const double ox = b.x + bx * tangent / std::cos(half), oy = b.y + by * tangent / std::cos(half);
    const double r = tangent * std::tan(half);
    EXPECT_NEAR(std::hypot(ox - b.x, oy - b.y) - r, c.inside, 1e-9) << "the arc passes the corner at another distance";
    for (size_t i = 1; i + 1 < out.size(); ++i) {
      EXPECT_NEAR(std::hypot(out[i].x - ox, out[i].y - oy), r, 1e-9) << "point " << i << " off the arc";
      // Inside the corner: on the inner side of both legs, between the tangent points.
      EXPECT_LE(std::hypot(out[i].x - b.x, out[i].y - b.y), tangent + 1e-9);
      EXPECT_GE(std::hypot(out[i].x - b.x, out[i].y - b.y), c.inside - 1e-9);
    }
    // The walker turns one way only, through the whole turn.
    double turned = 0;
    for (size_t i = 1; i + 1 < out.size(); ++i) {
      const double h1 = std::atan2(out[i].y - out[i - 1].y, out[i].x - out[i - 1].x);
      const double h2 = std::atan2(out[i + 1].y - out[i].y, out[i + 1].x - out[i].x);
      const double step = std::remainder(h2 - h1, 2 * M_PI);
      if (turned != 0) {
        EXPECT_GT(step * turned, 0.0) << "the turn changes sense at point " << i;
      }
      turned += step;
    }
    EXPECT_NEAR(std::fabs(turned), M_PI - 2 * half, 1e-9);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, c.side);
    EXPECT_EQ(events[0].value, static_cast<int>(std::lround(180 - 2 * half * 180 / M_PI)));
  }
}

}  // namespace
