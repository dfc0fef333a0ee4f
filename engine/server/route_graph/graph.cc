#include "server/route_graph/graph.h"

#include <algorithm>
#include <memory>
#include <new>

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
// Written without short cuts, so that it compiles to flag arithmetic rather
// than to branches that the unpredictable distances would keep mispredicting.
inline bool Before(const QueueEntry& a, const QueueEntry& b) {
  return (a.dist < b.dist) | ((a.dist == b.dist) & (a.id < b.id));
}

constexpr int kUnlabelled = -1;
constexpr int kDone = -2;

// Search state of one vertex, in one place: a relaxation reads and writes
// its target's distance and queue place together.
struct Label {
  double dist;
  int pred;  // slot of the predecessor, -1 for the start
  int pos;   // place in the queue, kUnlabelled or kDone
};

// A 4-ary heap that holds each open vertex once and lowers its key in place,
// so a search does no more queue work than it has vertices and edges. Its
// storage starts three places before a cache line, so that the four
// children of any entry share one line.
class OpenQueue {
 public:
  explicit OpenQueue(Label* labels) : labels_(labels) { grow(256); }

  bool empty() const { return size_ == 0; }

  void push(const QueueEntry& e) {
    if (size_ == capacity_) grow(2 * capacity_);
    up(size_++, e);
  }

  // The entry of e.slot is already queued; its distance has dropped.
  void lower(const QueueEntry& e) { up(static_cast<size_t>(labels_[e.slot].pos), e); }

  QueueEntry pop() {
    const QueueEntry top = heap_[0];
    --size_;
    if (size_ > 0) down(heap_[size_]);
    return top;
  }

 private:
  static constexpr size_t kPad = 3;
  struct AlignedDelete {
    void operator()(QueueEntry* p) const { ::operator delete[](p, std::align_val_t(64)); }
  };

  // The open set of a search is a thin front, far smaller than the graph.
  void grow(size_t capacity) {
    std::unique_ptr<QueueEntry[], AlignedDelete> more(static_cast<QueueEntry*>(
        ::operator new[]((capacity + kPad) * sizeof(QueueEntry), std::align_val_t(64))));
    if (size_ > 0) std::copy(heap_, heap_ + size_, more.get() + kPad);
    storage_ = std::move(more);
    heap_ = storage_.get() + kPad;
    capacity_ = capacity;
  }

  void place(size_t i, const QueueEntry& e) {
    heap_[i] = e;
    labels_[e.slot].pos = static_cast<int>(i);
  }

  // Moves e, which belongs at place i or above, up to where it belongs.
  void up(size_t i, const QueueEntry& e) {
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
    const size_t n = size_;
    size_t i = 0;
    for (;;) {
      const size_t first = 4 * i + 1;
      if (first >= n) break;
      size_t best = first;
      if (first + 4 <= n) {
        // A full family: two pairs, then their winners.
        const size_t a = first + Before(heap_[first + 1], heap_[first]);
        const size_t b = first + 2 + Before(heap_[first + 3], heap_[first + 2]);
        best = Before(heap_[b], heap_[a]) ? b : a;
      } else {
        for (size_t c = first + 1; c < n; ++c) best = Before(heap_[c], heap_[best]) ? c : best;
      }
      if (!Before(heap_[best], e)) break;
      place(i, heap_[best]);
      i = best;
    }
    place(i, e);
  }

  Label* labels_;
  std::unique_ptr<QueueEntry[], AlignedDelete> storage_;
  QueueEntry* heap_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
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

  // Only the queue places need a start value; a distance and predecessor
  // are written when their vertex is first labelled.
  std::unique_ptr<Label[]> lab = std::make_unique_for_overwrite<Label[]>(static_cast<size_t>(total));
  for (int i = 0; i < total; ++i) lab[i].pos = kUnlabelled;
  OpenQueue open(lab.get());
  lab[s] = {0.0, -1, kUnlabelled};
  open.push({0.0, src, s});
  size_t reached = 1;

  auto relax = [&](int from, double d, const Arc& a) {
    const double nd = d + a.weight;
    Label& to = lab[a.to];
    if (to.pos == kUnlabelled) {
      to.dist = nd;
      to.pred = from;
      ++reached;
      open.push({nd, a.toId, a.to});
    } else if (to.dist > nd) {
      // Weights are positive, so a vertex already taken cannot improve.
      to.dist = nd;
      to.pred = from;
      if (to.pos >= 0) open.lower({nd, a.toId, a.to});
    }
  };

  while (!open.empty()) {
    const QueueEntry e = open.pop();
    lab[e.slot].pos = kDone;
    const double d = e.dist;
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

  const bool reachable = lab[t].pos != kUnlabelled;
  if (path) {
    path->clear();
    if (!reachable) return -1.0;
    for (int cur = t; cur >= 0; cur = lab[cur].pred) path->push_back(idOf(cur));
    std::reverse(path->begin(), path->end());
  }
  if (labels) {
    std::vector<std::pair<int, int>> order;  // (id, slot) of every labelled vertex
    order.reserve(reached);
    for (int i = 0; i < total; ++i)
      if (lab[i].pos != kUnlabelled) order.emplace_back(idOf(i), i);
    std::sort(order.begin(), order.end());
    labels->clear();
    for (const auto& [id, slot] : order) {
      const int pred = lab[slot].pred < 0 ? -1 : idOf(lab[slot].pred);
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
