// Delaunay triangulation by incremental cavity insertion (Bowyer-Watson) over
// a triangulation closed with "ghost" triangles: every hull edge has a ghost
// triangle whose third vertex is the point at infinity, so points outside the
// current hull are inserted by the same cavity step as points inside it.
//
// All predicates are exact: coordinates are integers (|c| <= 2^52), the
// orientation test fits in 128 bits and the in-circle test is evaluated in
// 256-bit integers, so co-circular and collinear input never flips a decision.
// All working state lives in one Triangulator per call.
#include "wifipos/mesh/triangle_mesh.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "server/utils.h"

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

constexpr int kInfinite = -1;           // vertex id of the point at infinity
constexpr double kMaxCoordinate = 4503599627370496.0;  // 2^52

// Minimal 256-bit two's-complement integer: just enough for the sign of a sum
// of three products of 128-bit values.
struct Int256 {
  uint64_t w[4] = {0, 0, 0, 0};  // little-endian limbs

  static Int256 product(i128 a, i128 b) {
    const bool negative = (a < 0) != (b < 0);
    const u128 ua = a < 0 ? -static_cast<u128>(a) : static_cast<u128>(a);
    const u128 ub = b < 0 ? -static_cast<u128>(b) : static_cast<u128>(b);
    const uint64_t a0 = static_cast<uint64_t>(ua), a1 = static_cast<uint64_t>(ua >> 64);
    const uint64_t b0 = static_cast<uint64_t>(ub), b1 = static_cast<uint64_t>(ub >> 64);
    Int256 r;
    r.addAt(0, static_cast<u128>(a0) * b0);
    r.addAt(1, static_cast<u128>(a0) * b1);
    r.addAt(1, static_cast<u128>(a1) * b0);
    r.addAt(2, static_cast<u128>(a1) * b1);
    if (negative) r.negate();
    return r;
  }

  // Adds a 128-bit unsigned value at limb position `limb`.
  void addAt(int limb, u128 v) {
    u128 carry = 0;
    for (int i = limb; i < 4; ++i) {
      u128 part = (i == limb) ? static_cast<uint64_t>(v)
                : (i == limb + 1) ? static_cast<uint64_t>(v >> 64) : 0;
      u128 s = static_cast<u128>(w[i]) + part + carry;
      w[i] = static_cast<uint64_t>(s);
      carry = s >> 64;
    }
  }

  void negate() {
    for (auto& x : w) x = ~x;
    addAt(0, 1);
  }

  Int256& operator+=(const Int256& o) {
    u128 carry = 0;
    for (int i = 0; i < 4; ++i) {
      u128 s = static_cast<u128>(w[i]) + o.w[i] + carry;
      w[i] = static_cast<uint64_t>(s);
      carry = s >> 64;
    }
    return *this;
  }

  int sign() const {
    if (w[3] >> 63) return -1;
    return (w[0] | w[1] | w[2] | w[3]) ? 1 : 0;
  }
};

struct Site {
  int64_t x;
  int64_t y;
};

// Sign of the turn a -> b -> c: positive counter-clockwise.
int orient(const Site& a, const Site& b, const Site& c) {
  const i128 d = static_cast<i128>(b.x - a.x) * (c.y - a.y) -
                 static_cast<i128>(b.y - a.y) * (c.x - a.x);
  return d > 0 ? 1 : (d < 0 ? -1 : 0);
}

// Positive when d lies strictly inside the circle through the
// counter-clockwise triangle a, b, c.
int inCircle(const Site& a, const Site& b, const Site& c, const Site& d) {
  const int64_t adx = a.x - d.x, ady = a.y - d.y;
  const int64_t bdx = b.x - d.x, bdy = b.y - d.y;
  const int64_t cdx = c.x - d.x, cdy = c.y - d.y;
  const i128 alift = static_cast<i128>(adx) * adx + static_cast<i128>(ady) * ady;
  const i128 blift = static_cast<i128>(bdx) * bdx + static_cast<i128>(bdy) * bdy;
  const i128 clift = static_cast<i128>(cdx) * cdx + static_cast<i128>(cdy) * cdy;
  const i128 bc = static_cast<i128>(bdx) * cdy - static_cast<i128>(bdy) * cdx;
  const i128 ca = static_cast<i128>(cdx) * ady - static_cast<i128>(cdy) * adx;
  const i128 ab = static_cast<i128>(adx) * bdy - static_cast<i128>(ady) * bdx;
  Int256 det = Int256::product(alift, bc);
  det += Int256::product(blift, ca);
  det += Int256::product(clift, ab);
  return det.sign();
}

bool sameSite(const Site& a, const Site& b) { return a.x == b.x && a.y == b.y; }

// c strictly inside the open segment a-b, given that a, b, c are collinear.
bool insideSegment(const Site& a, const Site& b, const Site& c) {
  const i128 t1 = static_cast<i128>(c.x - a.x) * (b.x - a.x) +
                  static_cast<i128>(c.y - a.y) * (b.y - a.y);
  const i128 t2 = static_cast<i128>(c.x - b.x) * (a.x - b.x) +
                  static_cast<i128>(c.y - b.y) * (a.y - b.y);
  return t1 > 0 && t2 > 0;
}

// Triangle with counter-clockwise vertices; n[i] is the neighbour across the
// edge opposite v[i], i.e. the edge v[i+1] -> v[i+2].
struct Tri {
  int v[3];
  int n[3];
  bool alive;
};

class Triangulator {
 public:
  explicit Triangulator(std::vector<Site> sites)
      : sites_(std::move(sites)),
        inStamp_(),
        outStamp_(),
        startAt_(sites_.size() + 1, -1),
        endAt_(sites_.size() + 1, -1) {}

  // Builds the mesh; false when the points have no triangulation.
  bool build() {
    const int n = static_cast<int>(sites_.size());
    if (n < 3) return false;
    int i1 = -1, i2 = -1;
    for (int i = 1; i < n; ++i) {
      if (!sameSite(sites_[0], sites_[i])) {
        i1 = i;
        break;
      }
    }
    if (i1 < 0) return false;
    for (int i = i1 + 1; i < n; ++i) {
      if (orient(sites_[0], sites_[i1], sites_[i]) != 0) {
        i2 = i;
        break;
      }
    }
    if (i2 < 0) return false;
    makeFirstTriangle(0, i1, i2);
    for (int i = 1; i < n; ++i) {
      if (i == i1 || i == i2) continue;
      if (!insert(i)) return false;
    }
    return true;
  }

  // Appends the finite triangles, three vertex ids each, as built.
  void collect(std::vector<int>& out) const {
    for (const Tri& t : tris_) {
      if (!t.alive || isGhost(t)) continue;
      out.push_back(t.v[0]);
      out.push_back(t.v[1]);
      out.push_back(t.v[2]);
    }
  }

 private:
  static bool isGhost(const Tri& t) {
    return t.v[0] == kInfinite || t.v[1] == kInfinite || t.v[2] == kInfinite;
  }

  int newTri(int a, int b, int c) {
    int id;
    if (!free_.empty()) {
      id = free_.back();
      free_.pop_back();
    } else {
      id = static_cast<int>(tris_.size());
      tris_.push_back(Tri{});
      inStamp_.push_back(0);
      outStamp_.push_back(0);
    }
    tris_[id] = Tri{{a, b, c}, {-1, -1, -1}, true};
    if (!isGhost(tris_[id])) lastSolid_ = id;
    return id;
  }

  void makeFirstTriangle(int a, int b, int c) {
    if (orient(sites_[a], sites_[b], sites_[c]) < 0) std::swap(b, c);
    const int t = newTri(a, b, c);
    int ghosts[3];
    for (int i = 0; i < 3; ++i) {
      const int x = tris_[t].v[(i + 1) % 3], y = tris_[t].v[(i + 2) % 3];
      ghosts[i] = newTri(y, x, kInfinite);
      tris_[t].n[i] = ghosts[i];
      tris_[ghosts[i]].n[2] = t;
    }
    lastSolid_ = t;
    // Ghost i = (y, x, inf) meets the ghost of the next hull edge at x and the
    // ghost of the previous one at y.
    for (int i = 0; i < 3; ++i) {
      Tri& g = tris_[ghosts[i]];
      g.n[0] = ghosts[(i + 2) % 3];  // edge x -> inf
      g.n[1] = ghosts[(i + 1) % 3];  // edge inf -> y
    }
  }

  // True when p lies in the open circumdisk of t; for a ghost triangle the
  // "disk" is the open outer half-plane of its hull edge plus the open edge.
  bool conflicts(int id, const Site& p) const {
    const Tri& t = tris_[id];
    for (int k = 0; k < 3; ++k) {
      if (t.v[k] != kInfinite) continue;
      const Site& a = sites_[t.v[(k + 1) % 3]];
      const Site& b = sites_[t.v[(k + 2) % 3]];
      const int o = orient(a, b, p);
      if (o != 0) return o > 0;
      return insideSegment(a, b, p);
    }
    return inCircle(sites_[t.v[0]], sites_[t.v[1]], sites_[t.v[2]], p) > 0;
  }

  // A triangle whose circumdisk holds p; -1 when p repeats a vertex.
  int locate(const Site& p) {
    int t = lastSolid_;
    if (!tris_[t].alive || isGhost(tris_[t])) {
      for (int id = 0; id < static_cast<int>(tris_.size()); ++id) {
        if (tris_[id].alive && !isGhost(tris_[id])) {
          t = id;
          break;
        }
      }
    }
    const size_t limit = tris_.size() * 3 + 64;
    for (size_t step = 0; step < limit; ++step) {
      const Tri& tri = tris_[t];
      if (isGhost(tri)) return t;  // entered across a hull edge that p sees
      bool moved = false;
      for (int k = 0; k < 3 && !moved; ++k) {
        const int i = static_cast<int>((step + k) % 3);
        const Site& a = sites_[tri.v[(i + 1) % 3]];
        const Site& b = sites_[tri.v[(i + 2) % 3]];
        if (orient(a, b, p) < 0) {
          t = tri.n[i];
          moved = true;
        }
      }
      if (!moved) return containing(t, p);
    }
    // The walk cannot cycle on a Delaunay mesh; a plain scan backs it up.
    for (int id = 0; id < static_cast<int>(tris_.size()); ++id) {
      const Tri& tri = tris_[id];
      if (!tri.alive) continue;
      if (isGhost(tri)) {
        if (conflicts(id, p)) return id;
        continue;
      }
      bool inside = true;
      for (int i = 0; i < 3 && inside; ++i) {
        inside = orient(sites_[tri.v[(i + 1) % 3]], sites_[tri.v[(i + 2) % 3]], p) >= 0;
      }
      if (inside) return containing(id, p);
    }
    return -2;
  }

  int containing(int t, const Site& p) const {
    for (int v : tris_[t].v) {
      if (sameSite(sites_[v], p)) return -1;
    }
    return t;
  }

  bool insert(int pid) {
    const Site& p = sites_[pid];
    const int seed = locate(p);
    if (seed == -1) return true;  // duplicate point: already in the mesh
    if (seed < 0) {
      MV_LOG(11, "triangle mesh: no triangle holds point %d\n", pid);
      return false;
    }
    ++stamp_;
    struct Edge {
      int from, to, outside, old;
    };
    std::vector<int>& stack = stack_;
    std::vector<int>& cavity = cavity_;
    std::vector<Edge> boundary;
    stack.clear();
    cavity.clear();
    stack.push_back(seed);
    inStamp_[seed] = stamp_;
    while (!stack.empty()) {
      const int t = stack.back();
      stack.pop_back();
      cavity.push_back(t);
      for (int i = 0; i < 3; ++i) {
        const int nb = tris_[t].n[i];
        if (inStamp_[nb] == stamp_) continue;
        if (outStamp_[nb] != stamp_ && conflicts(nb, p)) {
          inStamp_[nb] = stamp_;
          stack.push_back(nb);
          continue;
        }
        outStamp_[nb] = stamp_;
        boundary.push_back({tris_[t].v[(i + 1) % 3], tris_[t].v[(i + 2) % 3], nb, t});
      }
    }
    for (int t : cavity) {
      tris_[t].alive = false;
      free_.push_back(t);
    }
    std::vector<int> made;
    made.reserve(boundary.size());
    for (const Edge& e : boundary) {
      const int id = newTri(e.from, e.to, pid);
      tris_[id].n[2] = e.outside;
      Tri& out = tris_[e.outside];
      for (int k = 0; k < 3; ++k) {
        if (out.n[k] == e.old && out.v[(k + 1) % 3] == e.to && out.v[(k + 2) % 3] == e.from) {
          out.n[k] = id;
        }
      }
      startAt_[e.from + 1] = id;
      endAt_[e.to + 1] = id;
      made.push_back(id);
    }
    bool ok = true;
    for (int id : made) {
      Tri& t = tris_[id];
      t.n[0] = startAt_[t.v[1] + 1];  // edge to -> p, shared with the triangle starting at `to`
      t.n[1] = endAt_[t.v[0] + 1];    // edge p -> from, shared with the one ending at `from`
      if (t.n[0] < 0 || t.n[1] < 0) ok = false;
    }
    for (int id : made) {
      startAt_[tris_[id].v[0] + 1] = -1;
      endAt_[tris_[id].v[1] + 1] = -1;
    }
    if (!ok) MV_LOG(11, "triangle mesh: cavity of point %d is not closed\n", pid);
    return ok;
  }

  std::vector<Site> sites_;
  std::vector<Tri> tris_;
  std::vector<int> free_;
  std::vector<unsigned> inStamp_;
  std::vector<unsigned> outStamp_;
  std::vector<int> startAt_;  // per vertex (+1 for infinity): new triangle whose edge starts there
  std::vector<int> endAt_;
  std::vector<int> stack_;
  std::vector<int> cavity_;
  unsigned stamp_ = 0;
  int lastSolid_ = 0;
};

// Converts the input to integer sites; false (with a log line) for values
// that are not finite or too large for the exact predicates.
bool readSites(void* points, float multUp, int numPoints, std::vector<Site>& sites) {
  sites.resize(static_cast<size_t>(numPoints));
  if (multUp == 0.0f) {
    const int32_t* in = static_cast<const int32_t*>(points);
    for (size_t i = 0; i < sites.size(); ++i) sites[i] = Site{in[2 * i], in[2 * i + 1]};
    return true;
  }
  const float* in = static_cast<const float*>(points);
  for (int i = 0; i < numPoints; ++i) {
    double c[2];
    for (int k = 0; k < 2; ++k) {
      const float product = in[2 * static_cast<size_t>(i) + k] * multUp;
      c[k] = std::floor(static_cast<double>(product) + 0.5);
      if (!std::isfinite(c[k]) || std::fabs(c[k]) > kMaxCoordinate) {
        MV_LOG(11, "triangle mesh: coordinate %d of point %d is out of range\n", k, i);
        return false;
      }
    }
    sites[i] = Site{static_cast<int64_t>(c[0]), static_cast<int64_t>(c[1])};
  }
  return true;
}

// True when the triangle a, b, c is clockwise (or flat) by the output sign
// rule: float input is judged in single precision on the input values.
bool signRulePositive(void* points, float multUp, size_t a, size_t b, size_t c) {
  if (multUp == 0.0f) {
    const int32_t* in = static_cast<const int32_t*>(points);
    const i128 xa = in[2 * a], ya = in[2 * a + 1], xb = in[2 * b], yb = in[2 * b + 1];
    const i128 xc = in[2 * c], yc = in[2 * c + 1];
    const i128 s = (yb + ya) * (xb - xa) + (ya + yc) * (xa - xc) + (yb + yc) * (xc - xb);
    return s > 0;
  }
  const float* in = static_cast<const float*>(points);
  const float xa = in[2 * a], ya = in[2 * a + 1], xb = in[2 * b], yb = in[2 * b + 1];
  const float xc = in[2 * c], yc = in[2 * c + 1];
  const float s = (yb + ya) * (xb - xa) + (ya + yc) * (xa - xc) + (yb + yc) * (xc - xb);
  return s > 0.0f;
}

}  // namespace

int* BuildTriangleIndexList(void* points, float multUp, int numPoints, int dimension,
                            int direction, int* numIndexes) {
  if (numIndexes == nullptr) {
    MV_LOG(11, "triangle mesh: no place for the index count\n");
    return nullptr;
  }
  *numIndexes = 0;
  if (numPoints < 0 || (points == nullptr && numPoints > 0)) {
    MV_LOG(11, "triangle mesh: bad input (%d points)\n", numPoints);
    return nullptr;
  }
  const size_t room = 9 * static_cast<size_t>(numPoints) + 1;
  int* list = static_cast<int*>(std::malloc(room * sizeof(int)));
  if (list == nullptr) {
    MV_LOG(11, "triangle mesh: out of memory for %d points\n", numPoints);
    return nullptr;
  }
  if (dimension != 2) {
    MV_LOG(11, "triangle mesh: dimension %d is not supported\n", dimension);
    return list;
  }
  std::vector<Site> sites;
  if (!readSites(points, multUp, numPoints, sites)) return list;
  Triangulator mesh(std::move(sites));
  if (!mesh.build()) {
    MV_LOG(11, "triangle mesh: %d points have no triangulation\n", numPoints);
    return list;
  }
  std::vector<int> triangles;
  triangles.reserve(6 * static_cast<size_t>(numPoints));
  mesh.collect(triangles);
  if (triangles.size() > room) {  // cannot happen for a planar mesh; never overrun
    MV_LOG(11, "triangle mesh: %zu indexes exceed the list\n", triangles.size());
    return list;
  }
  int count = 0;
  for (size_t i = 0; i + 2 < triangles.size(); i += 3) {
    const int a = triangles[i], b = triangles[i + 1], c = triangles[i + 2];
    bool reverse = false;
    if (direction != 0) {
      const bool positive = signRulePositive(points, multUp, a, b, c);
      reverse = direction < 0 ? positive : !positive;
    }
    list[count++] = reverse ? c : a;
    list[count++] = b;
    list[count++] = reverse ? a : c;
  }
  *numIndexes = count;
  return list;
}
