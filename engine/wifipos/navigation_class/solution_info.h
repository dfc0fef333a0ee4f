#ifndef MARVISTO_WIFIPOS_NAVIGATION_CLASS_SOLUTION_INFO_H
#define MARVISTO_WIFIPOS_NAVIGATION_CLASS_SOLUTION_INFO_H

// The working positioning solution of one navigation client: the signal
// position of the last radio window, the particle filter's position and
// heading, the last GPS fix and the uncertainty radius with its time. It is
// carried from one positioning step to the next and updated in place.

#include "wifipos/sensor_value.h"

class SolutionInfo {
public:
    SolutionInfo();

    double x;              // signal position, metres
    double y;
    double filteredX;      // particle-filter position, metres
    double filteredY;
    double filteredAngle;  // particle-filter heading, radians
    double angleDeviation; // circular deviation of that heading, radians
    double gpsX;           // last GPS fix in floor metres
    double gpsY;
    double gpsAccuracy;    // accuracy of that fix, metres
    SensorTime gpsTime;    // time of that fix; zero: no fix yet
    double radius;         // uncertainty radius, metres
    double time;           // seconds relative to the client's time base
};

#endif
