#include "wifipos/navigation_processing/fill_wsmsg_output.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "server/utils.h"
#include "wifipos/coordinates.h"
#include "wifipos/navigation_processing/navigation_processing.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double WrapHeading(double a) {
  if (!std::isfinite(a)) return 0.0;
  a = std::fmod(a, 2.0 * kPi);  // bounded work for any input
  while (a >= kPi) a -= 2.0 * kPi;
  while (a < -kPi) a += 2.0 * kPi;
  return a;
}

// The fused orientation, heading first; angles that are not finite are
// written as 0.0.
void FillOrientation(WScanMessage* message, const ClientNavigationState* client) {
  double o[3] = {0.0, 0.0, 0.0};
  if (client != nullptr) client->sensorFusion.getFusedOrientation(o);
  for (int i = 0; i < 3; ++i) message->outOrientation[i] = std::isfinite(o[i]) ? o[i] : 0.0;
}

// Relative coordinates of an indoor solution: not finite -> 0.0, outside
// 0..1 -> clamped; the metres stay as they are.
void CheckIndoorRelative(double& k, const char* text) {
  if (!std::isfinite(k)) {
    MV_LOG(11, text, k);
    k = 0.0;
  }
  if (k > 1.0 || k < 0.0) {
    MV_LOG(11, text, k);
    k = k > 1.0 ? 1.0 : 0.0;
  }
}

// Relative coordinates of a GPS solution: the metres are zeroed with them
// whenever they had to be repaired.
void CheckGpsRelative(double& k, double& metres, const char* badText, const char* warnText) {
  if (!std::isfinite(k)) {
    MV_LOG(11, badText, k);
    k = 0.0;
    metres = 0.0;
  }
  if (k > 1.0 || k < 0.0) {
    MV_LOG(11, warnText, k);
    k = k > 1.0 ? 1.0 : 0.0;
    metres = 0.0;
  }
}

const SensorEntry* FirstUsableFix(const WScanMessage* message) {
  for (const SensorEntry& e : message->sensorEntries) {
    if (e.type != SENSOR_LOCATION) continue;
    if (std::isfinite(e.values[0]) && std::isfinite(e.values[1]) && std::isfinite(e.values[3]) &&
        e.values[3] >= 0.0) {
      return &e;
    }
    MV_LOG(11, "ERROR: GPS fix with unusable values ignored\n");
  }
  return nullptr;
}

}  // namespace

int fillOutput(WScanMessage* message, const SolutionInfo& solution, Navigation& navigation,
               const ClientNavigationState* client) {
  if (message == nullptr) return NAV_RC_NO_SOLUTION;
  const int index = navigation.getCurSublocIndex();
  if (index < 0) return NAV_RC_NO_SOLUTION;
  const SublocationMap* floor = navigation.getSublocationPtrByIndex(index);
  if (floor == nullptr) return NAV_RC_NO_SOLUTION;
  const CommonNavProperties& s = navigation.getNavigationProperties();
  double x = s.Use_particle_filter ? solution.filteredX : solution.x;
  double y = s.Use_particle_filter ? solution.filteredY : solution.y;
  // A position that is not finite is no position: nothing is written, so a
  // caller never sees NaN in the output.
  if (!std::isfinite(x) || !std::isfinite(y)) {
    MV_LOG(11, "ERROR: solution is not finite: X = %lf Y = %lf\n", x, y);
    return NAV_RC_NO_SOLUTION;
  }
  const int subId = navigation.getCurSublocId();
  const double width = floor->getProperties().width_meters;
  const double height = floor->getProperties().height_meters;

  message->outSubLocation = subId;
  message->outX = x;
  message->outY = y;
  message->outKX = x / width;
  message->outKY = y / height;
  message->outLocation = navigation.getLocationId();

  FillOrientation(message, client);
  if (s.Use_pf_estimated_angle && std::isfinite(solution.filteredAngle)) {
    message->outOrientation[0] = solution.filteredAngle;
  }
  message->outOrientation[0] = WrapHeading(message->outOrientation[0]);

  double r = solution.radius;
  if (s.Min_out_R > r) {
    r = s.Min_out_R;
  } else if (r > s.Max_out_R) {
    r = s.Max_out_R;
  }
  // A radius that is not finite (or limits that are not) says nothing about
  // the accuracy; the widest limit is reported instead.
  if (!std::isfinite(r)) r = std::isfinite(s.Max_out_R) ? s.Max_out_R : 0.0;
  message->outR = r;

  if (client != nullptr && s.Use_graph_projection) {
    for (const RouteGraph& g : client->navigationMap.getGraphs()) {
      if (g.getTag() != client->graphTag) continue;
      const LocationPoint p(subId, x, y);
      const LocationPoint q = g.getProjection(p);
      if (q.subLoc > 0 && std::isfinite(q.x) && std::isfinite(q.y) &&
          s.Graph_prog_distance > g.getDistance(p, q)) {
        message->outX = q.x;
        message->outY = q.y;
        message->outKX = q.x / width;
        message->outKY = q.y / height;
      }
      break;
    }
  }

  CheckIndoorRelative(message->outKX, "ERROR: Bad kX = %lf\n");
  CheckIndoorRelative(message->outKY, "ERROR: Bad kY = %lf\n");
  MV_LOG(11, "OUT: id=%d X=%lf Y = %lf \n", message->outSubLocation, message->outX,
         message->outY);
  return 0;
}

int fillGpsOutput(WScanMessage* message, SolutionInfo& solution, const Navigation& navigation,
                  const ClientNavigationState* client) {
  if (message == nullptr) return NAV_RC_NO_SOLUTION;
  const SensorTime now = navigation.getCurTime();
  // Floor 0 of the map as loaded: a fix is usable even when the map check
  // dropped every floor for indoor positioning.
  const NavigationMap& map =
      client != nullptr ? client->navigationMap : static_cast<const NavigationMap&>(navigation);
  const std::vector<SublocationMap>& floors = map.getSublocationsVector();
  if (floors.empty()) {
    MV_LOG(11, "ERROR: there is no sublocation with %d index\n", 0);
    return -1;
  }
  const SublocationMap& floor = floors[0];
  const SublocationNavProperties& p = floor.getProperties();
  const double width = p.width_meters;
  const double height = p.height_meters;

  const SensorEntry* fix = FirstUsableFix(message);
  if (fix != nullptr) {
    if (p.latitude_deg == 0.0 || p.longitude_deg == 0.0) {
      MV_LOG(11, "ERROR: bad binding lat/long = 0\n");
      return NAV_RC_NO_SOLUTION;
    }
    double x = 0.0;
    double y = 0.0;
    GpsToLocal(fix->values[0], fix->values[1], p.latitude_deg, p.longitude_deg, p.azimuth_deg, &x,
               &y);
    x += width / 2.0;
    y += height / 2.0;
    message->outX = x;
    message->outY = y;
    message->outKX = x / width;
    message->outKY = y / height;
    message->outR = fix->values[3];
    message->outLocation = navigation.getLocationId();
    message->outSubLocation = floor.getId();

    solution.gpsX = x;
    solution.gpsY = y;
    solution.gpsAccuracy = fix->values[3];
    const int64_t timeBase = client != nullptr ? client->timeBase : 0;
    const int64_t sec = message->tmUnixTime - timeBase;
    const int64_t ms = -fix->offset;
    if (sec >= 0 && sec <= (int64_t{1} << 52) && ms >= std::numeric_limits<int>::min()) {
      SensorTime t;
      t.setTime(sec, ms);
      solution.gpsTime = t;
    }
    CheckGpsRelative(message->outKX, message->outX, "ERROR: Bad kX = %lf\n",
                     "Warning: Bad kX due to GPS solution= %lf\n");
    CheckGpsRelative(message->outKY, message->outY, "ERROR: Bad kY = %lf\n",
                     "Warning: Bad kY due to GPS solution = %lf\n");
    if (!std::isfinite(message->outX)) message->outX = 0.0;
    if (!std::isfinite(message->outY)) message->outY = 0.0;
    FillOrientation(message, client);
    return 0;
  }

  const double nowSec = now.getTimeInSeconds();
  const double age = std::fabs(nowSec - solution.gpsTime.getTimeInSeconds());
  const double limit = navigation.getNavigationProperties().Dead_reckon_time;
  if (!(limit > age)) return NAV_RC_NO_SOLUTION;
  if (solution.gpsTime.sec == 0 && solution.gpsTime.ms == 0) return NAV_RC_NO_SOLUTION;
  if (!std::isfinite(solution.gpsX) || !std::isfinite(solution.gpsY) ||
      !std::isfinite(solution.gpsAccuracy)) {
    return NAV_RC_NO_SOLUTION;
  }
  message->outX = solution.gpsX;
  message->outY = solution.gpsY;
  message->outR = solution.gpsAccuracy;
  message->outKX = solution.gpsX / width;
  message->outKY = solution.gpsY / height;
  CheckGpsRelative(message->outKX, message->outX, "ERROR: Bad kX = %lf\n",
                   "Warning: Bad kX due to GPS solution= %lf\n");
  CheckGpsRelative(message->outKY, message->outY, "ERROR: Bad kY = %lf\n",
                   "Warning: Bad kY due to GPS solution = %lf\n");
  message->outLocation = navigation.getLocationId();
  message->outSubLocation = floor.getId();
  FillOrientation(message, client);
  return 0;
}
