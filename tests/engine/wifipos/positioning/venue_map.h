// Turns a generated venue into the in-memory map model the positioning
// engine works on (the same content its archive members would load), and
// radio readings along a walk into the readings of one positioning step.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "venuesim/generator.h"
#include "venuesim/gp_xml.h"
#include "venuesim/propagation.h"
#include "venuesim/radio_walk.h"
#include "venuesim/venue.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace positioning_test {

inline NavigationMap VenueToMap(const venuesim::Venue& venue, int method, int gpMode = 121,
                                int histogramWidth = 1) {
    NavigationMap map;
    map.setLocationId(venue.setup.locationId);
    CommonNavProperties& s = map.getNavigationProperties();
    s.Use_Signals = NAV_SIGNALS_BOTH;
    s.Use_algorithm = method;
    s.Sig_averaging_time = 1.5;
    s.Sig_window_shift = 0.5;
    s.Cutoff_rss = static_cast<int>(venue.setup.sensitivity);
    s.gaussianProcesses.Mode = gpMode;
    s.gaussianProcesses.Use_beacon_power = true;
    for (size_t f = 0; f < venue.floors.size(); ++f) {
        const venuesim::VenueFloor& vf = venue.floors[f];
        SublocationMap floor;
        floor.setId(vf.id);
        floor.setName(vf.name);
        SublocationNavProperties p;
        p.width_meters = venue.setup.width;
        p.height_meters = venue.setup.height;
        p.Histogram_interval_width = histogramWidth;
        floor.setProperties(p);
        for (size_t i = 0; i < vf.points.size(); ++i) {
            const venuesim::SurveyPoint& sp = vf.points[i];
            ReferencePoint rp;
            rp.setKX(sp.kx);
            rp.setKY(sp.ky);
            rp.setX(sp.kx * venue.setup.width);
            rp.setY(sp.ky * venue.setup.height);
            rp.setName(sp.name);
            rp.setDuration(sp.durationMs);
            rp.setIndex(static_cast<int>(i));
            floor.getReferencePoints().push_back(rp);
            for (const venuesim::SurveyEntry& e : sp.entries) {
                AccessPoint ap;
                ap.setBssid(e.key);
                ap.setType(2);
                ap.setPower(e.power);
                ap.setBattery(e.battery);
                std::string text;
                for (const auto& [level, count] : e.histogram) {
                    if (!text.empty()) text += ' ';
                    text += std::to_string(level) + ":" + std::to_string(count);
                }
                ap.setDistribution(text);
                if (ap.parseDistributionString() != 0 || ap.calculateMeanRssi() != 0) continue;
                ap.calculateVariance();
                ap.setRefPointIndex(static_cast<int>(i));
                floor.getRadioMap().emplace(e.key, ap);
            }
        }
        floor.updateUniqueApsBssid();
        for (const venuesim::VenueBeacon& vb : vf.beacons) {
            Beacon b;
            b.setBeaconId(vb.key());
            b.setX(vb.x);
            b.setY(vb.y);
            b.setKX(vb.kx);
            b.setKY(vb.ky);
            b.setA(vb.A);
            b.setB(venuesim::EngineSlope(vb.B));
            b.setPower(vb.power);
            b.setMajor(static_cast<unsigned>(vb.major));
            b.setMinor(static_cast<unsigned>(vb.minor));
            b.setLocationId(vf.id);
            floor.getBeacons().push_back(b);
        }
        std::sort(floor.getBeacons().begin(), floor.getBeacons().end());
        // Gaussian-process parameters, one record per transmitter key.
        const auto records = venuesim::GpRecordsForFloor(venue, static_cast<int>(f));
        const std::vector<std::string>& keys = floor.getUniqueApsBssid();
        floor.getGpParams().assign(keys.size(), GpParams{});
        for (const auto& [key, r] : records) {
            auto it = std::lower_bound(keys.begin(), keys.end(), key);
            if (it == keys.end() || *it != key) continue;
            GpParams& g = floor.getGpParams()[static_cast<size_t>(it - keys.begin())];
            g = GpParams{r.mu, r.A, r.B, r.xAp, r.yAp, r.sf, r.sn, r.ell};
        }
        map.addSublocation(floor);
    }
    return map;
}

// The readings of one tick as the client converts them: time on the tick's
// clock minus each packet's offset.
inline std::vector<AccessPoint> TickReadings(const venuesim::RadioTick& tick) {
    std::vector<AccessPoint> out;
    out.reserve(tick.readings.size());
    for (const venuesim::RadioReading& r : tick.readings) {
        const double t = tick.at.time - r.offsetMs / 1000.0;
        AccessPoint ap;
        ap.setBssid(r.key);
        ap.setType(2);
        ap.setRssi(r.rssi);
        ap.setTime(t);
        ap.setTimeStamp(SensorTime(t));
        out.push_back(ap);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace positioning_test
