// Readers of config.xml, the graph files and barriers.xml, and the writer of
// graph files.
#include <tinyxml2.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <vector>

#include "server/route_graph/route_graph.h"
#include "server/utils.h"

#define RG_LOG(level, ...) _Logger.print((level), "server/route_graph", __LINE__, __VA_ARGS__)

namespace {

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, n);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(out.data(), out.size(), fmt, ap);
  va_end(ap);
  out.resize(n);
  return out;
}

void SetError(std::string* err, const std::string& text) {
  if (err) *err = text;
}

// Reads an int attribute like "%d": the leading numeric part is taken, and
// text without one (or out of the int range) leaves `out` as it was.
bool ReadInt(const XMLElement* e, const char* name, int& out) {
  const char* s = e->Attribute(name);
  if (!s) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (end == s || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

// Reads a double attribute like "%lf"; unreadable text leaves `out` as it was.
bool ReadDouble(const XMLElement* e, const char* name, double& out) {
  const char* s = e->Attribute(name);
  if (!s) return false;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (end == s) return false;
  out = v;
  return true;
}

bool IsTrue(const char* s) {
  return s && (std::strcmp(s, "1") == 0 || std::strcmp(s, "yes") == 0 || std::strcmp(s, "true") == 0);
}

// Parses the text and returns its root element when it is called `rootName`.
const XMLElement* Root(XMLDocument& doc, const std::string& text, const char* rootName) {
  doc.Parse(text.data(), text.size());
  if (doc.Error()) return nullptr;
  const XMLElement* root = doc.FirstChildElement();
  if (!root || std::strcmp(root->Name(), rootName) != 0) return nullptr;
  return root;
}

// A coordinate from its fraction of the floor size when that gives a finite
// value, else from its metre value; NaN when neither is usable.
double Coordinate(double fraction, double size, double metres) {
  if (!std::isnan(fraction)) {
    const double v = fraction * size;
    if (std::isfinite(v)) return v;
  }
  return std::isfinite(metres) ? metres : kNaN;
}

// Writes text so that it reads back unchanged as an attribute value or as
// element text (up to the first zero byte, like the C strings it stood for).
std::string Escape(const std::string& text, size_t maxBytes) {
  return XmlEscape(text.substr(0, maxBytes));
}

// The description goes into CDATA as it is unless it would end the section
// early; then it is written as escaped text, which reads back the same.
std::string DescriptionLine(const std::string& description) {
  const std::string text = description.substr(0, description.find('\0'));
  if (text.find("]]>") == std::string::npos)
    return "  <Description><![CDATA[" + text + "]]></Description>\n";
  return "  <Description>" + Escape(text, text.size()) + "</Description>\n";
}

// One Vertex line of a written floor and the vertex the reader makes of it; an alias line
// (a merged id) stands at the position of the vertex it was merged into.
struct Written {
  std::string line;
  RouteGraph::Vertex readBack;
  int resolvesTo;
};

// The shortest text of a double that reads back as it.
std::string Shortest(double v) {
  std::string s;
  for (int digits = 1; digits <= 17; ++digits) {
    s = Format("%.*g", digits, v);
    if (std::strtod(s.c_str(), nullptr) == v) break;
  }
  return s;
}

// The shortest text of a fraction that the reader turns back into exactly `metres` on an
// axis of `size`, or "" when no fraction does: near some values the products of a fraction
// and the size step over them, and only the metre value can carry them.
std::string ExactFraction(double metres, double size) {
  const double q = metres / size;
  std::vector<double> fractions;
  double lo = q, hi = q;
  for (int step = 0; step <= 4; ++step) {
    if (lo * size == metres) fractions.push_back(lo);
    if (hi != lo && hi * size == metres) fractions.push_back(hi);
    lo = std::nextafter(lo, -HUGE_VAL);
    hi = std::nextafter(hi, HUGE_VAL);
  }
  for (int digits = 7; digits <= 17; ++digits)
    for (double f : fractions) {
      const std::string s = Format("%.*g", digits, f);
      if (std::strtod(s.c_str(), nullptr) * size == metres) return s;
    }
  return std::string();
}

// One axis of a Vertex line: the metre value to two decimals and the fraction to six, as
// always; with `exact`, a value those would not give back is written so that it reads back
// as it is, as a longer fraction or, when no fraction can, as the metre value alone.
struct Axis {
  std::string metres, fraction;
  Axis(double v, double size, bool exact)
      : metres(Format("%.2f", v)), fraction(Format("%.6f", v / size)) {
    if (!exact || !std::isfinite(v) || readBack(size) == v) return;
    fraction = ExactFraction(v, size);
    if (fraction.empty()) metres = Shortest(v);
  }
  double readBack(double size) const {
    return Coordinate(fraction.empty() ? kNaN : std::strtod(fraction.c_str(), nullptr), size,
                      std::strtod(metres.c_str(), nullptr));
  }
};

Written WriteVertex(const RouteGraph::Vertex& v, int id, const RouteGraph::SubLocation& floor,
                    bool exact) {
  const bool alias = id != v.id;
  const Axis x(v.x, floor.width, exact), y(v.y, floor.height, exact);
  auto fraction = [](const char* name, const Axis& a) {
    return a.fraction.empty() ? std::string() : Format(" %s=\"%s\"", name, a.fraction.c_str());
  };
  Written w;
  w.line = Format("    <Vertex id=\"%d\" x=\"%s\" y=\"%s\"%s%s is_elevation=\"%s\" name=\"", id,
                  x.metres.c_str(), y.metres.c_str(), fraction("kx", x).c_str(), fraction("ky", y).c_str(),
                  !alias && v.isElevation ? "1" : "");
  if (!alias) w.line += Escape(v.name, 255);
  w.line += "\"/>\n";
  // The position the reader takes from the text just written.
  w.readBack.subLoc = floor.id;
  w.readBack.id = id;
  w.readBack.x = x.readBack(floor.width);
  w.readBack.y = y.readBack(floor.height);
  w.resolvesTo = v.id;
  return w;
}

// Whether the floor's written vertices, read back in order under the stick distance
// `stick`, stay apart, and every alias line joins the vertex it stands for.
bool ReadsBackApart(const RouteGraph::SubLocation& floor, double stick, const std::vector<Written>& lines) {
  RouteGraph scratch;
  RouteGraph::SubLocation s = floor;
  s.stickDistance = stick;
  scratch.addSubLocation(s);
  scratch.setStickDistance(floor.id, stick);
  for (const Written& w : lines) {
    scratch.addVertex(w.readBack);
    if (scratch.getVertex(w.readBack.id).id != w.resolvesTo) return false;
  }
  return true;
}

// Explicit edge ids of a graph file, so that edges without one are given ids
// that no edge of the file claims.
std::set<int> ExplicitEdgeIds(const XMLElement* root) {
  std::set<int> ids;
  for (const XMLElement* c = root->FirstChildElement(); c; c = c->NextSiblingElement()) {
    if (std::strcmp(c->Name(), "Sublocation") != 0 && std::strcmp(c->Name(), "External") != 0)
      continue;
    for (const XMLElement* e = c->FirstChildElement("Edge"); e; e = e->NextSiblingElement("Edge")) {
      int id = 0;
      if (ReadInt(e, "id", id)) ids.insert(id);
    }
  }
  return ids;
}

}  // namespace

bool RouteGraph::parseConfig(const std::string& text, std::map<std::string, std::string>* graphFiles,
                             std::string* err) {
  XMLDocument doc;
  const XMLElement* root = Root(doc, text, "Location");
  if (graphFiles) graphFiles->clear();
  if (!root) {
    SetError(err, "config.xml: no <Location> element!");
    return false;
  }
  ReadInt(root, "id", location_);
  if (location_ < 1) {
    SetError(err, "config.xml: invalid location id!");
    return false;
  }
  for (const XMLElement* c = root->FirstChildElement(); c; c = c->NextSiblingElement()) {
    if (std::strcmp(c->Name(), "Sublocation") == 0) {
      SubLocation s;
      ReadInt(c, "id", s.id);
      if (s.id < 1) {
        SetError(err, "config.xml: invalid sublocation id!");
        return false;
      }
      for (const XMLElement* m = c->FirstChildElement(); m; m = m->NextSiblingElement()) {
        if (std::strcmp(m->Name(), "Metrics") == 0) {
          ReadDouble(m, "width_meters", s.width);
          ReadDouble(m, "height_meters", s.height);
        } else if (std::strcmp(m->Name(), "GPS") == 0) {
          ReadDouble(m, "latitude_deg", s.latitude);
          ReadDouble(m, "longitude_deg", s.longitude);
          ReadDouble(m, "azimuth_deg", s.azimuth);
          ReadDouble(m, "altitude", s.altitude);
        }
      }
      RG_LOG(2, "RouteGraph: add sublocation [id=%d, width=%.2f, height=%.2f]\n", s.id, s.width,
             s.height);
      // A floor without a finite size would turn every kx/ky into NaN or inf.
      if (!(s.width >= 1.0) || !(s.height >= 1.0) || !std::isfinite(s.width) ||
          !std::isfinite(s.height)) {
        const char* msg = "config.xml: invalid sublocation size!\n";
        if (err) {
          err->append(msg);
          RG_LOG(1, "%s\n", err->c_str());
        } else {
          RG_LOG(1, "%s\n", msg);
        }
        return false;
      }
      addSubLocation(s);
    } else if (std::strcmp(c->Name(), "Files") == 0) {
      for (const XMLElement* f = c->FirstChildElement("File"); f; f = f->NextSiblingElement()) {
        const char* type = f->Attribute("type");
        const char* name = f->Attribute("name");
        const char* tag = f->Attribute("tag");
        if (!type || !name || !tag) continue;
        std::string lower(type);
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (graphFiles && lower == "graph:xml") graphFiles->emplace(tag, name);
      }
    }
  }
  return true;
}

bool RouteGraph::parseGraph(const std::string& text, std::string* err) {
  XMLDocument doc;
  const XMLElement* root = Root(doc, text, "Location");
  if (!root) {
    SetError(err, "graph.xml: no Location element!\n");
    return false;
  }
  const std::set<int> claimed = ExplicitEdgeIds(root);
  auto implicitEdgeId = [&]() {
    long n = static_cast<long>(edges_.size()) + 1;
    while (n < INT_MAX && (hasEdge(static_cast<int>(n)) || claimed.count(static_cast<int>(n)))) ++n;
    return static_cast<int>(n);
  };

  for (const XMLElement* c = root->FirstChildElement(); c; c = c->NextSiblingElement()) {
    if (std::strcmp(c->Name(), "Sublocation") == 0) {
      int floorId = 0;
      ReadInt(c, "id", floorId);
      if (floorId < 1) {
        SetError(err, "graph.xml: invalid sublocation id!");
        return false;
      }
      if (getSubLocation(floorId).id < 1) {
        SetError(err, Format("graph.xml: undefined sublocation %d!", floorId));
        return false;
      }
      for (const XMLElement* e = c->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (std::strcmp(e->Name(), "Options") == 0) {
          double radius = kNaN;
          double stick = kNaN;
          ReadDouble(e, "smooth_radius", radius);
          ReadDouble(e, "stick_distance", stick);
          const char* sw = e->Attribute("barriers_enabled");
          if (!std::isnan(radius)) setSmoothRadius(floorId, radius);
          if (!std::isnan(stick)) setStickDistance(floorId, stick);
          setBarriersEnabled(floorId, sw ? std::strcmp(sw, "true") == 0 : true);
        } else if (std::strcmp(e->Name(), "Vertex") == 0) {
          Vertex v;
          v.subLoc = floorId;
          double x = kNaN, y = kNaN, kx = kNaN, ky = kNaN;
          ReadInt(e, "id", v.id);
          ReadDouble(e, "x", x);
          ReadDouble(e, "y", y);
          ReadDouble(e, "kx", kx);
          ReadDouble(e, "ky", ky);
          v.isElevation = IsTrue(e->Attribute("is_elevation"));
          if (const char* name = e->Attribute("name")) v.name = name;
          if (v.id < 1) {
            SetError(err, Format("graph.xml: invalid vertex (sublocation %d)!", floorId));
            return false;
          }
          if (hasVertex(v.id)) {
            SetError(err, Format("graph.xml: vertex %d already exists!", v.id));
            return false;
          }
          const SubLocation floor = getSubLocation(floorId);
          v.x = Coordinate(kx, floor.width, x);
          if (std::isnan(v.x)) {
            SetError(err, Format("graph.xml: undefined x-coordinate for vertex %d!", v.id));
            return false;
          }
          v.y = Coordinate(ky, floor.height, y);
          if (std::isnan(v.y)) {
            SetError(err, Format("graph.xml: undefined y-coordinate for vertex %d!", v.id));
            return false;
          }
          RG_LOG(3, "RouteGraph: adding vertex %d [subLocation=%d, x=%.2f, y=%.2f]\n", v.id,
                 floorId, v.x, v.y);
          addVertex(v);
        } else if (std::strcmp(e->Name(), "Edge") == 0) {
          Edge edge;
          edge.subLoc = floorId;
          if (!ReadInt(e, "id", edge.id)) edge.id = implicitEdgeId();
          ReadInt(e, "src", edge.src);
          ReadInt(e, "dst", edge.dst);
          ReadDouble(e, "weight_coef", edge.weightCoef);
          if (edge.id < 1 || edge.src < 1 || edge.dst < 1 || edge.src == edge.dst) {
            SetError(err, Format("graph.xml: invalid edge %d (sublocation %d)!", edge.id, floorId));
            return false;
          }
          if (!hasVertex(edge.src)) {
            SetError(err, Format("graph.xml: edge %d source %d is not defined!", edge.id, edge.src));
            return false;
          }
          if (!hasVertex(edge.dst)) {
            SetError(err, Format("graph.xml: edge %d destination %d is not defined!", edge.id,
                                 edge.dst));
            return false;
          }
          RG_LOG(3, "RouteGraph: adding edge %d: %d -> %d [weight=%.2f]\n", edge.id, edge.src,
                 edge.dst, edge.weightCoef);
          addEdge(edge);
        }
      }
    } else if (std::strcmp(c->Name(), "External") == 0) {
      for (const XMLElement* e = c->FirstChildElement("Edge"); e; e = e->NextSiblingElement("Edge")) {
        Edge edge;
        edge.subLoc = kExternalSubLoc;
        if (!ReadInt(e, "id", edge.id)) edge.id = implicitEdgeId();
        ReadInt(e, "src", edge.src);
        ReadInt(e, "dst", edge.dst);
        ReadDouble(e, "weight_coef", edge.weightCoef);
        if (edge.id < 1 || edge.src < 1 || edge.dst < 1 || edge.src == edge.dst) {
          SetError(err, Format("graph.xml: invalid external edge %d!", edge.id));
          return false;
        }
        if (hasEdge(edge.id)) {
          SetError(err, Format("graph.xml: edge %d already exists!", edge.id));
          return false;
        }
        if (!hasVertex(edge.src)) {
          SetError(err, Format("graph.xml: edge %d source %d is not defined!", edge.id, edge.src));
          return false;
        }
        if (!hasVertex(edge.dst)) {
          SetError(err, Format("graph.xml: edge %d destination %d is not defined!", edge.id, edge.dst));
          return false;
        }
        RG_LOG(3, "RouteGraph: adding external edge %d: %d -> %d [weight=%.2f]\n", edge.id, edge.src,
               edge.dst, edge.weightCoef);
        addEdge(edge);
      }
    } else if (std::strcmp(c->Name(), "Description") == 0) {
      const tinyxml2::XMLNode* first = c->FirstChild();
      if (first && first->ToText()) {
        const char* value = first->Value();
        description_ = value ? value : "";
        RG_LOG(2, "RouteGraph: set description: %s\n", description_.c_str());
      }
    }
  }
  return true;
}

bool RouteGraph::parseBarriers(const std::string& text, std::string* err) {
  XMLDocument doc;
  const XMLElement* root = Root(doc, text, "Location");
  if (!root) {
    SetError(err, "barriers.xml: no Location element!\n");
    return false;
  }
  for (const XMLElement* c = root->FirstChildElement("Sublocation"); c;
       c = c->NextSiblingElement("Sublocation")) {
    int floorId = 0;
    ReadInt(c, "id", floorId);
    if (floorId < 1) {
      SetError(err, "barriers.xml: invalid sublocation id!");
      return false;
    }
    const SubLocation floor = getSubLocation(floorId);
    if (floor.id < 1) {
      SetError(err, Format("barriers.xml: undefined sublocation %d!", floorId));
      return false;
    }
    RG_LOG(2, "RouteGraph: parsing barriers on the sublocation %d\n", floorId);
    for (const XMLElement* b = c->FirstChildElement("Barrier"); b; b = b->NextSiblingElement("Barrier")) {
      Barrier barrier;
      barrier.subLoc = floorId;
      ReadInt(b, "id", barrier.id);
      if (const char* type = b->Attribute("type")) {
        if (std::strcmp(type, "zone") == 0) barrier.type = 1;
        if (std::strcmp(type, "wall") == 0) barrier.type = 2;
      }
      if (barrier.id < 1) {
        SetError(err, Format("barriers.xml: invalid barrier identifier (sublocation %d)!", floorId));
        return false;
      }
      if (barrier.type == 0) {
        SetError(err, Format("barriers.xml: invalid barrier type (barrier #%d)!", barrier.id));
        return false;
      }
      for (const XMLElement* p = b->FirstChildElement("coord"); p; p = p->NextSiblingElement("coord")) {
        double kx = 0.0, ky = 0.0;
        ReadDouble(p, "kx", kx);
        ReadDouble(p, "ky", ky);
        barrier.points.emplace_back(floorId, kx * floor.width, ky * floor.height);
      }
      RG_LOG(2, "BarrierMap: Adding barrier %d: [vertice=%d]\n", barrier.id,
             static_cast<int>(barrier.points.size()));
      barriers_.insert(std::move(barrier));
    }
  }
  return true;
}

std::string RouteGraph::toString() const {
  std::string out = Format("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Location id=\"%d\">\n", location_);
  out += DescriptionLine(description_);
  auto edgeLine = [this](const Edge& e) {
    const Vertex a = getVertex(e.src);
    const Vertex b = getVertex(e.dst);
    const double weight = e.weightCoef * getDistance(a.subLoc, a.x, a.y, b.subLoc, b.x, b.y);
    return Format("    <Edge src=\"%d\" dst=\"%d\" weight=\"%.2f\" weight_coef=\"%.2f\"/>\n", e.src,
                  e.dst, weight, e.weightCoef);
  };
  auto optionsLine = [](const SubLocation& s, const std::string& stick) {
    return Format("    <Options smooth_radius=\"%.2f\" stick_distance=\"%s\" barriers_enabled=\"%s\"/>\n",
                  s.smoothRadius, stick.c_str(), s.barriersEnabled ? "true" : "false");
  };
  // Edges whose vertices are not yet written where their floor is (an edge may name a
  // vertex of any floor read before it): they follow every floor's vertices, in a second
  // element of their floor, so that they keep their floor and their order within it.
  std::string deferred;
  for (const SubLocation& s : subLocations_) {
    out += Format("  <Sublocation id=\"%d\">\n", s.id);
    // Vertices below id 1 stay outside routing and would make the file
    // unreadable, so they are not written.
    auto writeFloor = [&](bool exact) {
      std::vector<Written> written;
      for (auto it = floorVertices(s.id, 1); it != vertices_.end() && it->subLoc == s.id; ++it)
        written.push_back(WriteVertex(*it, it->id, s, exact));
      for (const auto& [alias, kept] : vertexAlias_) {
        const Vertex* v = findVertex(kept);
        if (alias >= 1 && v && v->subLoc == s.id && v->id >= 1)
          written.push_back(WriteVertex(*v, alias, s, exact));
      }
      return written;
    };
    // The stick distance in force is the last one read, but vertices stored under a
    // smaller one may lie closer than it: they are then read under the smallest and the
    // floor's own follows them.
    const std::string stick = Format("%.2f", s.stickDistance);
    const std::string smallest = Format("%.2f", SubLocation().stickDistance);
    std::vector<Written> written = writeFloor(false);
    bool keepsApart = ReadsBackApart(s, std::strtod(stick.c_str(), nullptr), written);
    // Rounded positions can also bring two vertices within even the smallest stick
    // distance (or move a merged id off its vertex); the positions rounding would move
    // are then written in full, so that the floor reads back as stored.
    if (!keepsApart && !ReadsBackApart(s, std::strtod(smallest.c_str(), nullptr), written)) {
      written = writeFloor(true);
      keepsApart = ReadsBackApart(s, std::strtod(stick.c_str(), nullptr), written);
    }
    out += optionsLine(s, keepsApart ? stick : smallest);
    for (const Written& w : written) out += w.line;
    if (!keepsApart) out += optionsLine(s, stick);
    std::string late;
    for (auto it = floorEdges(s.id, INT_MIN); it != edges_.end() && it->subLoc == s.id; ++it) {
      if (late.empty() && getVertex(it->src).subLoc <= s.id && getVertex(it->dst).subLoc <= s.id)
        out += edgeLine(*it);
      else
        late += edgeLine(*it);
    }
    out += "  </Sublocation>\n\n";
    if (!late.empty())
      deferred += Format("  <Sublocation id=\"%d\">\n", s.id) + late + "  </Sublocation>\n\n";
  }
  out += deferred;
  out += "  <External>\n";
  for (auto it = floorEdges(kExternalSubLoc, INT_MIN); it != edges_.end(); ++it) out += edgeLine(*it);
  out += "  </External>\n";
  out += "</Location>\n";
  return out;
}

void RouteGraph::print(FILE* stream) const {
  if (stream) fputs(toString().c_str(), stream);
}

RouteGraph RouteGraph::parse(const std::string& config, const std::string& graph,
                             const std::string& barriers, std::string* err, bool* ok) {
  RouteGraph g;
  const bool configOk = g.parseConfig(config, nullptr, err);
  const bool graphOk = configOk && g.parseGraph(graph, err);
  if (graphOk) g.parseBarriers(barriers, err);
  if (ok) *ok = graphOk;
  if (err && !graphOk) RG_LOG(1, "Parse error: %s\n", err->c_str());
  return graphOk ? g : RouteGraph();
}
