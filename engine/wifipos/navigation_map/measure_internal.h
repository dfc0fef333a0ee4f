// What the radio map's readers share (internal): the floor reader that
// both the whole-document and the piecewise reading feed points to, and the
// steps that open and close a floor's reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <tinyxml2.h>

#include "wifipos/navigation_map/navigation_map.h"

namespace measure_internal {

using tinyxml2::XMLElement;

constexpr int kLogLevel = 11;

// Wi-Fi keys are bssid texts, beacon keys the 50-character beacon key; the
// length alone tells them apart.
constexpr size_t kMaxWifiKeyLength = 29;
constexpr size_t kMinBeaconKeyLength = 31;
constexpr size_t kMinUnknownBeaconKeyLength = 30;
constexpr size_t kMinSurveyBeaconKeyLength = 48;

// Reads the points of one floor into its point list and radio map.
//
// A floor's radio map holds a hundred thousand entries and more. Every entry
// of a key shares one copy of the key text. Entries are gathered per key in
// reading order and go into the radio map key by key in ascending order once
// the floor is read (`flush`), each placed at the end of its key without a
// search through the tree. A point's entries are made in place, in the tree
// nodes that are later linked in as they are, and taken back if the point
// fails, so that no entry can name a point that is never added. Entries the
// duration filter would erase (heard less often than `minimalFrequency` times
// a second, when that is above 0) are never made: erasing them from the
// finished radio map would walk every entry again.
class FloorReader {
 public:
  FloorReader(SublocationMap& floor, double minimalFrequency)
      : floor_(floor), radioMap_(floor.getRadioMap()), minimalFrequency_(minimalFrequency) {
    if (!floor.getReferencePoints().empty()) gatherNames();
  }

  int readPoint(const XMLElement* e);
  // Moves the entries of every point read so far into the radio map. Also
  // after a failed point: the points before it stay, with their entries.
  void flush();

 private:
  struct KeySlot {
    std::shared_ptr<const std::string> text;
    // In reading order, each already in the radio-map node it goes into.
    std::vector<RadioMap::node_type> entries;
    // Where the key stood in the key list of point number `point`.
    size_t place = 0;
    size_t point = static_cast<size_t>(-1);  // none yet
  };
  // Keys are long and share long stretches (a venue's beacons differ only in
  // major and minor, near the front), so a hash of the whole text buys
  // nothing over one of both ends; equal hashes are told apart by the text.
  struct KeyHash {
    size_t operator()(std::string_view key) const noexcept {
      if (key.size() < 16) return std::hash<std::string_view>()(key);
      uint64_t a, b, c;
      std::memcpy(&a, key.data(), 8);
      std::memcpy(&b, key.data() + 8, 8);
      std::memcpy(&c, key.data() + key.size() - 8, 8);
      uint64_t h = (a * 0x9E3779B97F4A7C15ULL) ^ (b + 0xC2B2AE3D27D4EB4FULL);
      h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ULL ^ c ^ key.size();
      return static_cast<size_t>(h ^ (h >> 32));
    }
  };

  KeySlot& slotFor(std::string_view key);
  // Whether no point of the floor has that name yet.
  bool newName(const std::string& name);
  void gatherNames();
  bool rarelyHeard(const AccessPoint& ap, const ReferencePoint& record) const {
    // Samples per second; a zero duration gives inf or nan, which drop nothing.
    return minimalFrequency_ > 0 &&
           minimalFrequency_ > ap.getMeasurementCount() / (record.getDuration() / 1000.0);
  }
  int readEntry(const XMLElement* e, ReferencePoint& record);

  SublocationMap& floor_;
  RadioMap& radioMap_;
  const double minimalFrequency_;
  // The names of the floor's points, for the warning about a repeated name;
  // gathered only once a name comes out of ascending order. Surveys list
  // their points by name, and while the names ascend, a name above the last
  // is above all and so new; a set of them would cost a cache miss or more
  // per point.
  std::unordered_set<std::string> names_;
  bool namesGathered_ = false;
  // The views point into the shared key texts, which live as long as the table.
  std::unordered_map<std::string_view, KeySlot, KeyHash> slots_;
  // Where an entry's node is made before it is taken out on its own; always
  // empty between entries.
  RadioMap nursery_;
  std::vector<KeySlot*> pending_;  // keys of the current point's entries, in order
  // The keys of the previous point's entries and of this point's so far, in
  // order. A survey lists the transmitters of neighbouring points in the
  // same order, each point hearing a few more or fewer than the last: the
  // keys just after the one found last in the previous point's list are
  // tried before the table.
  std::vector<KeySlot*> previousKeys_;
  std::vector<KeySlot*> currentKeys_;
  size_t cursor_ = 0;  // in previousKeys_
  size_t point_ = 0;   // points begun, so 1 for the first
};

int floorSizeCheck(const SublocationMap& floor);
// Closes a floor's reading: the entries go into the radio map, also after a
// failed point (rc), since the points before it stay.
int finishFloor(FloorReader& reader, SublocationMap& floor, int rc);
int enoughPoints(const SublocationMap& floor);
// Reads one floor from the whole parsed document.
int fillSublocationStructure(NavigationMap& map, tinyxml2::XMLDocument& document, SublocationMap& floor);
// Reads the member piece by piece into the floors. False, with the floors as
// they may have been left half read, when it needs the whole-document parse.
bool readPiecewise(NavigationMap& map, const std::string& archivePath, const std::string& member,
                   size_t chunkBytes);

}  // namespace measure_internal
