#include "server/route_graph/geometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(Geometry, ProjectionIsUnclampedAndSafeOnDegenerateLines) {
  double fx = -1, fy = -1;
  EXPECT_DOUBLE_EQ(GetProjection(0, 0, 2, 0, 1, 1, &fx, &fy), 0.5);
  EXPECT_DOUBLE_EQ(fx, 1.0);
  EXPECT_DOUBLE_EQ(fy, 0.0);
  EXPECT_DOUBLE_EQ(GetProjection(0, 0, 2, 0, 5, 1, &fx, nullptr), 2.5);
  EXPECT_DOUBLE_EQ(fx, 5.0);
  EXPECT_DOUBLE_EQ(GetProjection(3, 4, 3, 4, 9, 9, &fx, &fy), 0.0);
  EXPECT_DOUBLE_EQ(fx, 3.0);
  EXPECT_DOUBLE_EQ(fy, 4.0);
}

TEST(Geometry, SegmentIntersectionIncludesEndpoints) {
  double ix = -1, iy = -1;
  EXPECT_DOUBLE_EQ(GetIntersection(0, 0, 2, 0, 1, -1, 1, 1, &ix, &iy), 0.5);
  EXPECT_DOUBLE_EQ(ix, 1.0);
  EXPECT_DOUBLE_EQ(iy, 0.0);
  EXPECT_DOUBLE_EQ(GetIntersection(0, 0, 2, 0, 2, -1, 2, 1, nullptr, nullptr), 1.0);
  // Touching the other segment at its end.
  EXPECT_DOUBLE_EQ(GetIntersection(0, 0, 2, 0, 1, 0, 1, 1, nullptr, nullptr), 0.5);
  EXPECT_TRUE(std::isnan(GetIntersection(0, 0, 2, 0, 0, 1, 2, 1, nullptr, nullptr)));
  EXPECT_TRUE(std::isnan(GetIntersection(0, 0, 2, 0, 3, -1, 3, 1, nullptr, nullptr)));
  EXPECT_TRUE(std::isnan(GetIntersection(0, 0, 2, 0, 1, 0.5, 1, 1, nullptr, nullptr)));
  EXPECT_TRUE(std::isnan(GetIntersection(0, 0, 0, 0, 1, -1, 1, 1, nullptr, nullptr)));
}

}  // namespace
