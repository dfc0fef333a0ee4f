// The radio map read piece by piece while the member is inflated: a scan for
// the tags of the document's skeleton, each point handed to tinyxml2 on its own.
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

}  // namespace

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

}  // namespace measure_internal
