#include "wifipos/coordinates.h"

#include <cmath>
#include <cstdio>

namespace {

const double kEarthRadius = 6378137.0;
const double kDegToRad = 0.017453292519943295;
const double kRadToDeg = 57.29577951308232;
// cos(latitude) vanishes at the poles: the longitude scale is meaningless there.
const double kMaxOriginLatitude = 89.0;

}  // namespace

void LocalToGps(double x, double y, double originLatitude, double originLongitude, double azimuth,
                double* latitude, double* longitude) {
  double lat = originLatitude;
  double lon = originLongitude;
  if (std::fabs(originLatitude) > kMaxOriginLatitude) {
    std::printf("ERROR: Latitude is almost 90 degree");
  } else {
    const double a = azimuth * kDegToRad;
    const double c = std::cos(a);
    const double s = std::sin(a);
    const double phi0 = originLatitude * kDegToRad;
    const double lambda0 = originLongitude * kDegToRad;
    const double north = c * y + s * x;
    const double east = c * x - s * y;
    lat = (north / kEarthRadius + phi0) * kRadToDeg;
    lon = (east / (std::cos(phi0) * kEarthRadius) + lambda0) * kRadToDeg;
    if (lon > 180.0)
      lon -= 360.0;
    else if (lon < -180.0)
      lon += 360.0;
  }
  if (latitude) *latitude = lat;
  if (longitude) *longitude = lon;
}

void GpsToLocal(double latitude, double longitude, double originLatitude, double originLongitude,
                double azimuth, double* x, double* y) {
  double px = 0.0;
  double py = 0.0;
  if (std::fabs(originLatitude) > kMaxOriginLatitude) {
    std::printf("ERROR: Latitude is almost 90 degree");
  } else {
    const double a = azimuth * kDegToRad;
    const double c = std::cos(a);
    const double s = std::sin(a);
    const double phi0 = originLatitude * kDegToRad;
    // The longitude difference is taken the short way round, so that a fix
    // just across the 180th meridian from the origin is not a world away.
    double dLon = longitude - originLongitude;
    if (dLon > 180.0)
      dLon -= 360.0;
    else if (dLon < -180.0)
      dLon += 360.0;
    const double east = dLon * kDegToRad * std::cos(phi0) * kEarthRadius;
    const double north = (latitude - originLatitude) * kDegToRad * kEarthRadius;
    px = north * s + c * east;
    py = north * c - east * s;
  }
  if (x) *x = px;
  if (y) *y = py;
}
