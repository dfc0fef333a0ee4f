// The radio map (measure.xml): surveyed reference points with a signal
// histogram per transmitter heard there, and the filters that thin it by how
// often a transmitter was heard, by signal kind and by known beacons.
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
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/parse_measure_xml.h"
#include "wifipos/navigation_map/scan_number.h"
#include "wifipos/navigation_map/measure_internal.h"

using tinyxml2::XMLAttribute;
using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

using namespace measure_internal;

namespace {

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

// `readFiltered`: every entry was made by this reading, which left out what
// the filter would erase.
void filterApByDuration(NavigationMap& map, bool readFiltered) {
  const double minimalFrequency = map.getNavigationProperties().knn.Minimal_ap_freq;
  // No minimum keeps everything, also entries of a point whose duration is
  // negative (which would otherwise give a negative frequency).
  const bool active = minimalFrequency > 0 && !readFiltered;
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

void adjustUseSignals(NavigationMap& map, bool readFiltered) {
  filterApByDuration(map, readFiltered);
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

int ReadSignalsMap(NavigationMap& map, MeasureReading how, bool* piecewise, size_t chunkBytes) {
  std::vector<SublocationMap>& floors = map.getSublocationsVector();
  bool fresh = true;
  for (const SublocationMap& floor : floors) fresh = fresh && floor.getRadioMap().empty();
  bool read = false;
  if (how == MeasureReading::kPiecewiseWherePossible && !floors.empty()) {
    // Copies of the floors share their bulk until changed, so keeping them
    // to undo a piecewise reading that has to give way costs little.
    std::vector<SublocationMap> before = floors;
    const NavigationFiles& files = map.getFiles();
    read = readPiecewise(map, files.pathToArchive, files.measuringFile, chunkBytes);
    if (!read) floors = std::move(before);
  }
  if (piecewise) *piecewise = read;
  if (!read) {
    char* data = nullptr;
    int size = 0;
    const NavigationFiles& files = map.getFiles();
    int rc = map.getDataFromZip(files.pathToArchive.c_str(), files.measuringFile.c_str(), data,
                                &size);
    if (rc != 0) return rc;
    // The member's buffer goes as soon as it is parsed and the document as
    // soon as the floors are read. (The buffer ends in a zero byte; the
    // parser needs no trailing line break.)
    XMLDocument document;
    rc = map.parseXmlTopNodes(data, document);
    std::free(data);
    if (rc != 0) return rc;
    // A floor that fails keeps what was read of it; the others are still read.
    for (SublocationMap& floor : floors) fillSublocationStructure(map, document, floor);
  }

  if (floors.empty()) {
    MV_LOG(kLogLevel, "ERROR There is no any correct sublocations\n");
    return 9;
  }
  adjustUseSignals(map, fresh);
  return 0;
}

int NavigationMap::parseSignalsMapXML() {
  return ReadSignalsMap(*this, MeasureReading::kPiecewiseWherePossible);
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
