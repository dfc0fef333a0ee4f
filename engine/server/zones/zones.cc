#include "server/zones/zones.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include <tinyxml2.h>

#include "server/utils.h"

namespace {

// An edge whose y range, widened by this much, misses the point's height can
// neither hold the point (the on-edge test reaches at most about 1.2e-4 off the
// segment) nor cross its ray (an end at the ray's height is lifted by only 1e-4).
constexpr double kEdgeReach = 1e-3;

bool ContainsPoint(const Zone& zone, double x, double y, bool trace) {
  const std::vector<LocationPoint>& pts = zone.points;
  const size_t n = pts.size();
  int crossings = 0;
  for (size_t i = 0; i < n; ++i) {
    const LocationPoint& a = pts[i];
    const LocationPoint& b = pts[i + 1 < n ? i + 1 : 0];
    // Most edges of a floor full of zones lie well above or below the point;
    // skipping them changes no answer (only the per-edge trace needs them).
    if (!trace && ((y > a.y + kEdgeReach && y > b.y + kEdgeReach) ||
                   (y < a.y - kEdgeReach && y < b.y - kEdgeReach)))
      continue;
    if (PointOnLine(x, y, a.x, a.y, b.x, b.y)) {
      if (trace)
        MV_LOG(3, "Point (%lf, %lf) belongs to line (%lf, %lf) - (%lf, %lf)\n", x, y, a.x, a.y,
               b.x, b.y);
      return true;
    }
    if (XRayIntersectsLine(x, y, a.x, a.y, b.x, b.y)) {
      ++crossings;
      if (trace)
        MV_LOG(3, "XRay (%lf, %lf) intersects with line (%lf, %lf) - (%lf, %lf)\n", x, y, a.x,
               a.y, b.x, b.y);
    } else if (trace) {
      MV_LOG(3, "XRay (%lf, %lf) not intersects with line (%lf, %lf) - (%lf, %lf)\n", x, y, a.x,
             a.y, b.x, b.y);
    }
  }
  return (crossings % 2) == 1;
}

bool TraceEnabled() { return _Logger.enabled(3, __FILE__); }

// Attribute numbers: a missing or unreadable attribute gives 0.
int IntAttribute(const tinyxml2::XMLElement* e, const char* name) {
  int value = 0;
  if (const char* text = e->Attribute(name)) {
    if (std::sscanf(text, "%d", &value) != 1) value = 0;
  }
  return value;
}

double DoubleAttribute(const tinyxml2::XMLElement* e, const char* name) {
  double value = 0.0;
  if (const char* text = e->Attribute(name)) {
    if (std::sscanf(text, "%lf", &value) != 1) value = 0.0;
  }
  return value;
}

std::string TextAttribute(const tinyxml2::XMLElement* e, const char* name) {
  const char* text = e->Attribute(name);
  return text ? std::string(text) : std::string();
}

// The root element when the text parses and its root is <Location>, else null.
const tinyxml2::XMLElement* LocationRoot(tinyxml2::XMLDocument& doc, const std::string& text) {
  if (doc.Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS) return nullptr;
  const tinyxml2::XMLElement* root = doc.RootElement();
  if (root == nullptr || std::string(root->Name()) != "Location") return nullptr;
  return root;
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

std::string Format(const char* format, int value) {
  char buf[128];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormat(std::string& out, const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  big.resize(static_cast<size_t>(n));
  out += big;
}

}  // namespace

bool Zone::containsPoint(double x, double y) const { return ContainsPoint(*this, x, y, TraceEnabled()); }

bool ZoneMap::SubLocation::addZone(const Zone& zone) {
  return zones.emplace(zone.id, zone).second;
}

void ZoneMap::clear() {
  location_ = 0;
  subLocations_.clear();
}

void ZoneMap::addSubLocation(const SubLocation& subLocation) {
  subLocations_.emplace(subLocation.id, subLocation);
}

ZoneMap::SubLocation ZoneMap::getSubLocation(int id) const {
  auto it = subLocations_.find(id);
  return it != subLocations_.end() ? it->second : SubLocation();
}

Zone ZoneMap::getZone(int sublocationId, int zoneId) const {
  auto floor = subLocations_.find(sublocationId);
  if (floor == subLocations_.end()) return Zone();
  auto it = floor->second.zones.find(zoneId);
  return it != floor->second.zones.end() ? it->second : Zone();
}

double Zone::distanceToEdge(double x, double y) const {
  const std::vector<LocationPoint>& pts = points;
  double best = INFINITY;
  for (size_t i = 0; i < pts.size(); ++i) {
    const LocationPoint& a = pts[i];
    const LocationPoint& b = pts[i + 1 < pts.size() ? i + 1 : 0];
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double len2 = dx * dx + dy * dy;
    double t = len2 > 0.0 ? ((x - a.x) * dx + (y - a.y) * dy) / len2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    best = std::min(best, std::hypot(x - (a.x + t * dx), y - (a.y + t * dy)));
  }
  return best;
}

std::vector<Zone> ZoneMap::getZones(int sublocationId, double x, double y,
                                    const std::vector<Zone>& previous, double enterMargin,
                                    double leaveMargin) const {
  if (!(enterMargin > 0.0) && !(leaveMargin > 0.0)) return getZones(sublocationId, x, y);
  std::vector<Zone> result;
  auto floor = subLocations_.find(sublocationId);
  if (floor == subLocations_.end() || floor->second.id < 1) return getZones(sublocationId, x, y);
  for (const auto& [id, zone] : floor->second.zones) {
    const bool inside = ContainsPoint(zone, x, y, false);
    bool wasIn = false;
    for (const Zone& z : previous) {
      if (z.id == id && z.points.size() == zone.points.size()) wasIn = true;
    }
    const double edge = zone.distanceToEdge(x, y);
    const bool in = wasIn ? inside || edge <= leaveMargin : inside && !(edge < enterMargin);
    if (in) result.push_back(zone);
  }
  return result;
}

std::vector<Zone> ZoneMap::getZones(int sublocationId, double x, double y) const {
  std::vector<Zone> result;
  if (subLocations_.empty()) {
    MV_LOG(3, "ZoneMap is empty!\n");
    return result;
  }
  auto floor = subLocations_.find(sublocationId);
  if (floor == subLocations_.end() || floor->second.id < 1) {
    MV_LOG(3, "Sublocation %d not found!\n", sublocationId);
    return result;
  }
  const bool trace = TraceEnabled();
  for (const auto& [id, zone] : floor->second.zones) {
    if (ContainsPoint(zone, x, y, trace)) {
      result.push_back(zone);
      if (trace) MV_LOG(3, "Zone %d contains point (%.2f, %.2f)\n", id, x, y);
    } else if (trace) {
      MV_LOG(3, "Zone %d doesn't contain point (%.2f, %.2f)\n", id, x, y);
    }
  }
  return result;
}

std::vector<Zone> ZoneMap::getZones(const LocationPoint& point) const {
  return getZones(point.subLoc, point.x, point.y);
}

std::vector<Zone> ZoneMap::getZones(int sublocationId) const {
  std::vector<Zone> result;
  auto floor = subLocations_.find(sublocationId);
  if (floor == subLocations_.end() || floor->second.id < 1) {
    MV_LOG(3, "Sublocation %d not found!\n", sublocationId);
    return result;
  }
  result.reserve(floor->second.zones.size());
  for (const auto& entry : floor->second.zones) result.push_back(entry.second);
  return result;
}

bool ZoneMap::parseConfig(const std::string& configXml, std::string* error) {
  tinyxml2::XMLDocument doc;
  const tinyxml2::XMLElement* root = LocationRoot(doc, configXml);
  if (root == nullptr) {
    SetError(error, "config.xml: no <Location> element!");
    return false;
  }
  location_ = IntAttribute(root, "id");
  if (location_ < 1) {
    SetError(error, "config.xml: invalid location id!");
    return false;
  }
  for (const tinyxml2::XMLElement* sub = root->FirstChildElement("Sublocation"); sub;
       sub = sub->NextSiblingElement("Sublocation")) {
    SubLocation floor;
    floor.id = IntAttribute(sub, "id");
    if (floor.id < 1) {
      SetError(error, "config.xml: invalid sublocation id!");
      return false;
    }
    for (const tinyxml2::XMLElement* m = sub->FirstChildElement("Metrics"); m;
         m = m->NextSiblingElement("Metrics")) {
      floor.width = DoubleAttribute(m, "width_meters");
      floor.height = DoubleAttribute(m, "height_meters");
    }
    MV_LOG(2, "ZoneMap: add sublocation [id=%d, width=%.2f, height=%.2f]\n", floor.id,
           floor.width, floor.height);
    // A size that is not a finite number would turn every vertex of the floor
    // into NaN or infinity, so it is refused like a too small one.
    if (!std::isfinite(floor.width) || !std::isfinite(floor.height) || floor.width < 1.0 ||
        floor.height < 1.0) {
      const char* text = "config.xml: invalid sublocation size\n";
      if (error) *error += text;
      MV_LOG(1, "%s\n", text);
      return false;
    }
    addSubLocation(floor);
  }
  return true;
}

bool ZoneMap::parseZones(const std::string& zonesXml, std::string* error) {
  tinyxml2::XMLDocument doc;
  const tinyxml2::XMLElement* root = LocationRoot(doc, zonesXml);
  if (root == nullptr) {
    SetError(error, "zones.xml: no Location element!\n");
    return false;
  }
  for (const tinyxml2::XMLElement* sub = root->FirstChildElement("Sublocation"); sub;
       sub = sub->NextSiblingElement("Sublocation")) {
    const int floorId = IntAttribute(sub, "id");
    if (floorId < 1) {
      SetError(error, "zones.xml: invalid sublocation id!");
      return false;
    }
    auto floorIt = subLocations_.find(floorId);
    if (floorIt == subLocations_.end()) {
      SetError(error, Format("zones.xml: unknown sublocation: %d!", floorId));
      return false;
    }
    SubLocation& floor = floorIt->second;
    MV_LOG(2, "ZoneMap: parsing zones on the sublocation %d\n", floorId);
    for (const tinyxml2::XMLElement* z = sub->FirstChildElement("Zone"); z;
         z = z->NextSiblingElement("Zone")) {
      Zone zone;
      zone.id = IntAttribute(z, "id");
      zone.name = TextAttribute(z, "name");
      zone.color = TextAttribute(z, "color");
      zone.alias = TextAttribute(z, "alias");
      zone.timeout = IntAttribute(z, "timeout");
      if (zone.id < 1) {
        SetError(error, Format("zones.xml: invalid zone identifier (sublocation %d)!", floorId));
        return false;
      }
      for (const tinyxml2::XMLElement* poly = z->FirstChildElement("Polygon"); poly;
           poly = poly->NextSiblingElement("Polygon")) {
        for (const tinyxml2::XMLElement* v = poly->FirstChildElement("Vertex"); v;
             v = v->NextSiblingElement("Vertex")) {
          zone.points.emplace_back(floorId, DoubleAttribute(v, "kx") * floor.width,
                                   DoubleAttribute(v, "ky") * floor.height);
        }
      }
      MV_LOG(2, "ZoneMap: Adding zone %d: [name='%s', vertice=%d]\n", zone.id, zone.name.c_str(),
             static_cast<int>(zone.points.size()));
      floor.addZone(zone);
    }
  }
  return true;
}

ZoneMap ZoneMap::parse(const std::string& configXml, const std::string& zonesXml,
                       std::string* error, bool* ok) {
  ZoneMap map;
  bool good = map.parseConfig(configXml, error);
  if (good) good = map.parseZones(zonesXml, error);
  if (ok) *ok = good;
  if (good) return map;
  if (error) MV_LOG(1, "Parse error: %s\n", error->c_str());
  return ZoneMap();
}

std::string ZoneMap::toString() const {
  std::string out;
  AppendFormat(out, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Location id=\"%d\">\n",
               location_);
  for (const auto& [floorId, floor] : subLocations_) {
    AppendFormat(out, "  <Sublocation id=\"%d\">\n", floorId);
    for (const auto& [zoneId, zone] : floor.zones) {
      AppendFormat(out, "    <Zone id=\"%d\" name=\"", zoneId);
      out += XmlEscape(zone.name);
      out += "\" color=\"";
      out += XmlEscape(zone.color);
      out += "\" alias=\"";
      out += XmlEscape(zone.alias);
      AppendFormat(out, "\" timeout=\"%d\" type=\"polygon\">\n      <Polygon>\n", zone.timeout);
      for (const LocationPoint& p : zone.points) {
        AppendFormat(out, "        <Vertex kx=\"%.6f\" ky=\"%.6f\"/>\n", p.x / floor.width,
                     p.y / floor.height);
      }
      out += "      </Polygon>\n    </Zone>\n";
    }
    out += "  </Sublocation>\n";
  }
  out += "</Location>\n";
  return out;
}

void ZoneMap::print(FILE* stream) const {
  if (stream == nullptr) return;
  const std::string text = toString();
  std::fwrite(text.data(), 1, text.size(), stream);
}
