#include "wifipos/navigation_class/solution_info.h"

SolutionInfo::SolutionInfo()
    : x(0.0),
      y(0.0),
      filteredX(0.0),
      filteredY(0.0),
      filteredAngle(0.0),
      angleDeviation(0.0),
      gpsX(0.0),
      gpsY(0.0),
      gpsAccuracy(0.0),
      gpsTime(),
      radius(0.0),
      time(0.0) {}
