#include "wifipos/coordinates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

const double kMetresPerDegree = 6378137.0 * 0.017453292519943295;

TEST(Coordinates, WrapsAtTheAntimeridianBothWays) {
  double lat, lon, x, y;
  LocalToGps(100, 0, 0.0, 179.9999, 0.0, &lat, &lon);
  EXPECT_NEAR(lon, 179.9999 + 100 / kMetresPerDegree - 360.0, 1e-9);
  EXPECT_LT(lon, -179.99);
  // The fix across the meridian is 100 m east, not a world away.
  GpsToLocal(lat, lon, 0.0, 179.9999, 0.0, &x, &y);
  EXPECT_NEAR(x, 100.0, 1e-6);
  EXPECT_NEAR(y, 0.0, 1e-6);
  LocalToGps(-100, 0, 0.0, -179.9999, 0.0, &lat, &lon);
  EXPECT_GT(lon, 179.99);
  GpsToLocal(lat, lon, 0.0, -179.9999, 0.0, &x, &y);
  EXPECT_NEAR(x, -100.0, 1e-6);
}

}  // namespace
