#include "wifipos/coordinates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

const double kMetresPerDegree = 6378137.0 * 0.017453292519943295;

TEST(Coordinates, RoundTripForAnyAzimuth) {
  std::mt19937 rng(31);
  std::uniform_real_distribution<double> lat(-89.0, 89.0), lon(-179.0, 179.0), az(-360.0, 360.0),
      m(-2000.0, 2000.0);
  for (int i = 0; i < 2000; ++i) {
    const double oLat = lat(rng), oLon = lon(rng), a = az(rng), x = m(rng), y = m(rng);
    double pLat, pLon, bx, by;
    LocalToGps(x, y, oLat, oLon, a, &pLat, &pLon);
    GpsToLocal(pLat, pLon, oLat, oLon, a, &bx, &by);
    ASSERT_NEAR(bx, x, 1e-6) << oLat << " " << oLon << " " << a;
    ASSERT_NEAR(by, y, 1e-6);
  }
}

TEST(Coordinates, AzimuthZeroIsEastNorthAndOriginMapsToOrigin) {
  double lat, lon, x, y;
  LocalToGps(100, 50, 0.0, 10.0, 0.0, &lat, &lon);
  EXPECT_NEAR(lat, 50 / kMetresPerDegree, 1e-12);
  EXPECT_NEAR(lon, 10.0 + 100 / kMetresPerDegree, 1e-12);
  LocalToGps(0, 100, 0.0, 10.0, 90.0, &lat, &lon);  // azimuth 90: +y points east
  EXPECT_NEAR(lon, 10.0 - 100 / kMetresPerDegree, 1e-9);
  LocalToGps(100, 0, 60.0, 0.0, 0.0, &lat, &lon);  // degrees of longitude shrink with cos
  EXPECT_NEAR(lon, 200 / kMetresPerDegree, 1e-9);
  for (double a : {0.0, 37.0, -120.0}) {
    GpsToLocal(48.1, 11.5, 48.1, 11.5, a, &x, &y);
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.0);
  }
}

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

TEST(Coordinates, OriginNearAPoleIsRefused) {
  double lat = 1, lon = 1, x = 1, y = 1;
  for (double pole : {89.5, -89.5}) {
    LocalToGps(100, 100, pole, 20.0, 0.0, &lat, &lon);
    EXPECT_EQ(lat, pole);
    EXPECT_EQ(lon, 20.0);
    GpsToLocal(pole + 0.1, 21.0, pole, 20.0, 0.0, &x, &y);
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.0);
  }
  // 89 degrees itself is still served.
  LocalToGps(0, 100, 89.0, 20.0, 0.0, &lat, &lon);
  EXPECT_GT(lat, 89.0);
}

}  // namespace
