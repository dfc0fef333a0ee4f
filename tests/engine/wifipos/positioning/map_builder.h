// Small in-memory maps for the positioning tests: floors with reference
// points, radio-map entries and beacons, without any archive.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "wifipos/navigation_class/navigation.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace positioning_test {

// A beacon key of the usual 50 characters, distinct per n.
inline std::string BeaconKey(int n) {
    const std::string num = std::to_string(n);
    return "f7826da6-4fa2-4e98-8024-bc5b71e0893e_" + std::string(13 - num.size(), '0') + num;
}

inline void AddPoint(SublocationMap& floor, double x, double y) {
    ReferencePoint rp;
    rp.setX(x);
    rp.setY(y);
    rp.setIndex(static_cast<int>(floor.getReferencePoints().size()));
    rp.setName("rp" + std::to_string(rp.getIndex()));
    floor.getReferencePoints().push_back(rp);
}

inline void AddEntry(SublocationMap& floor, const std::string& key, int point, double rssi,
                     int type = 2) {
    AccessPoint ap;
    ap.setBssid(key);
    ap.setType(type);
    ap.setRssi(rssi);
    ap.setRefPointIndex(point);
    floor.getRadioMap().emplace(key, ap);
    floor.updateUniqueApsBssid();
}

inline void AddBeacon(SublocationMap& floor, const std::string& key, double x, double y) {
    Beacon b;
    b.setBeaconId(key);
    b.setX(x);
    b.setY(y);
    b.setLocationId(floor.getId());
    floor.getBeacons().push_back(b);
}

inline SublocationMap MakeFloor(int id) {
    SublocationMap f;
    f.setId(id);
    SublocationNavProperties p;
    p.width_meters = 40.0;
    p.height_meters = 40.0;
    f.setProperties(p);
    return f;
}

// A reading as the client hands it over: rssi, type and time in seconds on
// the client's time base (stamp and double kept in step).
inline AccessPoint Reading(const std::string& key, double rssi, double t, int type = 2) {
    AccessPoint ap;
    ap.setBssid(key);
    ap.setRssi(rssi);
    ap.setType(type);
    ap.setTime(t);
    ap.setTimeStamp(SensorTime(t));
    return ap;
}

// Feeds one batch at time t (seconds) with every reading stamped t.
inline int Feed(Navigation& nav, std::vector<AccessPoint> batch, double t) {
    SensorTime now(t);
    return nav.updateSignals(batch, now);
}

// A square floor of 3 x 3 points 4 m apart with one beacon per corner key.
inline SublocationMap GridFloor(int id, int firstKey) {
    SublocationMap f = MakeFloor(id);
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) AddPoint(f, 4.0 * i, 4.0 * j);
    const double bx[4] = {0.0, 8.0, 0.0, 8.0};
    const double by[4] = {0.0, 0.0, 8.0, 8.0};
    for (int b = 0; b < 4; ++b) {
        const std::string key = BeaconKey(firstKey + b);
        AddBeacon(f, key, bx[b], by[b]);
        for (int p = 0; p < 9; ++p) {
            const ReferencePoint* rp = f.getRp(p);
            const double d = std::hypot(rp->getX() - bx[b], rp->getY() - by[b]);
            AddEntry(f, key, p, -50.0 - 3.0 * d);
        }
    }
    return f;
}

inline EngineBehaviour BehaviourOf(bool kit) { return kit ? EngineBehaviour::kit() : EngineBehaviour::original(); }

// A map of these floors for the method, running the given behaviour.
inline NavigationMap MapOf(const std::vector<SublocationMap>& floors, int method,
                           const EngineBehaviour& behaviour) {
    NavigationMap map(behaviour);
    map.getNavigationProperties().Use_algorithm = method;
    map.getNavigationProperties().Sig_window_shift = 0.0;
    for (const SublocationMap& f : floors) map.addSublocation(f);
    return map;
}

}  // namespace positioning_test
