#include "server/route_graph/graph.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>

namespace {

constexpr double kMinWeight = 1e-8;

// One vertex waiting in the search queue, as one 128-bit key whose order is
// the queue's: the smallest distance first, ties to the smallest vertex id,
// which is the order in which a linear scan of an id-ordered open set would
// take the vertices. Distances are sums of weights of at least 1e-8 (never
// negative, never NaN), and the bits of such doubles, read as unsigned
// integers, order as the numbers do; ids are never negative. Comparing keys
// thus costs one wide integer comparison and no branch that the
// unpredictable distances would keep mispredicting.
class QueueEntry {
 public:
  QueueEntry(double dist, int id, int slot)
      : key_(static_cast<unsigned __int128>(std::bit_cast<std::uint64_t>(dist)) << 64 |
             static_cast<unsigned __int128>(static_cast<std::uint32_t>(id)) << 32 |
             static_cast<std::uint32_t>(slot)) {}

  double dist() const { return std::bit_cast<double>(static_cast<std::uint64_t>(key_ >> 64)); }
  int slot() const { return static_cast<int>(static_cast<std::uint32_t>(key_)); }
  friend bool Before(const QueueEntry& a, const QueueEntry& b) { return a.key_ < b.key_; }

 private:
  unsigned __int128 key_;
};

constexpr int kDone = -1;

// Search state of one vertex, in one place: a relaxation reads and writes
// its target's distance and queue place together. A label counts only when
// its stamp is the current search's, so a new search starts without
// touching the labels of the last one.
struct Label {
  double dist;
  int pred;        // slot of the predecessor, -1 for the start
  int pos;         // place in the queue, or kDone
  unsigned stamp;  // the search that wrote it
};

struct AlignedDelete {
  void operator()(QueueEntry* p) const { ::operator delete[](p, std::align_val_t(64)); }
};

// The queue's storage, kept from one search to the next.
struct HeapStorage {
  std::unique_ptr<QueueEntry[], AlignedDelete> block;
  QueueEntry* heap = nullptr;
  size_t capacity = 0;
};

// A 4-ary heap that holds each open vertex once and lowers its key in place,
// so a search does no more queue work than it has vertices and edges. Its
// storage starts three places before a cache line, so that the four
// children of any entry share one line.
class OpenQueue {
 public:
  OpenQueue(Label* labels, HeapStorage& storage) : labels_(labels), storage_(storage) {
    if (storage_.capacity == 0) grow(256);
    heap_ = storage_.heap;
  }

  bool empty() const { return size_ == 0; }

  void push(const QueueEntry& e) {
    if (size_ == storage_.capacity) grow(2 * storage_.capacity);
    up(size_++, e);
  }

  // The entry of e.slot is already queued; its distance has dropped.
  void lower(const QueueEntry& e) { up(static_cast<size_t>(labels_[e.slot()].pos), e); }

  QueueEntry pop() {
    const QueueEntry top = heap_[0];
    --size_;
    if (size_ > 0) down(heap_[size_]);
    return top;
  }

 private:
  static constexpr size_t kPad = 3;

  // The open set of a search is a thin front, far smaller than the graph.
  void grow(size_t capacity) {
    std::unique_ptr<QueueEntry[], AlignedDelete> more(static_cast<QueueEntry*>(
        ::operator new[]((capacity + kPad) * sizeof(QueueEntry), std::align_val_t(64))));
    if (size_ > 0) std::copy(heap_, heap_ + size_, more.get() + kPad);
    storage_.block = std::move(more);
    storage_.heap = heap_ = storage_.block.get() + kPad;
    storage_.capacity = capacity;
  }

  void place(size_t i, const QueueEntry& e) {
    heap_[i] = e;
    labels_[e.slot()].pos = static_cast<int>(i);
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
  HeapStorage& storage_;
  QueueEntry* heap_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

// The adjacency as searches read it: each vertex's arcs side by side in one
// array, vertices in ascending id order.
struct Graph::Compact {
  std::vector<int> ids;     // compact slot -> id
  std::vector<int> slotOf;  // editing slot -> compact slot, -1 for a free one
  std::vector<int> first;   // arcs of compact slot s: [first[s], first[s + 1])
  std::vector<Arc> arcs;    // `to` is a compact slot
};

struct Graph::Scratch {
  std::vector<Label> labels;
  unsigned stamp = 0;  // the current search's
  HeapStorage heap;

  // Labels for `total` slots, none of them current.
  Label* start(size_t total) {
    if (labels.size() < total) labels.resize(total, Label{0.0, -1, kDone, 0});
    if (++stamp == 0) {
      // The stamps have come round: forget every old one.
      for (Label& l : labels) l.stamp = 0;
      stamp = 1;
    }
    return labels.data();
  }
};

Graph::SearchCache::SearchCache() = default;
Graph::SearchCache::SearchCache(const SearchCache& o) : compact_(o.shared()) {}
Graph::SearchCache::SearchCache(SearchCache&& o) noexcept : compact_(o.take()) {}
Graph::SearchCache::~SearchCache() = default;

Graph::SearchCache& Graph::SearchCache::operator=(const SearchCache& o) {
  if (this != &o) {
    std::shared_ptr<const Compact> c = o.shared();
    std::lock_guard<std::mutex> lock(mutex_);
    compact_ = std::move(c);
  }
  return *this;
}

Graph::SearchCache& Graph::SearchCache::operator=(SearchCache&& o) noexcept {
  if (this != &o) {
    std::shared_ptr<const Compact> c = o.take();
    std::lock_guard<std::mutex> lock(mutex_);
    compact_ = std::move(c);
  }
  return *this;
}

std::shared_ptr<const Graph::Compact> Graph::SearchCache::shared() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return compact_;
}

std::shared_ptr<const Graph::Compact> Graph::SearchCache::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(compact_);
}

std::shared_ptr<const Graph::Compact> Graph::SearchCache::get(const Graph& g) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (compact_) return compact_;
  auto c = std::make_shared<Compact>();
  std::vector<std::pair<int, int>> order;  // (id, editing slot)
  order.reserve(g.index_.size());
  for (size_t slot = 0; slot < g.ids_.size(); ++slot)
    if (g.ids_[slot] >= 0) order.emplace_back(g.ids_[slot], static_cast<int>(slot));
  std::sort(order.begin(), order.end());
  c->slotOf.assign(g.ids_.size(), -1);
  c->ids.reserve(order.size());
  for (const auto& [id, slot] : order) {
    c->slotOf[slot] = static_cast<int>(c->ids.size());
    c->ids.push_back(id);
  }
  c->first.reserve(order.size() + 1);
  c->arcs.reserve(g.edgeCount_);
  for (const auto& [id, slot] : order) {
    c->first.push_back(static_cast<int>(c->arcs.size()));
    for (const Arc& a : g.out_[slot]) c->arcs.push_back({c->slotOf[a.to], a.toId, a.weight});
  }
  c->first.push_back(static_cast<int>(c->arcs.size()));
  compact_ = std::move(c);
  return compact_;
}

std::unique_ptr<Graph::Scratch> Graph::SearchCache::borrow() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spare_.empty()) {
      std::unique_ptr<Scratch> s = std::move(spare_.back());
      spare_.pop_back();
      return s;
    }
  }
  return std::make_unique<Scratch>();
}

void Graph::SearchCache::giveBack(std::unique_ptr<Scratch> s) {
  std::lock_guard<std::mutex> lock(mutex_);
  spare_.push_back(std::move(s));
}

void Graph::clear() {
  index_.clear();
  ids_.clear();
  out_.clear();
  freeSlots_.clear();
  edgeCount_ = 0;
  cache_.invalidate();
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
  cache_.invalidate();
}

void Graph::removeVertex(int id) {
  const int s = slotOf(id);
  // Edges can only name vertices, so an id that is not one has no edges left.
  if (s < 0) return;
  cache_.invalidate();
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
  cache_.invalidate();
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
  cache_.invalidate();
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
  const std::shared_ptr<const Compact> c = cache_.get(*this);
  const int n = static_cast<int>(c->ids.size());
  auto storedSlot = [&](int id) {
    const int s = slotOf(id);
    return s < 0 ? -1 : c->slotOf[s];
  };
  // Extra vertices take the slots after the stored ones.
  std::unordered_map<int, int> extraSlot;
  std::vector<int> extraIds;
  auto slotOfAny = [&](int id) {
    const int s = storedSlot(id);
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
  auto idOf = [&](int slot) { return slot < n ? c->ids[slot] : extraIds[slot - n]; };

  const int s = slotOfAny(src);
  if (s < 0) return -1.0;
  const int t = slotOfAny(dst);
  if (t < 0) return -1.0;

  // The search state goes back to the graph for the next search however
  // this one ends.
  struct Lease {
    SearchCache& cache;
    std::unique_ptr<Scratch> scratch;
    ~Lease() { cache.giveBack(std::move(scratch)); }
  } lease{cache_, cache_.borrow()};
  Scratch& scratch = *lease.scratch;
  Label* const lab = scratch.start(static_cast<size_t>(total));
  const unsigned stamp = scratch.stamp;
  OpenQueue open(lab, scratch.heap);
  lab[s] = {0.0, -1, kDone, stamp};
  open.push({0.0, src, s});
  size_t reached = 1;

  auto relax = [&](int from, double d, const Arc& a) {
    const double nd = d + a.weight;
    Label& to = lab[a.to];
    if (to.stamp != stamp) {
      to.dist = nd;
      to.pred = from;
      to.stamp = stamp;
      ++reached;
      open.push({nd, a.toId, a.to});
    } else if (to.dist > nd) {
      // Weights are positive, so a vertex already taken cannot improve.
      to.dist = nd;
      to.pred = from;
      if (to.pos >= 0) open.lower({nd, a.toId, a.to});
    }
  };

  const Arc* const arcs = c->arcs.data();
  const int* const first = c->first.data();
  while (!open.empty()) {
    const QueueEntry e = open.pop();
    lab[e.slot()].pos = kDone;
    // The target's label is final once it is taken; only a caller that
    // wants every label needs the rest of the search.
    const int u = e.slot();
    if (u == t && !labels) break;
    const double d = e.dist();
    const std::vector<Arc>* more = nullptr;
    if (!extraOut.empty()) {
      auto it = extraOut.find(u);
      if (it != extraOut.end()) more = &it->second;
    }
    if (u < n) {
      const Arc* const end = arcs + first[u + 1];
      for (const Arc* a = arcs + first[u]; a != end; ++a) {
        if (more && std::any_of(more->begin(), more->end(), [a](const Arc& x) { return x.to == a->to; }))
          continue;  // re-weighted by an extra edge
        relax(u, d, *a);
      }
    }
    if (more)
      for (const Arc& a : *more) relax(u, d, a);
  }

  auto labelled = [&](int slot) { return lab[slot].stamp == stamp; };
  const bool reachable = labelled(t);
  if (path) {
    path->clear();
    if (!reachable) return -1.0;
    for (int cur = t; cur >= 0; cur = lab[cur].pred) path->push_back(idOf(cur));
    std::reverse(path->begin(), path->end());
  }
  if (labels) {
    // Stored slots run in id order; extra ones are merged in by the sort.
    std::vector<std::pair<int, int>> order;  // (id, slot) of every labelled vertex
    order.reserve(reached);
    for (int i = 0; i < total; ++i)
      if (labelled(i)) order.emplace_back(idOf(i), i);
    if (!extraIds.empty()) std::sort(order.begin(), order.end());
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
