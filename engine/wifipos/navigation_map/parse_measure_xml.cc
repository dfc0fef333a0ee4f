// The radio map (measure.xml): surveyed reference points with a signal
// histogram per transmitter heard there, and the filters that thin it by how
// often a transmitter was heard, by signal kind and by known beacons.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <tinyxml2.h>

#include "server/utils.h"
#include "wifipos/navigation_map/navigation_map.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

constexpr int kLogLevel = 11;

// Wi-Fi keys are bssid texts, beacon keys the 50-character beacon key; the
// length alone tells them apart.
constexpr size_t kMaxWifiKeyLength = 29;
constexpr size_t kMinBeaconKeyLength = 31;
constexpr size_t kMinUnknownBeaconKeyLength = 30;
constexpr size_t kMinSurveyBeaconKeyLength = 48;

bool scanInt(const char* text, int& value) {
  if (!text) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

// As "%lf" reads it, refusing nan and inf: a point at an infinite position
// would break every distance computed from it.
bool scanDouble(const char* text, double& value) {
  if (!text) return false;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || !std::isfinite(v)) return false;
  value = v;
  return true;
}

// One point's radio-map entries, held back until the whole point has been
// read so that no entry can name a point that is never added.
using StagedEntries = std::vector<AccessPoint>;

int fillRpEntry(const XMLElement* e, ReferencePoint& record, StagedEntries& staged) {
  const char* pointName = record.getName().c_str();
  const char* type = e->Attribute("type");
  if (!type) {
    MV_LOG(kLogLevel, "There is no type attribute at %s RP\n", pointName);
    return 9;
  }
  AccessPoint ap;
  const std::string t = type;
  if (t == "WIFI") {
    ap.setType(0);
  } else if (t == "BEACON") {
    ap.setType(2);
    int v = 0;
    if (e->Attribute("power") && scanInt(e->Attribute("power"), v)) ap.setPower(v);
    if (e->Attribute("battery") && scanInt(e->Attribute("battery"), v)) ap.setBattery(v);
  } else if (t == "BLE") {
    return 0;
  } else if (t == "MAGNET") {
    const char* value = e->Attribute("value");
    if (!value) {
      MV_LOG(kLogLevel, "Bad value of magnetometer intensity of %s RP\n", pointName);
      return 9;
    }
    double intensity = 0.0;
    if (!scanDouble(value, intensity)) {
      MV_LOG(kLogLevel, "ERROR sscanf magnetometer_intensity\n");
      return 0;
    }
    record.setMagneticIntensity(intensity);
    return 0;
  } else {
    MV_LOG(kLogLevel, "Bad type of AP at %s RP\n", pointName);
    return 9;
  }

  const char* bssid = e->Attribute("bssid");
  if (!bssid) {
    MV_LOG(kLogLevel, "Bssid of AP in %s point == 0\n", pointName);
    return 9;
  }
  if (ap.getType() == 0) {
    const char* frequency = e->Attribute("frequency");
    if (!frequency) {
      MV_LOG(kLogLevel, "frequency of WIFI AP in %s point == 0\n", pointName);
      return 9;
    }
    double f = 0.0;
    if (!scanDouble(frequency, f)) {
      MV_LOG(kLogLevel, "Bad sscanf of frequency attribute\n");
      return 9;
    }
    ap.setFrequency(f);
  } else if (std::string(bssid).size() < kMinSurveyBeaconKeyLength) {
    MV_LOG(kLogLevel, "CRITICAL ERROR: Bad length of beacons bssid = %s\n", bssid);
    return 9;
  }

  const char* value = e->Attribute("value");
  if (!value) {
    MV_LOG(kLogLevel, "Bad value of AP in %s point == 0\n", pointName);
    return 9;
  }
  ap.setBssid(bssid);
  ap.setDistribution(value);
  // A histogram that cannot be used costs only its own entry.
  if (ap.parseDistributionString() != 0 || ap.calculateMeanRssi() != 0 ||
      ap.calculateVariance() != 0)
    return 0;
  staged.push_back(std::move(ap));
  return 0;
}

int fillRp(const XMLElement* e, SublocationMap& floor, std::unordered_set<std::string>& names) {
  ReferencePoint record;
  if (const char* name = e->Attribute("name")) {
    if (!*name) {
      MV_LOG(kLogLevel, "ERROR: reference point name is empty\n");
      return 5;
    }
    record.setName(name);
  }
  const char* pointName = record.getName().c_str();
  const char* model = e->Attribute("deviceModel");
  const char* deviceId = e->Attribute("deviceId");
  if (!model || !deviceId) {
    MV_LOG(kLogLevel, "%s point attributes == 0\n", pointName);
    return 9;
  }
  record.setDeviceModel(model);
  record.setDeviceId(deviceId);

  const char* kxText = e->Attribute("kx");
  const char* kyText = e->Attribute("ky");
  const char* qualityText = e->Attribute("quality");
  if (!kxText || !kyText || !qualityText) {
    MV_LOG(kLogLevel, "ERROR: There is no kx, ky or quality attributes of %s reference point\n",
           pointName);
    return 9;
  }
  double kx = 0.0, ky = 0.0, quality = 0.0;
  if (!scanDouble(kxText, kx) || !scanDouble(kyText, ky) || !scanDouble(qualityText, quality)) {
    MV_LOG(kLogLevel, "error sscanf kX, kY or quality attributes of %s point\n", pointName);
    return 9;
  }
  const SublocationNavProperties& props = floor.getProperties();
  record.setKX(kx);
  record.setKY(ky);
  record.setQuality(quality);
  record.setX(props.width_meters * kx);
  record.setY(props.height_meters * ky);

  // A point without a readable duration gets 0, never the previous point's.
  int duration = 0;
  if (!scanInt(e->Attribute("duration"), duration)) {
    MV_LOG(kLogLevel, "Error parsing duration of %s point\n", pointName);
    duration = 0;
  }
  record.setDuration(duration);

  if (const char* status = e->Attribute("status")) {
    record.setStatus(status);
    if (record.getStatus() == "del") {
      MV_LOG(kLogLevel, "%s point has status deleted. It's not filled\n", pointName);
      return 0;
    }
  }

  const XMLElement* first = e->FirstChildElement();
  if (!first) MV_LOG(kLogLevel, "WARNING: There is no any entries at %s RP\n", pointName);
  StagedEntries staged;
  for (const XMLElement* entry = first; entry; entry = entry->NextSiblingElement("entry")) {
    int rc = fillRpEntry(entry, record, staged);
    if (rc != 0) return rc;
  }

  if (!names.insert(record.getName()).second)
    MV_LOG(kLogLevel, "ERROR: RP=%s already exists!!!\n", pointName);

  std::vector<ReferencePoint>& points = floor.getReferencePoints();
  const int index = static_cast<int>(points.size());
  std::vector<std::string>& keys = floor.getUniqueApsBssid();
  RadioMap& radioMap = floor.getRadioMap();
  for (AccessPoint& ap : staged) {
    ap.setRefPointIndex(index);
    keys.push_back(ap.getBssid());
    radioMap.emplace(ap.getBssid(), std::move(ap));
  }
  record.setIndex(index);
  points.push_back(record);
  return 0;
}

int fillAllReferencePoints(const XMLElement* first, SublocationMap& floor) {
  const SublocationNavProperties& props = floor.getProperties();
  if (props.width_meters <= 0 || props.height_meters <= 0) {
    MV_LOG(kLogLevel, "ERROR: sublocation width or height <= 0\n");
    return 9;
  }
  std::unordered_set<std::string> names;
  for (const ReferencePoint& rp : floor.getReferencePoints()) names.insert(rp.getName());
  for (const XMLElement* e = first; e; e = e->NextSiblingElement()) {
    if (std::string(e->Name()) != "point") continue;
    int rc = fillRp(e, floor, names);
    if (rc != 0) return rc;
  }
  if (floor.getReferencePoints().empty())
    MV_LOG(kLogLevel, "WARNING: There is no reference points for %d sublocation!\n",
           floor.getId());
  std::vector<std::string>& keys = floor.getUniqueApsBssid();
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return 0;
}

int fillSublocationStructure(NavigationMap& map, XMLDocument& document, SublocationMap& floor) {
  XMLElement* sub = document.FirstChildElement("Location")->FirstChildElement("Sublocation");
  if (!sub) {
    MV_LOG(kLogLevel, "There is no Sublocation childs of %d location\n", map.getLocationId());
    return 5;
  }
  MV_LOG(kLogLevel, "Starting parse measure.xml for %d sublocation\n", floor.getId());
  if (map.findSublocationHandle(sub, floor) != 0) return 9;
  if (!sub->FirstChildElement("point")) {
    MV_LOG(kLogLevel, "There is no measurements on id = %d floor\n", floor.getId());
    return 9;
  }
  if (!sub->FirstChild() || !sub->FirstChild()->ToElement()) {
    MV_LOG(kLogLevel, "There is no point nodes\n");
    return 5;
  }
  int rc = fillAllReferencePoints(sub->FirstChildElement(), floor);
  if (rc != 0) return rc;
  if (floor.getNRp() > 2) return 0;
  MV_LOG(kLogLevel,
         "\n ERROR: there is no enough measurementsfloor with id = %d will be excluded from "
         "navigation\n",
         floor.getId());
  return 9;
}

// Erases every radio-map entry whose key satisfies `drop`.
template <class Pred>
void eraseKeys(SublocationMap& floor, Pred drop) {
  RadioMap& radioMap = floor.getRadioMap();
  for (auto it = radioMap.begin(); it != radioMap.end();) {
    if (drop(it->first))
      it = radioMap.erase(it);
    else
      ++it;
  }
}

void filterApByDuration(NavigationMap& map) {
  const double minimalFrequency = map.getNavigationProperties().knn.Minimal_ap_freq;
  // No minimum keeps everything, also entries of a point whose duration is
  // negative (which would otherwise give a negative frequency).
  const bool active = minimalFrequency > 0;
  for (SublocationMap& floor : map.getSublocationsVector()) {
    const std::vector<ReferencePoint>& points = floor.getReferencePoints();
    RadioMap& radioMap = floor.getRadioMap();
    for (auto it = radioMap.begin(); active && it != radioMap.end();) {
      const int index = it->second.getRefPointIndex();
      if (index < 0 || index >= static_cast<int>(points.size())) {
        ++it;  // cannot happen for entries read here; never index past the list
        continue;
      }
      // Samples per second; a zero duration gives inf or nan, which erase nothing.
      const double frequency =
          it->second.getMeasurementCount() / (points[index].getDuration() / 1000.0);
      if (minimalFrequency > frequency)
        it = radioMap.erase(it);
      else
        ++it;
    }
    floor.updateUniqueApsBssid();
  }
}

void adjustUseSignals(NavigationMap& map) {
  filterApByDuration(map);
  CommonNavProperties& settings = map.getNavigationProperties();
  switch (settings.Use_Signals) {
    case NAV_SIGNALS_BOTH:
      return;
    case NAV_SIGNALS_WIFI:
      for (SublocationMap& floor : map.getSublocationsVector())
        eraseKeys(floor, [](const std::string& key) { return key.size() >= kMinBeaconKeyLength; });
      break;
    case NAV_SIGNALS_BLE:
      for (SublocationMap& floor : map.getSublocationsVector())
        eraseKeys(floor, [](const std::string& key) { return key.size() <= kMaxWifiKeyLength; });
      break;
    default:
      MV_LOG(kLogLevel,
             "ERROR Use signals Type is unknown. It'll be set to use both by default\n");
      settings.Use_Signals = NAV_SIGNALS_BOTH;
      return;
  }
  for (SublocationMap& floor : map.getSublocationsVector()) floor.updateUniqueApsBssid();
}

}  // namespace

int NavigationMap::parseSignalsMapXML() {
  char* data = nullptr;
  int size = 0;
  int rc = getDataFromZip(files_.pathToArchive.c_str(), files_.measuringFile.c_str(), data, &size);
  if (rc != 0) return rc;
  std::string text(data, static_cast<size_t>(size));
  std::free(data);
  text += "\n";

  XMLDocument document;
  rc = parseXmlTopNodes(text.c_str(), document);
  if (rc != 0) return rc;

  // A floor that fails keeps what was read of it; the others are still read.
  for (SublocationMap& floor : sublocations_) fillSublocationStructure(*this, document, floor);

  if (sublocations_.empty()) {
    MV_LOG(kLogLevel, "ERROR There is no any correct sublocations\n");
    return 9;
  }
  adjustUseSignals(*this);
  return 0;
}

int NavigationMap::clearUnknownBeacons() {
  for (SublocationMap& floor : sublocations_) {
    const std::vector<Beacon>& beacons = floor.getBeacons();
    // Entries of one key are adjacent, so one lookup per distinct key.
    std::string lastKey;
    bool lastUnknown = false;
    eraseKeys(floor, [&](const std::string& key) {
      if (key.size() < kMinUnknownBeaconKeyLength) return false;
      if (key != lastKey) {
        Beacon probe;
        probe.setBeaconId(key);
        lastKey = key;
        lastUnknown = std::find(beacons.begin(), beacons.end(), probe) == beacons.end();
      }
      return lastUnknown;
    });
    floor.updateUniqueApsBssid();
  }
  return 0;
}
