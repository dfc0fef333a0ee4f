#include "server/route_graph/graph.h"

#include <algorithm>

namespace {

constexpr double kMinWeight = 1e-8;

// One vertex waiting in the search queue.
struct QueueEntry {
  double dist;
  int id;
  int slot;
};

// Queue order: the smallest distance first, ties to the smallest vertex id,
// which is the order in which a linear scan of an id-ordered open set would
// take the vertices.
inline bool Before(const QueueEntry& a, const QueueEntry& b) {
  return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
}

constexpr int kUnlabelled = -1;
constexpr int kDone = -2;

// Search state per slot, kept as separate arrays: the queue touches only the
// places, the relaxation mostly only places and distances.
struct SearchState {
  explicit SearchState(size_t n) : dist(n, 0.0), pred(n, -1), pos(n, kUnlabelled) {}
  std::vector<double> dist;
  std::vector<int> pred;  // slot of the predecessor, -1 for the start
  std::vector<int> pos;   // place in the queue, kUnlabelled or kDone
};

// A 4-ary heap that holds each open vertex once and lowers its key in place,
// so a search does no more queue work than it has vertices and edges.
class OpenQueue {
 public:
  explicit OpenQueue(std::vector<int>& pos) : pos_(pos) {}

  bool empty() const { return heap_.empty(); }

  void push(const QueueEntry& e) {
    heap_.push_back(e);
    up(heap_.size() - 1);
  }

  // The entry of e.slot is already queued; its distance has dropped.
  void lower(const QueueEntry& e) {
    const size_t i = static_cast<size_t>(pos_[e.slot]);
    heap_[i].dist = e.dist;
    up(i);
  }

  QueueEntry pop() {
    const QueueEntry top = heap_.front();
    const QueueEntry last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) down(last);
    return top;
  }

 private:
  void place(size_t i, const QueueEntry& e) {
    heap_[i] = e;
    pos_[e.slot] = static_cast<int>(i);
  }

  void up(size_t i) {
    const QueueEntry e = heap_[i];
    while (i > 0) {
      const size_t parent = (i - 1) / 4;
      if (!Before(e, heap_[parent])) break;
      place(i, heap_[parent]);
      i = parent;
    }
    place(i, e);
  }

  // Sinks e from the root.
  void down(const QueueEntry& e) {
    const size_t n = heap_.size();
    size_t i = 0;
    for (;;) {
      const size_t first = 4 * i + 1;
      if (first >= n) break;
      size_t best = first;
      const size_t last = std::min(first + 4, n);
      for (size_t c = first + 1; c < last; ++c)
        if (Before(heap_[c], heap_[best])) best = c;
      if (!Before(heap_[best], e)) break;
      place(i, heap_[best]);
      i = best;
    }
    place(i, e);
  }

  std::vector<int>& pos_;
  std::vector<QueueEntry> heap_;
};

}  // namespace

void Graph::clear() {
  index_.clear();
  ids_.clear();
  out_.clear();
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
  }
  index_.emplace(id, slot);
}

void Graph::removeVertex(int id) {
  const int s = slotOf(id);
  // Edges can only name vertices, so an id that is not one has no edges left.
  if (s < 0) return;
  // Removing a vertex is an editing step, rare next to searches, so the
  // incoming arcs are found by a sweep rather than kept in a second list.
  edgeCount_ -= out_[s].size();
  out_[s].clear();
  out_[s].shrink_to_fit();
  for (auto& out : out_) {
    const size_t before = out.size();
    out.erase(std::remove_if(out.begin(), out.end(), [s](const Arc& a) { return a.to == s; }), out.end());
    edgeCount_ -= before - out.size();
  }
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
  out_[s].push_back({d, dst, weight});
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
  return getPath(src, dst, path, labels, {});
}

double Graph::getPath(int src, int dst, std::vector<int>* path, Labels* labels,
                      const std::vector<Edge>& extra) const {
  const int n = static_cast<int>(ids_.size());
  // Extra vertices take the slots after the stored ones.
  std::unordered_map<int, int> extraSlot;
  std::vector<int> extraIds;
  auto slotOfAny = [&](int id) {
    const int s = slotOf(id);
    if (s >= 0) return s;
    auto it = extraSlot.find(id);
    return it == extraSlot.end() ? -1 : it->second;
  };
  // Extra arcs by source slot, one per target slot (later extras replace).
  std::unordered_map<int, std::vector<Arc>> extraOut;
  for (const Edge& e : extra) {
    if (e.src == e.dst || e.src < 0 || e.dst < 0) continue;
    for (int id : {e.src, e.dst})
      if (slotOfAny(id) < 0) {
        extraSlot.emplace(id, n + static_cast<int>(extraIds.size()));
        extraIds.push_back(id);
      }
    const int s = slotOfAny(e.src);
    const int d = slotOfAny(e.dst);
    const double w = e.weight >= kMinWeight ? e.weight : kMinWeight;
    std::vector<Arc>& arcs = extraOut[s];
    auto it = std::find_if(arcs.begin(), arcs.end(), [d](const Arc& a) { return a.to == d; });
    if (it != arcs.end())
      it->weight = w;
    else
      arcs.push_back({d, e.dst, w});
  }
  const int total = n + static_cast<int>(extraIds.size());
  auto idOf = [&](int slot) { return slot < n ? ids_[slot] : extraIds[slot - n]; };

  const int s = slotOfAny(src);
  if (s < 0) return -1.0;
  const int t = slotOfAny(dst);
  if (t < 0) return -1.0;

  SearchState lab(static_cast<size_t>(total));
  OpenQueue open(lab.pos);
  open.push({0.0, src, s});
  size_t reached = 1;

  auto relax = [&](int from, double d, const Arc& a) {
    const double nd = d + a.weight;
    const int pos = lab.pos[a.to];
    if (pos == kUnlabelled) {
      lab.dist[a.to] = nd;
      lab.pred[a.to] = from;
      ++reached;
      open.push({nd, a.toId, a.to});
    } else if (lab.dist[a.to] > nd) {
      // Weights are positive, so a vertex already taken cannot improve.
      lab.dist[a.to] = nd;
      lab.pred[a.to] = from;
      if (pos >= 0) open.lower({nd, a.toId, a.to});
    }
  };

  while (!open.empty()) {
    const QueueEntry e = open.pop();
    lab.pos[e.slot] = kDone;
    const double d = lab.dist[e.slot];
    const std::vector<Arc>* more = nullptr;
    if (!extraOut.empty()) {
      auto it = extraOut.find(e.slot);
      if (it != extraOut.end()) more = &it->second;
    }
    if (e.slot < n) {
      for (const Arc& a : out_[e.slot]) {
        if (more && std::any_of(more->begin(), more->end(), [&a](const Arc& x) { return x.to == a.to; }))
          continue;  // re-weighted by an extra edge
        relax(e.slot, d, a);
      }
    }
    if (more)
      for (const Arc& a : *more) relax(e.slot, d, a);
  }

  const bool reachable = lab.pos[t] != kUnlabelled;
  if (path) {
    path->clear();
    if (!reachable) return -1.0;
    for (int cur = t; cur >= 0; cur = lab.pred[cur]) path->push_back(idOf(cur));
    std::reverse(path->begin(), path->end());
  }
  if (labels) {
    std::vector<std::pair<int, int>> order;  // (id, slot) of every labelled vertex
    order.reserve(reached);
    for (int i = 0; i < total; ++i)
      if (lab.pos[i] != kUnlabelled) order.emplace_back(idOf(i), i);
    std::sort(order.begin(), order.end());
    labels->clear();
    for (const auto& [id, slot] : order) {
      const int pred = lab.pred[slot] < 0 ? -1 : idOf(lab.pred[slot]);
      labels->emplace_hint(labels->end(), id, std::make_pair(pred, lab.dist[slot]));
    }
  }
  return reachable ? lab.dist[t] : -1.0;
}

void Graph::print(FILE* stream) const {
  if (!stream) return;
  fprintf(stream, "Route graph:\n");
  for (const Edge& e : getEdges()) fprintf(stream, "Edge %d -> %d [weight=%.2f]\n", e.src, e.dst, e.weight);
}
