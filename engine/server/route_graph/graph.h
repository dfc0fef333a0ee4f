// The plain directed, weighted graph on which every route is searched. It
// knows nothing of floors or coordinates: vertices are non-negative ids and
// edges carry a positive weight in metres. Searches of one graph may run on
// several threads at once; edits must not run beside them.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

class Graph {
 public:
  struct Edge {
    int src = 0;
    int dst = 0;
    double weight = 0.0;

    Edge() = default;
    Edge(int s, int d, double w) : src(s), dst(d), weight(w) {}

    // Order and equality look at the ends only: one edge per ordered pair.
    bool operator<(const Edge& o) const { return src < o.src || (src == o.src && dst < o.dst); }
    bool operator>(const Edge& o) const { return o < *this; }
    bool operator==(const Edge& o) const { return src == o.src && dst == o.dst; }
    bool operator!=(const Edge& o) const { return !(*this == o); }
  };

  // Search labels: vertex id -> (previous vertex id, distance from the start).
  using Labels = std::map<int, std::pair<int, double>>;

  Graph() = default;

  void clear();

  // Negative ids are ignored; an id already present changes nothing.
  void addVertex(int id);
  // Drops the vertex and every edge that names it.
  void removeVertex(int id);
  // Ignored for loops, negative ids and ends that are not vertices. The weight
  // is raised to 1e-8; an existing pair is re-weighted.
  void addEdge(int src, int dst, double weight);
  void removeEdge(int src, int dst);

  bool hasVertex(int id) const;
  bool hasEdge(int src, int dst) const;
  // Weight of the edge (src, dst), or -1.0 when there is none.
  double getEdgeWeight(int src, int dst) const;
  size_t vertexCount() const { return index_.size(); }
  size_t edgeCount() const { return edgeCount_; }
  // All vertex ids in ascending order.
  std::vector<int> getVertices() const;
  // All edges in (src, dst) order.
  std::vector<Edge> getEdges() const;

  // Shortest path from src to dst. Returns its length, 0.0 when src == dst,
  // -1.0 when an end is not a vertex or dst cannot be reached. `path` gets the
  // vertex ids from src to dst; `labels` the labels of every vertex reachable
  // from src. Ties go to the smallest vertex id, and on equal distance a
  // vertex keeps the predecessor that labelled it first.
  double getPath(int src, int dst, std::vector<int>* path, Labels* labels) const;

  // The same search on this graph with `extra` edges laid over it, as if they
  // had been added with addEdge: their ends count as vertices, and an extra
  // edge replaces the weight of a stored edge with the same ends (the last of
  // several extras with the same ends wins). Lets a query search a graph with
  // a few added points without copying it.
  double getPath(int src, int dst, std::vector<int>* path, Labels* labels,
                 const std::vector<Edge>& extra) const;

  // "Route graph:" and one line per edge in (src, dst) order.
  void print(FILE* stream) const;

 private:
  struct Arc {
    int to;    // slot of the other end
    int toId;  // its id, kept here to spare the search a lookup
    double weight;
  };
  struct Compact;
  struct Scratch;

  // What searches reuse between calls: a flat copy of the adjacency, made
  // on the first search after an edit (a route graph is edited while it is
  // loaded and then searched many times), and search state that is reset
  // lazily instead of being allocated and filled per search. Concurrent
  // searches of one graph each take their own state. Copies share the flat
  // adjacency, which never changes once made.
  class SearchCache {
   public:
    SearchCache();
    SearchCache(const SearchCache& o);
    SearchCache(SearchCache&& o) noexcept;
    SearchCache& operator=(const SearchCache& o);
    SearchCache& operator=(SearchCache&& o) noexcept;
    ~SearchCache();

    // Every edit calls this; edits never run beside searches of the same graph.
    void invalidate() { compact_.reset(); }
    std::shared_ptr<const Compact> get(const Graph& g);
    std::unique_ptr<Scratch> borrow();
    void giveBack(std::unique_ptr<Scratch> s);

   private:
    std::shared_ptr<const Compact> shared() const;
    std::shared_ptr<const Compact> take();

    mutable std::mutex mutex_;
    std::shared_ptr<const Compact> compact_;
    std::vector<std::unique_ptr<Scratch>> spare_;
  };

  int slotOf(int id) const;

  // Vertices live in dense slots so that a search runs over flat arrays;
  // slots of removed vertices are reused.
  std::unordered_map<int, int> index_;
  std::vector<int> ids_;                // slot -> id, -1 when free
  std::vector<std::vector<Arc>> out_;   // outgoing arcs per slot
  std::vector<int> freeSlots_;
  size_t edgeCount_ = 0;
  mutable SearchCache cache_;
};
