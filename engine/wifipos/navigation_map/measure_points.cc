// The radio map read from one whole parsed document: every point of a floor
// with its entries, through the floor reader shared with the piecewise reading.
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <tinyxml2.h>

#include "server/utils.h"
#include "server/zip_archive.h"
#include "wifipos/navigation_map/measure_internal.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/parse_measure_xml.h"
#include "wifipos/navigation_map/scan_number.h"

using tinyxml2::XMLAttribute;
using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace measure_internal {

namespace {

// The attributes an entry may carry, found in one walk over its attribute
// list (tinyxml2 refuses duplicate attributes, so the first of a name is the
// only one).
struct EntryAttributes {
  const char* type = nullptr;
  const char* bssid = nullptr;
  const char* frequency = nullptr;
  const char* power = nullptr;
  const char* battery = nullptr;
  const char* value = nullptr;
};

EntryAttributes readEntryAttributes(const XMLElement* e) {
  EntryAttributes out;
  for (const XMLAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
    const char* name = a->Name();
    const char** slot = nullptr;
    // The first letter tells the candidates apart; the full name decides.
    switch (name[0]) {
      case 't': slot = std::strcmp(name, "type") == 0 ? &out.type : nullptr; break;
      case 'v': slot = std::strcmp(name, "value") == 0 ? &out.value : nullptr; break;
      case 'f': slot = std::strcmp(name, "frequency") == 0 ? &out.frequency : nullptr; break;
      case 'p': slot = std::strcmp(name, "power") == 0 ? &out.power : nullptr; break;
      case 'b':
        if (std::strcmp(name, "bssid") == 0)
          slot = &out.bssid;
        else if (std::strcmp(name, "battery") == 0)
          slot = &out.battery;
        break;
      default: break;
    }
    if (slot && !*slot) *slot = a->Value();
  }
  return out;
}

// The attributes a point may carry, found in one walk as for an entry.
struct PointAttributes {
  const char* name = nullptr;
  const char* deviceModel = nullptr;
  const char* deviceId = nullptr;
  const char* kx = nullptr;
  const char* ky = nullptr;
  const char* quality = nullptr;
  const char* duration = nullptr;
  const char* status = nullptr;
};

PointAttributes readPointAttributes(const XMLElement* e) {
  PointAttributes out;
  for (const XMLAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
    const char* name = a->Name();
    const char** slot = nullptr;
    switch (name[0]) {
      case 'n': slot = std::strcmp(name, "name") == 0 ? &out.name : nullptr; break;
      case 'd':
        if (std::strcmp(name, "deviceModel") == 0)
          slot = &out.deviceModel;
        else if (std::strcmp(name, "deviceId") == 0)
          slot = &out.deviceId;
        else if (std::strcmp(name, "duration") == 0)
          slot = &out.duration;
        break;
      case 'k':
        if (std::strcmp(name, "kx") == 0)
          slot = &out.kx;
        else if (std::strcmp(name, "ky") == 0)
          slot = &out.ky;
        break;
      case 'q': slot = std::strcmp(name, "quality") == 0 ? &out.quality : nullptr; break;
      case 's': slot = std::strcmp(name, "status") == 0 ? &out.status : nullptr; break;
      default: break;
    }
    if (slot && !*slot) *slot = a->Value();
  }
  return out;
}

// The next sibling element named "entry".
const XMLElement* nextEntry(const XMLElement* e) {
  for (e = e->NextSiblingElement(); e && std::strcmp(e->Name(), "entry") != 0;
       e = e->NextSiblingElement()) {
  }
  return e;
}

}  // namespace

FloorReader::KeySlot& FloorReader::slotFor(std::string_view view) {
  KeySlot* slot = nullptr;
  const size_t stop = std::min(cursor_ + 3, previousKeys_.size());
  for (size_t i = cursor_; i < stop; ++i) {
    if (*previousKeys_[i]->text == view) {
      slot = previousKeys_[i];
      break;
    }
  }
  if (!slot) {
    auto it = slots_.find(view);
    if (it == slots_.end()) {
      auto text = std::make_shared<const std::string>(view);
      const std::string_view stored(*text);
      it = slots_.emplace(stored, KeySlot{std::move(text), {}}).first;
    }
    slot = &it->second;
  }
  if (slot->point + 1 == point_) cursor_ = slot->place + 1;
  slot->place = currentKeys_.size();
  slot->point = point_;
  currentKeys_.push_back(slot);
  return *slot;
}

void FloorReader::gatherNames() {
  namesGathered_ = true;
  for (const ReferencePoint& rp : floor_.getReferencePoints()) names_.insert(rp.getName());
}

bool FloorReader::newName(const std::string& name) {
  if (!namesGathered_) {
    const std::vector<ReferencePoint>& points = floor_.getReferencePoints();
    if (points.empty() || name > points.back().getName()) return true;
    gatherNames();
  }
  return names_.insert(name).second;
}

int FloorReader::readEntry(const XMLElement* e, ReferencePoint& record) {
  const char* pointName = record.getName().c_str();
  const EntryAttributes at = readEntryAttributes(e);
  if (!at.type) {
    MV_LOG(kLogLevel, "There is no type attribute at %s RP\n", pointName);
    return 9;
  }
  int type = 0;
  if (std::strcmp(at.type, "WIFI") == 0) {
    type = 0;
  } else if (std::strcmp(at.type, "BEACON") == 0) {
    type = 2;
  } else if (std::strcmp(at.type, "BLE") == 0) {
    return 0;
  } else if (std::strcmp(at.type, "MAGNET") == 0) {
    if (!at.value) {
      MV_LOG(kLogLevel, "Bad value of magnetometer intensity of %s RP\n", pointName);
      return 9;
    }
    double intensity = 0.0;
    if (!ScanDouble(at.value, intensity)) {
      MV_LOG(kLogLevel, "ERROR sscanf magnetometer_intensity\n");
      return 0;
    }
    record.setMagneticIntensity(intensity);
    return 0;
  } else {
    MV_LOG(kLogLevel, "Bad type of AP at %s RP\n", pointName);
    return 9;
  }

  if (!at.bssid) {
    MV_LOG(kLogLevel, "Bssid of AP in %s point == 0\n", pointName);
    return 9;
  }
  const std::string_view bssid(at.bssid);
  double frequency = 0.0;
  if (type == 0) {
    if (!at.frequency) {
      MV_LOG(kLogLevel, "frequency of WIFI AP in %s point == 0\n", pointName);
      return 9;
    }
    if (!ScanDouble(at.frequency, frequency)) {
      MV_LOG(kLogLevel, "Bad sscanf of frequency attribute\n");
      return 9;
    }
  } else if (bssid.size() < kMinSurveyBeaconKeyLength) {
    MV_LOG(kLogLevel, "CRITICAL ERROR: Bad length of beacons bssid = %s\n", at.bssid);
    return 9;
  }
  if (!at.value) {
    MV_LOG(kLogLevel, "Bad value of AP in %s point == 0\n", pointName);
    return 9;
  }

  KeySlot& slot = slotFor(bssid);
  // A node made on its own: it is linked into the radio map as it is, and the
  // entry is never moved.
  RadioMap::node_type& node = slot.entries.emplace_back(nursery_.extract(nursery_.emplace(
      std::piecewise_construct, std::forward_as_tuple(slot.text), std::forward_as_tuple())));
  AccessPoint& ap = node.mapped();
  // The index the point gets once it is complete.
  ap.setRefPointIndex(static_cast<int>(floor_.getReferencePoints().size()));
  ap.setType(type);
  if (type == 0) {
    ap.setFrequency(frequency);
  } else {
    int v = 0;
    if (ScanInt(at.power, v)) ap.setPower(v);
    if (ScanInt(at.battery, v)) ap.setBattery(v);
  }
  ap.shareBssid(slot.text);
  ap.setDistribution(std::string(at.value));
  // A histogram that cannot be used costs only its own entry.
  if (ap.parseDistributionString() != 0 || ap.calculateMeanRssi() != 0 ||
      ap.calculateVariance() != 0 || rarelyHeard(ap, record)) {
    slot.entries.pop_back();
    return 0;
  }
  pending_.push_back(&slot);
  return 0;
}

void FloorReader::flush() {
  std::vector<KeySlot*> order;
  order.reserve(slots_.size());
  for (auto& [key, slot] : slots_) {
    if (!slot.entries.empty()) order.push_back(&slot);
  }
  std::sort(order.begin(), order.end(),
            [](const KeySlot* a, const KeySlot* b) { return *a->text < *b->text; });
  std::vector<std::string>& keys = floor_.getUniqueApsBssid();
  for (KeySlot* slot : order) {
    const std::string& key = *slot->text;
    keys.push_back(key);
    // After the entries the key already has; each entry then goes right
    // before the same hint, that is after the one placed before it. Every
    // node shares the key's one text.
    const RadioMap::iterator hint = radioMap_.upper_bound(key);
    for (RadioMap::node_type& node : slot->entries) radioMap_.insert(hint, std::move(node));
    std::vector<RadioMap::node_type>().swap(slot->entries);
  }
}

int FloorReader::readPoint(const XMLElement* e) {
  ReferencePoint record;
  const PointAttributes at = readPointAttributes(e);
  if (const char* name = at.name) {
    if (!*name) {
      MV_LOG(kLogLevel, "ERROR: reference point name is empty\n");
      return 5;
    }
    record.setName(name);
  }
  const char* pointName = record.getName().c_str();
  const char* model = at.deviceModel;
  const char* deviceId = at.deviceId;
  if (!model || !deviceId) {
    MV_LOG(kLogLevel, "%s point attributes == 0\n", pointName);
    return 9;
  }
  record.setDeviceModel(model);
  record.setDeviceId(deviceId);

  const char* kxText = at.kx;
  const char* kyText = at.ky;
  const char* qualityText = at.quality;
  if (!kxText || !kyText || !qualityText) {
    MV_LOG(kLogLevel, "ERROR: There is no kx, ky or quality attributes of %s reference point\n",
           pointName);
    return 9;
  }
  double kx = 0.0, ky = 0.0, quality = 0.0;
  if (!ScanDouble(kxText, kx) || !ScanDouble(kyText, ky) || !ScanDouble(qualityText, quality)) {
    MV_LOG(kLogLevel, "error sscanf kX, kY or quality attributes of %s point\n", pointName);
    return 9;
  }
  const SublocationNavProperties& props = floor_.getProperties();
  record.setKX(kx);
  record.setKY(ky);
  record.setQuality(quality);
  record.setX(props.width_meters * kx);
  record.setY(props.height_meters * ky);

  // A point without a readable duration gets 0, never the previous point's.
  int duration = 0;
  if (!ScanInt(at.duration, duration)) {
    MV_LOG(kLogLevel, "Error parsing duration of %s point\n", pointName);
    duration = 0;
  }
  record.setDuration(duration);

  if (const char* status = at.status) {
    record.setStatus(status);
    if (record.getStatus() == "del") {
      MV_LOG(kLogLevel, "%s point has status deleted. It's not filled\n", pointName);
      return 0;
    }
  }

  const XMLElement* first = e->FirstChildElement();
  if (!first) MV_LOG(kLogLevel, "WARNING: There is no any entries at %s RP\n", pointName);
  pending_.clear();
  previousKeys_.swap(currentKeys_);
  currentKeys_.clear();
  cursor_ = 0;
  ++point_;
  for (const XMLElement* entry = first; entry; entry = nextEntry(entry)) {
    int rc = readEntry(entry, record);
    if (rc != 0) {
      // Each key's newest entries are this point's: take them back.
      for (KeySlot* slot : pending_) slot->entries.pop_back();
      pending_.clear();
      return rc;
    }
  }
  pending_.clear();

  if (!newName(record.getName())) MV_LOG(kLogLevel, "ERROR: RP=%s already exists!!!\n", pointName);

  std::vector<ReferencePoint>& points = floor_.getReferencePoints();
  record.setIndex(static_cast<int>(points.size()));
  points.push_back(std::move(record));
  return 0;
}

int floorSizeCheck(const SublocationMap& floor) {
  const SublocationNavProperties& props = floor.getProperties();
  if (props.width_meters <= 0 || props.height_meters <= 0) {
    MV_LOG(kLogLevel, "ERROR: sublocation width or height <= 0\n");
    return 9;
  }
  return 0;
}

// Closes a floor's reading: the entries go into the radio map, also after a
// failed point (rc), since the points before it stay.
int finishFloor(FloorReader& reader, SublocationMap& floor, int rc) {
  reader.flush();
  if (rc != 0) return rc;
  if (floor.getReferencePoints().empty())
    MV_LOG(kLogLevel, "WARNING: There is no reference points for %d sublocation!\n",
           floor.getId());
  std::vector<std::string>& keys = floor.getUniqueApsBssid();
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return 0;
}

int enoughPoints(const SublocationMap& floor) {
  if (floor.getNRp() > 2) return 0;
  MV_LOG(kLogLevel,
         "\n ERROR: there is no enough measurementsfloor with id = %d will be excluded from "
         "navigation\n",
         floor.getId());
  return 9;
}

namespace {

int fillAllReferencePoints(const XMLElement* first, SublocationMap& floor,
                           double minimalFrequency) {
  if (int rc = floorSizeCheck(floor)) return rc;
  FloorReader reader(floor, minimalFrequency);
  int rc = 0;
  for (const XMLElement* e = first; e && rc == 0; e = e->NextSiblingElement()) {
    if (std::strcmp(e->Name(), "point") == 0) rc = reader.readPoint(e);
  }
  return finishFloor(reader, floor, rc);
}

}  // namespace

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
  int rc = fillAllReferencePoints(sub->FirstChildElement(), floor,
                                  map.getNavigationProperties().knn.Minimal_ap_freq);
  if (rc != 0) return rc;
  return enoughPoints(floor);
}

}  // namespace measure_internal
