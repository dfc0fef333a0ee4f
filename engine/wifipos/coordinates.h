// Conversion between a floor's local metric frame and geographic latitude /
// longitude: a local equirectangular approximation on a sphere of the WGS-84
// equatorial radius. Angles are degrees; the floor's azimuth turns its frame.
// Origins within one degree of a pole are refused (a note on standard output;
// LocalToGps then yields the origin, GpsToLocal (0, 0)).
#pragma once

// Floor metres (x, y) to degrees.
void LocalToGps(double x, double y, double originLatitude, double originLongitude, double azimuth,
                double* latitude, double* longitude);

// Degrees to floor metres (x, y).
void GpsToLocal(double latitude, double longitude, double originLatitude, double originLongitude,
                double azimuth, double* x, double* y);
