// The radio map (measure.xml): surveyed reference points with a signal
// histogram per transmitter heard there, and the filters that thin it by how
// often a transmitter was heard, by signal kind and by known beacons.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
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
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/scan_number.h"

using tinyxml2::XMLAttribute;
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

// Reads the points of one floor into its point list and radio map.
//
// A floor's radio map holds a hundred thousand entries and more. Every entry
// of a key shares one copy of the key text. Entries are gathered per key in
// reading order and go into the radio map key by key in ascending order once
// the floor is read (`flush`), each placed at the end of its key without a
// search through the tree; a key's nodes are then also made one after the
// other. A point's entries are made in place in their key's list and taken
// back if the point fails, so that no entry can name a point that is never
// added.
class FloorReader {
 public:
  explicit FloorReader(SublocationMap& floor) : floor_(floor), radioMap_(floor.getRadioMap()) {
    for (const ReferencePoint& rp : floor.getReferencePoints()) names_.insert(rp.getName());
  }

  int readPoint(const XMLElement* e);
  // Moves the entries of every point read so far into the radio map. Also
  // after a failed point: the points before it stay, with their entries.
  void flush();

 private:
  struct KeySlot {
    std::shared_ptr<const std::string> text;
    std::vector<AccessPoint> entries;  // in reading order
  };

  KeySlot& slotFor(const char* key);
  int readEntry(const XMLElement* e, ReferencePoint& record);

  SublocationMap& floor_;
  RadioMap& radioMap_;
  std::unordered_set<std::string> names_;
  // The views point into the shared key texts, which live as long as the table.
  std::unordered_map<std::string_view, KeySlot> slots_;
  std::vector<KeySlot*> pending_;  // keys of the current point's entries, in order
};

FloorReader::KeySlot& FloorReader::slotFor(const char* key) {
  const std::string_view view(key);
  auto it = slots_.find(view);
  if (it == slots_.end()) {
    auto text = std::make_shared<const std::string>(view);
    const std::string_view stored(*text);
    it = slots_.emplace(stored, KeySlot{std::move(text), {}}).first;
  }
  return it->second;
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
  } else if (std::strlen(at.bssid) < kMinSurveyBeaconKeyLength) {
    MV_LOG(kLogLevel, "CRITICAL ERROR: Bad length of beacons bssid = %s\n", at.bssid);
    return 9;
  }
  if (!at.value) {
    MV_LOG(kLogLevel, "Bad value of AP in %s point == 0\n", pointName);
    return 9;
  }

  KeySlot& slot = slotFor(at.bssid);
  AccessPoint& ap = slot.entries.emplace_back();
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
  ap.setDistribution(at.value);
  // A histogram that cannot be used costs only its own entry.
  if (ap.parseDistributionString() != 0 || ap.calculateMeanRssi() != 0 ||
      ap.calculateVariance() != 0) {
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
    // before the same hint, that is after the one placed before it.
    const RadioMap::iterator hint = radioMap_.upper_bound(key);
    for (AccessPoint& ap : slot->entries) {
      radioMap_.emplace_hint(hint, std::piecewise_construct, std::forward_as_tuple(key),
                             std::forward_as_tuple(std::move(ap)));
    }
    std::vector<AccessPoint>().swap(slot->entries);
  }
}

int FloorReader::readPoint(const XMLElement* e) {
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
  if (!ScanInt(e->Attribute("duration"), duration)) {
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
  pending_.clear();
  for (const XMLElement* entry = first; entry; entry = entry->NextSiblingElement("entry")) {
    int rc = readEntry(entry, record);
    if (rc != 0) {
      // Each key's newest entries are this point's: take them back.
      for (KeySlot* slot : pending_) slot->entries.pop_back();
      pending_.clear();
      return rc;
    }
  }
  pending_.clear();

  if (!names_.insert(record.getName()).second)
    MV_LOG(kLogLevel, "ERROR: RP=%s already exists!!!\n", pointName);

  std::vector<ReferencePoint>& points = floor_.getReferencePoints();
  record.setIndex(static_cast<int>(points.size()));
  points.push_back(std::move(record));
  return 0;
}

int fillAllReferencePoints(const XMLElement* first, SublocationMap& floor) {
  const SublocationNavProperties& props = floor.getProperties();
  if (props.width_meters <= 0 || props.height_meters <= 0) {
    MV_LOG(kLogLevel, "ERROR: sublocation width or height <= 0\n");
    return 9;
  }
  FloorReader reader(floor);
  for (const XMLElement* e = first; e; e = e->NextSiblingElement()) {
    if (std::strcmp(e->Name(), "point") != 0) continue;
    int rc = reader.readPoint(e);
    if (rc != 0) {
      reader.flush();
      return rc;
    }
  }
  reader.flush();
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

// Erases every radio-map entry whose key satisfies `drop`. Entries of a key
// are adjacent, so the test runs once per distinct key and the walk steps
// from key to key instead of through every entry.
template <class Pred>
void eraseKeys(SublocationMap& floor, Pred drop) {
  RadioMap& radioMap = floor.getRadioMap();
  for (auto it = radioMap.begin(); it != radioMap.end();) {
    const auto next = radioMap.upper_bound(it->first);
    it = drop(it->first) ? radioMap.erase(it, next) : next;
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
  {
    // The member is the largest of the archive. The parser keeps a copy of
    // its own, so the member's buffer goes as soon as it is parsed and the
    // document as soon as the floors are read: neither stays beside the
    // growing radio map longer than it must. (The buffer ends in a zero
    // byte; the parser needs no trailing line break.)
    XMLDocument document;
    rc = parseXmlTopNodes(data, document);
    std::free(data);
    if (rc != 0) return rc;
    // A floor that fails keeps what was read of it; the others are still read.
    for (SublocationMap& floor : sublocations_) fillSublocationStructure(*this, document, floor);
  }

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
    eraseKeys(floor, [&](const std::string& key) {
      if (key.size() < kMinUnknownBeaconKeyLength) return false;
      Beacon probe;
      probe.setBeaconId(key);
      return std::find(beacons.begin(), beacons.end(), probe) == beacons.end();
    });
    floor.updateUniqueApsBssid();
  }
  return 0;
}
