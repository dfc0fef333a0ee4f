#include "server/route_graph/graph.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr double kMinWeight = 1e-8;

// One entry of the search queue; stale entries are skipped when popped.
struct QueueEntry {
  double dist;
  int id;
  int slot;
};

// Heap order: the smallest distance first, ties to the smallest vertex id,
// which is the order in which a linear scan of an id-ordered open set would
// take the vertices.
struct LaterInQueue {
  bool operator()(const QueueEntry& a, const QueueEntry& b) const {
    if (a.dist != b.dist) return a.dist > b.dist;
    return a.id > b.id;
  }
};

struct Label {
  double dist;
  int pred;  // slot of the predecessor, -1 for the start
  int8_t state;  // 0 unlabelled, 1 open, 2 done
};

}  // namespace

void Graph::clear() {
  index_.clear();
  ids_.clear();
  out_.clear();
  in_.clear();
  freeSlots_.clear();
  edgeCount_ = 0;
}

int Graph::slotOf(int id) const {
  auto it = index_.find(id);
  return it == index_.end() ? -1 : it->second;
}

void Graph::addVertex(int id) {
  if (id < 0 || index_.count(id)) return;
  int slot;
  if (!freeSlots_.empty()) {
    slot = freeSlots_.back();
    freeSlots_.pop_back();
    ids_[slot] = id;
  } else {
    slot = static_cast<int>(ids_.size());
    ids_.push_back(id);
    out_.emplace_back();
    in_.emplace_back();
  }
  index_.emplace(id, slot);
}

void Graph::removeVertex(int id) {
  const int s = slotOf(id);
  // Edges can only name vertices, so an id that is not one has no edges left.
  if (s < 0) return;
  for (const Arc& a : out_[s]) {
    auto& in = in_[a.to];
    in.erase(std::find(in.begin(), in.end(), s));
    --edgeCount_;
  }
  for (int src : in_[s]) {
    auto& out = out_[src];
    out.erase(std::find_if(out.begin(), out.end(), [s](const Arc& a) { return a.to == s; }));
    --edgeCount_;
  }
  out_[s].clear();
  in_[s].clear();
  ids_[s] = -1;
  index_.erase(id);
  freeSlots_.push_back(s);
}

void Graph::addEdge(int src, int dst, double weight) {
  if (src == dst || src < 0 || dst < 0) return;
  const int s = slotOf(src);
  const int d = slotOf(dst);
  if (s < 0 || d < 0) return;
  // A NaN weight would poison every distance behind it; treat it as the floor.
  if (!(weight >= kMinWeight)) weight = kMinWeight;
  for (Arc& a : out_[s]) {
    if (a.to == d) {
      a.weight = weight;
      return;
    }
  }
  out_[s].push_back({d, weight});
  in_[d].push_back(s);
  ++edgeCount_;
}

void Graph::removeEdge(int src, int dst) {
  if (src == dst || src < 0 || dst < 0) return;
  const int s = slotOf(src);
  const int d = slotOf(dst);
  if (s < 0 || d < 0) return;
  auto& out = out_[s];
  auto it = std::find_if(out.begin(), out.end(), [d](const Arc& a) { return a.to == d; });
  if (it == out.end()) return;
  out.erase(it);
  auto& in = in_[d];
  in.erase(std::find(in.begin(), in.end(), s));
  --edgeCount_;
}

bool Graph::hasVertex(int id) const { return index_.count(id) != 0; }

bool Graph::hasEdge(int src, int dst) const { return getEdgeWeight(src, dst) >= 0.0; }

double Graph::getEdgeWeight(int src, int dst) const {
  const int s = slotOf(src);
  const int d = slotOf(dst);
  if (s < 0 || d < 0) return -1.0;
  for (const Arc& a : out_[s])
    if (a.to == d) return a.weight;
  return -1.0;
}

std::vector<int> Graph::getVertices() const {
  std::vector<int> v;
  v.reserve(index_.size());
  for (const auto& kv : index_) v.push_back(kv.first);
  std::sort(v.begin(), v.end());
  return v;
}

std::vector<Graph::Edge> Graph::getEdges() const {
  std::vector<Edge> e;
  e.reserve(edgeCount_);
  for (size_t s = 0; s < out_.size(); ++s)
    for (const Arc& a : out_[s]) e.emplace_back(ids_[s], ids_[a.to], a.weight);
  std::sort(e.begin(), e.end());
  return e;
}

double Graph::getPath(int src, int dst, std::vector<int>* path, Labels* labels) const {
  const int s = slotOf(src);
  if (s < 0) return -1.0;
  const int t = slotOf(dst);
  if (t < 0) return -1.0;

  std::vector<Label> lab(ids_.size(), Label{0.0, -1, 0});
  std::vector<QueueEntry> heap;
  heap.reserve(64);
  const LaterInQueue later;
  lab[s] = Label{0.0, -1, 1};
  heap.push_back({0.0, src, s});
  size_t reached = 1;

  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    const QueueEntry e = heap.back();
    heap.pop_back();
    Label& lu = lab[e.slot];
    if (lu.state == 2 || e.dist != lu.dist) continue;
    lu.state = 2;
    const double d = lu.dist;
    for (const Arc& a : out_[e.slot]) {
      Label& lv = lab[a.to];
      const double nd = d + a.weight;
      if (lv.state == 0) {
        lv = Label{nd, e.slot, 1};
        ++reached;
        heap.push_back({nd, ids_[a.to], a.to});
        std::push_heap(heap.begin(), heap.end(), later);
      } else if (lv.dist > nd) {
        // Weights are positive, so only open vertices can still improve.
        lv.dist = nd;
        lv.pred = e.slot;
        heap.push_back({nd, ids_[a.to], a.to});
        std::push_heap(heap.begin(), heap.end(), later);
      }
    }
  }

  const bool reachable = lab[t].state != 0;
  if (path) {
    path->clear();
    if (!reachable) return -1.0;
    for (int cur = t; cur >= 0; cur = lab[cur].pred) path->push_back(ids_[cur]);
    std::reverse(path->begin(), path->end());
  }
  if (labels) {
    std::vector<std::pair<int, int>> order;  // (id, slot) of every labelled vertex
    order.reserve(reached);
    for (size_t i = 0; i < lab.size(); ++i)
      if (lab[i].state != 0) order.emplace_back(ids_[i], static_cast<int>(i));
    std::sort(order.begin(), order.end());
    labels->clear();
    for (const auto& [id, slot] : order) {
      const int pred = lab[slot].pred < 0 ? -1 : ids_[lab[slot].pred];
      labels->emplace_hint(labels->end(), id, std::make_pair(pred, lab[slot].dist));
    }
  }
  return reachable ? lab[t].dist : -1.0;
}

void Graph::print(FILE* stream) const {
  if (!stream) return;
  fprintf(stream, "Route graph:\n");
  for (const Edge& e : getEdges()) fprintf(stream, "Edge %d -> %d [weight=%.2f]\n", e.src, e.dst, e.weight);
}
