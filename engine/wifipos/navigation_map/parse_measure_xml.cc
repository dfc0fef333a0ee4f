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

// ---------------------------------------------------------------------------
// Reading the member piece by piece.
//
// A whole-document parse holds the member's text and its tree, several times
// the text, while the radio map grows beside them. Instead the member is
// inflated a chunk at a time; the root's and its children's tags (the
// skeleton) are found here, and every element below them (a point, as a
// rule) is handed to tinyxml2 on its own, reusing one document, and read at
// once. Only tag boundaries are found here; all parsing stays with tinyxml2.
// The skeleton is parsed as a document of its own at the end, so that every
// byte of the member has passed through the parser.
//
// Anything this does not expect (comments or CDATA below the prolog, text
// between elements, names beyond ASCII, a NUL byte, a deep element, a
// damaged member, any parse error) makes the caller undo what was read and
// parse the member whole, so the result and the accept/refuse decision are
// always the whole-document parse's.

// Character classes, looked up: the scan visits every byte of the member.
enum : unsigned char { kBlank = 1, kNameStart = 2, kNameChar = 4 };

constexpr std::array<unsigned char, 256> kCharClass = [] {
  std::array<unsigned char, 256> t{};
  for (unsigned char c : {' ', '\t', '\n', '\r', '\v', '\f'}) t[c] = kBlank;
  for (int c = 0; c < 256; ++c) {
    const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    if (start) t[c] = kNameStart | kNameChar;
    if ((c >= '0' && c <= '9') || c == '.' || c == '-') t[c] = kNameChar;
  }
  return t;
}();

bool isBlank(char c) { return kCharClass[static_cast<unsigned char>(c)] & kBlank; }
bool isNameStart(char c) { return kCharClass[static_cast<unsigned char>(c)] & kNameStart; }
bool isNameChar(char c) { return kCharClass[static_cast<unsigned char>(c)] & kNameChar; }

// The id rule of the map's own look-up: strtol, clamped to int.
int idValue(const char* text) {
  const long v = std::strtol(text, nullptr, 10);
  return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

enum class Scan { kOk, kMore, kOdd };

struct Tag {
  bool closing = false;
  bool empty = false;  // <name ... />
  std::string_view name;
  size_t length = 0;
};

// The tag starting at p ('<'). Strict: a name of ASCII name characters, then
// only blank-separated name="value" or name='value' pairs; a quoted value may
// hold '<' and '>'. The text at `end` must be a zero byte, which ends every
// run of name characters or blanks, so that those runs need no bound.
Scan scanTag(const char* p, const char* end, Tag& tag) {
  const char* q = p + 1;
  if (q >= end) return Scan::kMore;
  if (*q == '/') {
    tag.closing = true;
    ++q;
  }
  if (q >= end) return Scan::kMore;
  if (!isNameStart(*q)) return Scan::kOdd;
  const char* name = q;
  while (isNameChar(*q)) ++q;
  if (q >= end) return Scan::kMore;
  tag.name = std::string_view(name, static_cast<size_t>(q - name));
  if (tag.closing) {
    while (isBlank(*q)) ++q;
    if (q >= end) return Scan::kMore;
    if (*q != '>') return Scan::kOdd;
    tag.length = static_cast<size_t>(q + 1 - p);
    return Scan::kOk;
  }
  for (;;) {
    const char* before = q;
    while (isBlank(*q)) ++q;
    if (q >= end) return Scan::kMore;
    if (*q == '>') {
      tag.length = static_cast<size_t>(q + 1 - p);
      return Scan::kOk;
    }
    if (*q == '/') {
      if (q + 1 >= end) return Scan::kMore;
      if (q[1] != '>') return Scan::kOdd;
      tag.empty = true;
      tag.length = static_cast<size_t>(q + 2 - p);
      return Scan::kOk;
    }
    if (q == before || !isNameStart(*q)) return Scan::kOdd;
    while (isNameChar(*q)) ++q;
    while (isBlank(*q)) ++q;
    if (q >= end) return Scan::kMore;
    if (*q != '=') return Scan::kOdd;
    ++q;
    while (isBlank(*q)) ++q;
    if (q >= end) return Scan::kMore;
    if (*q != '"' && *q != '\'') return Scan::kOdd;
    const char quote = *q++;
    const char* close = static_cast<const char*>(std::memchr(q, quote, static_cast<size_t>(end - q)));
    if (!close) return Scan::kMore;
    q = close + 1;
  }
}

// Far below tinyxml2's own depth limit, which the whole document would meet
// a few levels earlier than a piece does.
constexpr int kMaxPieceDepth = 16;

// The element starting at p ('<') up to and including its end tag, copied
// to `out` (which may overlap the text, at or before p) as its tags alone.
// The text between them is left out: the parser would drop blank runs (a
// survey indents every entry) after a library call per byte, and any other
// text becomes a text node that no reader of a point looks at and that
// cannot fail to parse (it runs to the next '<', found here just as the
// parser finds it). `copied` is how many bytes went to `out`; on kMore or
// kOdd nothing has been copied.
Scan scanPiece(const char* p, const char* end, size_t& length, char* out, size_t& copied) {
  std::string_view open[kMaxPieceDepth];
  int depth = 0;
  const char* q = p;
  // Stretches of the piece to keep, as [begin, end) pairs; copied once the
  // piece is known complete, since out may lie over the piece itself.
  constexpr int kStretches = 256;
  const char* keep[2 * kStretches];
  int stretches = 0;
  bool spill = false;  // more stretches than room: the piece is copied whole
  auto keepStretch = [&](const char* from, const char* to) {
    if (stretches > 0 && keep[2 * stretches - 1] == from) {
      keep[2 * stretches - 1] = to;
    } else if (stretches < kStretches) {
      keep[2 * stretches] = from;
      keep[2 * stretches + 1] = to;
      ++stretches;
    } else {
      spill = true;
    }
  };
  for (;;) {
    Tag tag;
    const Scan s = scanTag(q, end, tag);
    if (s != Scan::kOk) return s;
    if (q == p && tag.closing) return Scan::kOdd;
    if (tag.closing) {
      if (open[depth - 1] != tag.name) return Scan::kOdd;
      --depth;
    } else if (!tag.empty) {
      if (depth == kMaxPieceDepth) return Scan::kOdd;
      open[depth++] = tag.name;
    }
    keepStretch(q, q + tag.length);
    q += tag.length;
    if (depth == 0) break;
    const char* lt = static_cast<const char*>(std::memchr(q, '<', static_cast<size_t>(end - q)));
    if (!lt) return Scan::kMore;
    q = lt;
  }
  length = static_cast<size_t>(q - p);
  if (spill) {
    std::memmove(out, p, length);
    copied = length;
    return Scan::kOk;
  }
  copied = 0;
  for (int i = 0; i < stretches; ++i) {
    const size_t n = static_cast<size_t>(keep[2 * i + 1] - keep[2 * i]);
    std::memmove(out + copied, keep[2 * i], n);
    copied += n;
  }
  return Scan::kOk;
}

class PiecewiseReader {
 public:
  explicit PiecewiseReader(NavigationMap& map) : map_(map) {
    for (SublocationMap& floor : map.getSublocationsVector()) floors_.emplace_back().floor = &floor;
  }

  // Room for the next n bytes of the member, to be read in place.
  char* reserve(size_t n);
  // Takes the n bytes read into the room; false when the member needs the
  // whole-document parse.
  bool commit(size_t n);
  // The member has ended: checks the skeleton and logs the floors no
  // element served. False as for commit.
  bool finish();
  // How many bytes the next read should bring at least: an element cut by
  // the end of a chunk is scanned again from its start, so the chunks grow
  // with it.
  size_t pending() const { return size_ - pos_; }

 private:
  struct Floor {
    SublocationMap* floor = nullptr;
    bool resolved = false;  // its Sublocation element found, or its search ended
    bool reading = false;   // served by the open Sublocation element
    bool sawPoint = false;
    int rc = 0;
    std::unique_ptr<FloorReader> reader;
  };

  bool process();
  bool startRoot(const Tag& tag, const char* text);
  bool startChild(const Tag& tag, const char* text);
  void endChild();
  // Parses the pieces gathered since the last glue tag as one document of
  // sibling elements, and reads its points.
  bool flushBatch();
  void readPoint(const XMLElement* e);
  // Parses a start tag made self-closing (behind the prolog for the root).
  const XMLElement* parseStartTag(const Tag& tag, const char* text, const std::string& before);

  NavigationMap& map_;
  std::vector<Floor> floors_;
  XMLDocument doc_;
  // For batches without an '&': tinyxml2 then decodes a value by copying it
  // alone, without looking for entities, which such a text cannot hold; the
  // values come out the same.
  XMLDocument plainDoc_{false};
  // The text not yet consumed; the room beyond size_ is not initialised.
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t size_ = 0;
  size_t pos_ = 0;  // scanned up to here
  std::string skeleton_;
  std::string scratch_;
  std::vector<std::string> open_;  // names of the open root and child
  bool rootSeen_ = false;
  bool rootClosed_ = false;
  int children_ = 0;      // child elements of the root
  int sublocations_ = 0;  // of them named Sublocation
  // Pieces found but not yet parsed, moved together (their tags alone, see
  // scanPiece) into [batchBegin_, batchEnd_) of the buffer, before pos_.
  size_t batchBegin_ = 0;
  size_t batchEnd_ = 0;
  int batchCount_ = 0;
};

const XMLElement* PiecewiseReader::parseStartTag(const Tag& tag, const char* text,
                                                 const std::string& before) {
  scratch_ = before;
  scratch_.append(text, tag.length);
  if (!tag.empty) scratch_.insert(scratch_.size() - 1, 1, '/');
  if (doc_.Parse(scratch_.data(), scratch_.size()) != tinyxml2::XML_SUCCESS) return nullptr;
  return doc_.RootElement();
}

bool PiecewiseReader::startRoot(const Tag& tag, const char* text) {
  if (rootSeen_ || tag.name != "Location") return false;
  rootSeen_ = true;
  const XMLElement* root = parseStartTag(tag, text, skeleton_);
  const char* id = root ? root->Attribute("id") : nullptr;
  return id && idValue(id) == map_.getLocationId();
}

bool PiecewiseReader::startChild(const Tag& tag, const char* text) {
  ++children_;
  const XMLElement* e = parseStartTag(tag, text, std::string());
  if (!e) return false;
  if (tag.name != "Sublocation") return true;
  ++sublocations_;
  // The first Sublocation element with the floor's id serves it; one
  // without an id ends the search of every floor not yet served.
  const char* id = e->Attribute("id");
  for (Floor& f : floors_) {
    if (f.resolved) continue;
    const int floorId = f.floor->getId();
    if (!id) {
      MV_LOG(kLogLevel, "Starting parse measure.xml for %d sublocation\n", floorId);
      MV_LOG(kLogLevel, "error there is no id attribute at id=%d Sublocation\n", floorId);
      f.resolved = true;
    } else if (idValue(id) == floorId) {
      MV_LOG(kLogLevel, "Starting parse measure.xml for %d sublocation\n", floorId);
      f.resolved = true;
      f.reading = true;
    }
  }
  return true;
}

bool PiecewiseReader::flushBatch() {
  if (batchCount_ == 0) return true;
  const int count = batchCount_;
  batchCount_ = 0;
  // Every piece is parsed, as the whole document would be, read or not.
  const char* text = buffer_.get() + batchBegin_;
  const size_t length = batchEnd_ - batchBegin_;
  XMLDocument& doc = std::memchr(text, '&', length) ? doc_ : plainDoc_;
  if (doc.Parse(text, length) != tinyxml2::XML_SUCCESS) return false;
  int seen = 0;
  for (const tinyxml2::XMLNode* n = doc.FirstChild(); n; n = n->NextSibling()) {
    const XMLElement* e = n->ToElement();
    if (!e) return false;  // only blanks lie between the pieces
    ++seen;
    if (std::strcmp(e->Name(), "point") == 0) readPoint(e);
  }
  return seen == count;
}

void PiecewiseReader::readPoint(const XMLElement* e) {
  for (Floor& f : floors_) {
    if (!f.reading) continue;
    f.sawPoint = true;
    if (f.rc != 0) continue;
    if (!f.reader) {
      f.rc = floorSizeCheck(*f.floor);
      if (f.rc != 0) continue;
      f.reader = std::make_unique<FloorReader>(
          *f.floor, map_.getNavigationProperties().knn.Minimal_ap_freq);
    }
    f.rc = f.reader->readPoint(e);
  }
}

void PiecewiseReader::endChild() {
  for (Floor& f : floors_) {
    if (!f.reading) continue;
    f.reading = false;
    if (!f.sawPoint) {
      MV_LOG(kLogLevel, "There is no measurements on id = %d floor\n", f.floor->getId());
      continue;
    }
    if (!f.reader) continue;  // the floor's size was refused
    if (finishFloor(*f.reader, *f.floor, f.rc) == 0) enoughPoints(*f.floor);
    f.reader.reset();
  }
}

bool PiecewiseReader::process() {
  for (;;) {
    const char* base = buffer_.get();
    const char* end = base + size_;
    const char* p = base + pos_;
    const char* q = p;
    while (q < end && isBlank(*q)) ++q;
    skeleton_.append(p, q);
    pos_ = static_cast<size_t>(q - base);
    if (q == end) return flushBatch();
    // Text, a NUL or anything else after the root: not what a survey writes.
    if (*q != '<' || rootClosed_) return false;
    if (q + 1 == end) return flushBatch();
    if (!rootSeen_ && (q[1] == '?' || q[1] == '!')) {
      // The prolog: a declaration or a comment, kept for the skeleton.
      const bool declaration = q[1] == '?';
      if (!declaration && std::string_view(q, static_cast<size_t>(end - q)).substr(0, 4) != "<!--") {
        if (end - q < 4) return true;
        return false;
      }
      const std::string_view rest(q, static_cast<size_t>(end - q));
      const size_t close = declaration ? rest.find("?>", 2) : rest.find("-->", 4);
      if (close == std::string_view::npos) return true;
      const size_t length = close + (declaration ? 2 : 3);
      skeleton_.append(q, length);
      pos_ += length;
      continue;
    }
    if (open_.size() == 2 && q[1] != '/') {
      if (batchCount_ == 0) batchBegin_ = batchEnd_ = pos_;
      size_t length = 0;
      size_t copied = 0;
      const Scan s = scanPiece(q, end, length, buffer_.get() + batchEnd_, copied);
      if (s == Scan::kMore) return flushBatch();
      if (s == Scan::kOdd) return false;
      ++batchCount_;
      pos_ += length;
      batchEnd_ += copied;
      continue;
    }
    if (!flushBatch()) return false;
    Tag tag;
    const Scan s = scanTag(q, end, tag);
    if (s == Scan::kMore) return true;
    if (s == Scan::kOdd) return false;
    if (tag.closing) {
      if (open_.empty() || open_.back() != tag.name) return false;
      open_.pop_back();
      if (open_.size() == 1) endChild();
      if (open_.empty()) rootClosed_ = true;
    } else if (open_.empty()) {
      if (!startRoot(tag, q)) return false;
      if (tag.empty) rootClosed_ = true;
      else open_.emplace_back(tag.name);
    } else {
      if (!startChild(tag, q)) return false;
      if (tag.empty) endChild();
      else open_.emplace_back(tag.name);
    }
    skeleton_.append(q, tag.length);
    pos_ += tag.length;
  }
}

char* PiecewiseReader::reserve(size_t n) {
  const size_t kept = size_ - pos_;
  if (kept + n > capacity_) {
    capacity_ = std::max(kept + n, 2 * capacity_);
    // One more for the zero byte that closes the text for scanTag.
    std::unique_ptr<char[]> more = std::make_unique_for_overwrite<char[]>(capacity_ + 1);
    if (kept > 0) std::memcpy(more.get(), buffer_.get() + pos_, kept);
    buffer_ = std::move(more);
  } else if (pos_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + pos_, kept);
  }
  pos_ = 0;
  size_ = kept;
  return buffer_.get() + size_;
}

bool PiecewiseReader::commit(size_t n) {
  // A NUL byte ends the text for the whole-document parse; that one reads it.
  if (std::memchr(buffer_.get() + size_, '\0', n)) return false;
  size_ += n;
  if (buffer_) buffer_[size_] = '\0';
  return process();
}

bool PiecewiseReader::finish() {
  if (!rootClosed_ || pos_ != size_) return false;
  // The skeleton must parse too, and hold the children found here.
  if (doc_.Parse(skeleton_.data(), skeleton_.size()) != tinyxml2::XML_SUCCESS) return false;
  int children = 0;
  for (const XMLElement* e = doc_.RootElement()->FirstChildElement(); e; e = e->NextSiblingElement())
    ++children;
  if (children != children_) return false;
  for (Floor& f : floors_) {
    if (f.resolved) continue;
    const int floorId = f.floor->getId();
    if (sublocations_ == 0) {
      MV_LOG(kLogLevel, "There is no Sublocation childs of %d location\n", map_.getLocationId());
      continue;
    }
    MV_LOG(kLogLevel, "Starting parse measure.xml for %d sublocation\n", floorId);
    MV_LOG(kLogLevel,
           "ERROR: There is no such a sublocation with id = %d at .xml file\n Parse will be "
           "interrupted\n",
           floorId);
  }
  return true;
}

// Reads the member piece by piece into the floors. False, with the floors as
// they may have been left half read, when it needs the whole-document parse.
bool readPiecewise(NavigationMap& map, const std::string& archivePath,
                   const std::string& member, size_t chunkBytes) {
  zip* archive = ZipOpen(archivePath.c_str());
  if (!archive) return false;
  bool ok = false;
  {
    ZipMemberStream in(archive, member.c_str());
    const size_t chunk = chunkBytes > 0 ? chunkBytes : size_t{1} << 16;
    long long total = 0;
    // The whole reading refuses members beyond 1 GiB; so does this one.
    if (in.ok() && in.size() > 0 && in.size() <= (1LL << 30)) {
      PiecewiseReader reader(map);
      for (;;) {
        const size_t want = std::max(chunk, reader.pending());
        const long long n = in.read(reader.reserve(want), static_cast<long long>(want));
        if (n < 0) break;
        if (n == 0) {
          ok = total == in.size() && reader.commit(0) && reader.finish();
          break;
        }
        total += n;
        if (!reader.commit(static_cast<size_t>(n))) break;
      }
    }
  }
  ZipClose(archive);
  return ok;
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
