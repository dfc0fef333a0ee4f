// The walkable network of one location: its floors, the vertices and directed
// edges drawn on them, the barrier outlines that routes must not cross, and
// the per-floor route options. A location may carry several graphs, each
// chosen by its tag. Route queries never change the graph.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/route_graph/graph.h"
#include "server/route_path.h"

// A zone (type 1, closed outline) or a wall (type 2, open polyline) that
// routes must not cross.
struct Barrier {
  int id = 0;
  int type = 0;
  int subLoc = 0;
  std::vector<LocationPoint> points;

  bool operator<(const Barrier& o) const {
    return subLoc < o.subLoc || (subLoc == o.subLoc && id < o.id);
  }

  // Whether a zone barrier contains the point (its outline counts as inside).
  // Walls and barriers of other floors contain nothing.
  bool containsPoint(const LocationPoint& p) const;
};

class RouteGraph {
 public:
  // Edges between floors are filed under this sublocation id.
  static constexpr int kExternalSubLoc = INT_MAX;

  struct SubLocation {
    int id = 0;
    double width = 0.0;
    double height = 0.0;
    double azimuth = 0.0;
    double latitude = 0.0;
    double longitude = 0.0;
    double altitude = 0.0;
    double smoothRadius = 0.0;
    double stickDistance = 0.1;
    bool barriersEnabled = true;

    bool operator<(const SubLocation& o) const { return id < o.id; }
    bool operator==(const SubLocation& o) const { return id == o.id; }
  };

  struct Vertex {
    int subLoc = 0;
    double x = 0.0;
    double y = 0.0;
    int id = 0;
    bool isElevation = false;
    std::string name;

    bool operator<(const Vertex& o) const {
      return subLoc < o.subLoc || (subLoc == o.subLoc && id < o.id);
    }
  };

  struct Edge {
    int subLoc = 0;
    int id = 0;
    int src = 0;
    int dst = 0;
    double weightCoef = 1.0;

    bool operator<(const Edge& o) const {
      return subLoc < o.subLoc || (subLoc == o.subLoc && id < o.id);
    }
  };

  using SubLocationSet = std::set<SubLocation>;
  using VertexSet = std::set<Vertex>;
  using EdgeSet = std::set<Edge>;
  using BarrierSet = std::set<Barrier>;

  RouteGraph();
  // An empty graph that already carries its tag and the name of its file.
  RouteGraph(const std::string& tag, const std::string& name);
  RouteGraph(const RouteGraph& other);
  RouteGraph(RouteGraph&& other) noexcept;
  RouteGraph& operator=(const RouteGraph& other);
  RouteGraph& operator=(RouteGraph&& other) noexcept;
  ~RouteGraph() = default;

  void clear();
  bool isEmpty() const;

  void setName(const std::string& name) { name_ = name; }
  std::string getName() const { return name_; }
  void setTag(const std::string& tag) { tag_ = tag; }
  std::string getTag() const { return tag_; }
  void setDescription(const std::string& d) { description_ = d; }
  std::string getDescription() const { return description_; }
  void setLocation(int location) { location_ = location; }
  int getLocation() const { return location_; }

  VertexSet::const_iterator vertexBegin() const { return vertices_.begin(); }
  VertexSet::const_iterator vertexEnd() const { return vertices_.end(); }
  EdgeSet::const_iterator edgeBegin() const { return edges_.begin(); }
  EdgeSet::const_iterator edgeEnd() const { return edges_.end(); }
  BarrierSet::const_iterator barrierBegin() const { return barriers_.begin(); }
  BarrierSet::const_iterator barrierEnd() const { return barriers_.end(); }
  // The weighted mirror of the vertices and edges on which routes are searched.
  const Graph& getGraph() const { return graph_; }

  // Floors and distances.
  void addSubLocation(const SubLocation& s);
  SubLocation getSubLocation(int id) const;
  // Euclidean on one floor; between floors max(10, altitude difference); NaN
  // when a floor is not defined.
  double getDistance(int subLoc1, double x1, double y1, int subLoc2, double x2, double y2) const;
  double getDistance(const LocationPoint& a, const LocationPoint& b) const;

  // Vertices. A vertex closer than its floor's stick distance to a stored one
  // is merged into it: its id then answers every lookup as the kept vertex.
  int addVertex(Vertex v);
  bool hasVertex(int id) const;
  Vertex getVertex(int id) const;
  void removeVertex(int id);
  void moveVertex(int id, double x, double y);
  void setVertexName(int id, const std::string& name);
  void setVertexExternal(int id, bool external);
  std::vector<Vertex> getElevationPoints() const;
  std::vector<Vertex> getElevationPoints(int subLoc) const;

  // Directed edges.
  int addEdge(Edge e);
  bool hasEdge(int id) const;
  Edge getEdge(int id) const;
  Edge getEdge(int subLoc, int src, int dst) const;
  void removeEdge(int id);
  void setEdgeWeight(int id, double coef);
  double getEdgeWeight(int id) const;

  // Floor options.
  void setSmoothRadius(int subLoc, double radius);
  void setSmoothRadius(double radius);
  void setStickDistance(int subLoc, double distance);
  void setStickDistance(double distance);
  void setBarriersEnabled(int subLoc, bool enabled);
  void setBarriersEnabled(bool enabled);
  double getSmoothRadius(int subLoc) const;
  double getStickDistance(int subLoc) const;
  bool getBarriersEnabled(int subLoc) const;
  bool setParam(const std::string& key, const std::string& value);

  // Files: config.xml, a graph file, barriers.xml and the graph-file writer.
  bool parseConfig(const std::string& text, std::map<std::string, std::string>* graphFiles,
                   std::string* err);
  bool parseGraph(const std::string& text, std::string* err);
  bool parseBarriers(const std::string& text, std::string* err);
  std::string toString() const;
  void print(FILE* stream) const;
  static RouteGraph parse(const std::string& config, const std::string& graph,
                          const std::string& barriers, std::string* err, bool* ok);
  static RouteGraph parseArchive(const std::string& archivePath, const std::string& tag,
                                 std::string* err, bool* ok);

  // Route queries.
  LocationPoint getProjection(const LocationPoint& p) const;
  LocationPoint getBarrierIntersection(const LocationPoint& from, const LocationPoint& to) const;
  int addSplitPoint(const LocationPoint& p);
  RoutePath getPath(const LocationPoint& from, const LocationPoint& to) const;
  std::vector<RoutePath> getPaths(const LocationPoint& from,
                                  const std::vector<LocationPoint>& targets) const;

 private:
  int resolve(int id) const;
  // The stored vertex of an id (merged ids resolved), or null.
  const Vertex* findVertex(int id) const;
  // The stored vertex of the floor, other than v itself, that v sticks to:
  // the smallest id closer than `stick`, or -1.
  int findCloseVertex(const Vertex& v, double stick) const;
  void indexCell(const Vertex& v);
  void unindexCell(const Vertex& v);

  // An edge with the positions of its ends, kept flat per filing floor in id
  // order so that projections and splits scan memory, not trees.
  struct Segment {
    int id;
    int src;
    int dst;
    int srcSubLoc;
    int dstSubLoc;
    double weightCoef;
    double ax, ay, bx, by;
  };
  void removeSegment(const Edge& e);
  const std::vector<Segment>* floorSegments(int subLoc) const;

  // The points and edges a route query adds, laid over this graph instead of
  // being added to a copy of it.
  class Query;
  // Vertices, edges and split points are added by one piece of code
  // (route_graph_edits.h), to the graph itself (Store) and to a query's overlay.
  class Store;
  template <class S>
  static int addVertexTo(S& s, Vertex v);
  template <class S>
  static int addEdgeTo(S& s, Edge e);
  template <class S>
  static int addSplitPointTo(S& s, const LocationPoint& p);
  // How near a point must lie to an edge for a split point to split it.
  static constexpr double kSplitEps = 1e-8;
  // The search weight of an edge between two stored vertices, never below a small minimum.
  static double edgeWeight(const RouteGraph& g, const Edge& e, const Vertex& a, const Vertex& b);
  // Files an edge between a and b among a floor's segments, kept in id order.
  static void fileSegment(std::vector<Segment>& segs, const Edge& e, const Vertex& a, const Vertex& b);
  void rebuildIndexes();
  double mirrorWeight(const Edge& e) const;
  // Puts the pair (src, dst) back into the mirror when a stored edge still
  // provides it.
  void restoreMirror(int src, int dst);
  SubLocation* findSubLocation(int id);
  // First stored vertex of a floor with an id of at least `minId`.
  VertexSet::const_iterator floorVertices(int subLoc, int minId) const;
  EdgeSet::const_iterator floorEdges(int subLoc, int minId) const;

  int location_ = 0;
  std::string tag_;
  std::string name_;
  std::string description_;
  SubLocationSet subLocations_;
  VertexSet vertices_;
  EdgeSet edges_;
  BarrierSet barriers_;
  std::map<int, VertexSet::iterator> vertexIndex_;
  std::map<int, EdgeSet::iterator> edgeIndex_;
  std::map<int, int> vertexAlias_;
  Graph graph_;
  // Stored vertices (ids 0 and above, finite positions) by floor and by 1 m
  // cell, so that the stick test of a new vertex looks at its neighbourhood
  // only.
  std::unordered_map<int, std::unordered_map<uint64_t, std::vector<int>>> vertexCells_;
  std::map<int, std::vector<Segment>> segments_;
  int vertexCounter_ = 1000000000;
  int edgeCounter_ = 1000000000;
};
