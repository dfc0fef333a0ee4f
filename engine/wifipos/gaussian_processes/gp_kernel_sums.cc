// The kernel sums of a floor's Gaussian processes at particle positions:
// per key over its grid, and for blocks of keys at several positions at
// once (the vector loops are in gp_vector_sums.cc).
#include "wifipos/gaussian_processes/gp_methods.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "wifipos/gaussian_processes/gp_internal.h"
#include "wifipos/gaussian_processes/gp_vector_sums.h"

using namespace gp_internal;

using gp_detail::BlockRow;
using gp_vector::AxisExp;
using gp_vector::KernelRun;

double SublocationGP::kernelSum(int k, double x, double y) const {
  KeyBlock block;
  prepareBlock({k}, block);
  double sum = 0.0;
  kernelSums(block, x, y, &sum);
  return sum;
}

double SublocationGP::cutoff(const KeyKernel& kk) const {
  return std::sqrt(kk.radius2) * (1.0 + 1e-9) + 1e-9;
}

int SublocationGP::rowPoint(int v, int u) const {
  if (!rowPoints_.empty()) return rowPoints_[static_cast<size_t>(v) * (ux_.size() + 1) + u];
  const int* col = orderCol_.data();
  return static_cast<int>(std::lower_bound(col + rowBegin_[v], col + rowBegin_[v + 1], u) - col);
}

// Monotone in v, so every x value in a bucket before v's is below v.
int SublocationGP::xBucketOf(double v) const {
  const double b = std::floor((v - xOrigin_) * xScale_);
  if (!(b > 0.0)) return 0;
  const double last = static_cast<double>(xBucket_.size()) - 1.0;
  return static_cast<int>(b < last ? b : last);
}

void SublocationGP::prepareBlock(const std::vector<int>& keys, KeyBlock& block) const {
  const gp_vector::Shape shape = gp_vector::BlockShape();
  const int lanes = shape.lanes;
  if (block.floor_ == this && block.keys_ == keys && block.width_ == lanes) return;
  block.floor_ = this;
  block.keys_ = keys;
  block.width_ = lanes;
  block.positions_ = shape.positions;
  block.chunks_.clear();
  block.alone_.clear();
  const int nKernels = static_cast<int>(kernels_.size());
  const size_t nPoints = orderCol_.size();
  for (int g = 0; g < static_cast<int>(groups_.size()); ++g) {
    std::vector<int> slots;
    for (int i = 0; i < static_cast<int>(keys.size()); ++i) {
      const int k = keys[i];
      if (k >= 0 && k < nKernels && !kernels_[k].empty && kernels_[k].group == g) slots.push_back(i);
    }
    // As few chunks as fit, of whole vectors but for the last (so no more
    // vectors than the keys need); the group's radius for all, so they
    // share rows.
    const size_t most = static_cast<size_t>(lanes) * gp_vector::kMaxBlockVectors;
    const size_t nChunks = (slots.size() + most - 1) / most;
    const size_t even = nChunks == 0 ? 0 : (slots.size() + nChunks - 1) / nChunks;
    const size_t size = (even + lanes - 1) / lanes * lanes;
    double radius = 0.0;
    for (const int i : slots) radius = std::max(radius, cutoff(kernels_[keys[i]]));
    for (size_t first = 0; first < slots.size(); first += size) {
      KeyBlock::Chunk chunk;
      chunk.group = g;
      chunk.radius = radius;
      chunk.slots.assign(slots.begin() + first,
                         slots.begin() + std::min(slots.size(), first + size));
      chunk.vectors = static_cast<int>((chunk.slots.size() + lanes - 1) / lanes);
      const size_t width = static_cast<size_t>(lanes) * chunk.vectors;
      // Point by point, the coefficients of every key of the chunk (0 where
      // a key has none).
      // A point's coefficients start on a cache line.
      chunk.coef.assign(nPoints * width + 8, 0.0);
      const auto address = reinterpret_cast<uintptr_t>(chunk.coef.data());
      chunk.offset = static_cast<int>((64 - address % 64) % 64 / sizeof(double));
      double* coef = chunk.coef.data() + chunk.offset;
      for (size_t j = 0; j < chunk.slots.size(); ++j) {
        const KeyKernel& kk = kernels_[keys[chunk.slots[j]]];
        for (size_t i = 0; i < kk.at.size(); ++i) coef[kk.at[i] * width + j] = kk.alpha[i];
      }
      block.chunks_.push_back(std::move(chunk));
    }
  }
  for (int i = 0; i < static_cast<int>(keys.size()); ++i) {
    const int k = keys[i];
    if (k >= 0 && k < nKernels && !kernels_[k].empty && kernels_[k].group < 0) {
      block.alone_.push_back(i);
    }
  }
}

// The rows of points within radius of any of the n positions, each cut to
// the points within the radius of one of them, into block.rows_; the x
// factors of every position for the distinct x values from u0 on into
// block.ex_, one position after the other, exStride apart.
void SublocationGP::chunkRows(KeyBlock& block, const AxisGroup& g, double radius, int n,
                              const double* x, const double* y, int& u0, int& exStride) const {
  block.rows_.clear();
  const double xMin = *std::min_element(x, x + n), xMax = *std::max_element(x, x + n);
  const double yMin = *std::min_element(y, y + n), yMax = *std::max_element(y, y + n);
  u0 = static_cast<int>(std::lower_bound(ux_.begin(), ux_.end(), xMin - radius) - ux_.begin());
  const int u1 = static_cast<int>(std::upper_bound(ux_.begin(), ux_.end(), xMax + radius) - ux_.begin());
  const int v0 = static_cast<int>(std::lower_bound(uy_.begin(), uy_.end(), yMin - radius) - uy_.begin());
  const int v1 = static_cast<int>(std::upper_bound(uy_.begin(), uy_.end(), yMax + radius) - uy_.begin());
  exStride = u1 - u0;
  if (u0 >= u1 || v0 >= v1) return;
  const int ny = v1 - v0;
  block.ex_.resize(static_cast<size_t>(n) * exStride);
  block.ey_.resize(static_cast<size_t>(n) * ny);
  for (int q = 0; q < n; ++q) {
    AxisExp(ux_.data() + u0, exStride, x[q], g.twoEll2, block.ex_.data() + q * exStride);
    AxisExp(uy_.data() + v0, ny, y[q], g.twoEll2, block.ey_.data() + q * ny);
  }
  // Every term beyond the radius is covered by the cut-off bound, so each
  // row keeps only the x values within a position's circle, widened to the
  // buckets they fall in; a row two positions share keeps the span of both.
  // (The extra terms are exact.) This runs for every position pair, so the
  // bucket and row lookups are spelled out here on plain arrays.
  const double r2 = radius * radius;
  const double* uy = uy_.data();
  const int* bucket = xBucket_.data();
  const int nBuckets = static_cast<int>(xBucket_.size());
  const double lastBucket = static_cast<double>(nBuckets) - 1.0;
  const double origin = xOrigin_, scale = xScale_;
  const int nx = static_cast<int>(ux_.size());
  // xBucketOf, with the floor of a positive value taken by truncation.
  auto bucketOf = [&](double v) {
    const double t = (v - origin) * scale;
    if (!(t > 0.0)) return 0;
    return static_cast<int>(t < lastBucket ? t : lastBucket);
  };
  const size_t cols = static_cast<size_t>(nx) + 1;
  const int* table = rowPoints_.empty() ? nullptr : rowPoints_.data();
  auto pointAt = [&](int v, int u) { return table ? table[v * cols + u] : rowPoint(v, u); };
  block.rows_.resize(ny);
  BlockRow* out = block.rows_.data();
  const double* ey = block.ey_.data();
  for (int v = v0; v < v1; ++v) {
    int a = u1, b = u0;
    for (int q = 0; q < n; ++q) {
      const double dy = uy[v] - y[q];
      const double rem = r2 - dy * dy;
      if (rem < 0.0) continue;
      const double half = std::sqrt(rem);
      const int below = bucket[bucketOf(x[q] - half)];
      const int next = bucketOf(x[q] + half) + 1;
      const int beyond = next < nBuckets ? bucket[next] : nx;
      a = std::min(a, std::max(u0, below));
      b = std::max(b, std::min(u1, beyond));
    }
    if (a >= b) continue;
    const int begin = pointAt(v, a), end = pointAt(v, b);
    if (begin >= end) continue;
    BlockRow& r = *out++;
    r = BlockRow{begin, end, {}};
    for (int q = 0; q < n; ++q) r.ey[q] = ey[q * ny + v - v0];
  }
  block.rows_.resize(out - block.rows_.data());
}

void SublocationGP::kernelSums(KeyBlock& block, double x, double y, double* sums) const {
  sumsAt(block, 1, &x, &y, &sums);
}

void SublocationGP::kernelSums(KeyBlock& block, double x0, double y0, double x1, double y1,
                               double* sums0, double* sums1) const {
  const double x[2] = {x0, x1}, y[2] = {y0, y1};
  double* sums[2] = {sums0, sums1};
  kernelSums(block, 2, x, y, sums);
}

void SublocationGP::kernelSums(KeyBlock& block, int n, const double* x, const double* y,
                               double* const* sums) const {
  if (n <= 0) return;
  if (n > kMaxPositions) {
    kernelSums(block, kMaxPositions, x, y, sums);
    kernelSums(block, n - kMaxPositions, x + kMaxPositions, y + kMaxPositions,
               sums + kMaxPositions);
    return;
  }
  // Far apart, the rows of one would mostly be extra work for the others:
  // such positions are summed in pairs of neighbours, or alone.
  const double xMin = *std::min_element(x, x + n), xMax = *std::max_element(x, x + n);
  const double yMin = *std::min_element(y, y + n), yMax = *std::max_element(y, y + n);
  // (sumsAt gives a position that is not finite NaN sums and nothing else,
  // so such a position always goes alone.)
  bool finite = true;
  for (int q = 0; q < n; ++q) finite = finite && std::isfinite(x[q]) && std::isfinite(y[q]);
  if (n == 1 || (finite && xMax - xMin < 4.0 && yMax - yMin < 4.0)) {
    sumsAt(block, n, x, y, sums);
    return;
  }
  for (int q = 0; q < n;) {
    const bool pair = q + 1 < n && std::fabs(x[q] - x[q + 1]) < 4.0 && std::fabs(y[q] - y[q + 1]) < 4.0;
    sumsAt(block, pair ? 2 : 1, x + q, y + q, sums + q);
    q += pair ? 2 : 1;
  }
}

void SublocationGP::sumsAt(KeyBlock& block, int n, const double* x, const double* y,
                           double* const* sums) const {
  const std::vector<int>& keys = block.keys_;
  const int nKernels = static_cast<int>(kernels_.size());
  bool finite = true;
  for (int q = 0; q < n; ++q) {
    const bool here = std::isfinite(x[q]) && std::isfinite(y[q]);
    for (size_t i = 0; i < keys.size(); ++i) {
      const int k = keys[i];
      const bool nothing = k < 0 || k >= nKernels || kernels_[k].empty;
      sums[q][i] = nothing || here ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    }
    finite = finite && here;
  }
  // (A position that is not finite is never paired.)
  if (!finite || block.floor_ != this) return;
  // The block was laid out for vectors of another width (the instruction
  // sets allowed have changed since).
  if (block.width_ != gp_vector::BlockShape().lanes) {
    const std::vector<int> again = block.keys_;
    block.forget();
    prepareBlock(again, block);
  }
  const KeyBlock::Chunk* last = nullptr;
  int u0 = 0, exStride = 0;
  for (const KeyBlock::Chunk& chunk : block.chunks_) {
    // Chunks of one length scale share their rows.
    if (last == nullptr || last->group != chunk.group || last->radius != chunk.radius) {
      chunkRows(block, groups_[chunk.group], chunk.radius, n, x, y, u0, exStride);
    }
    last = &chunk;
    const size_t width = static_cast<size_t>(block.width_) * chunk.vectors;
    block.lanes_.resize(n * width);
    const BlockRow* rows = block.rows_.data();
    const double* coef = chunk.coef.data() + chunk.offset;
    // Where a pass takes fewer positions, passes of two; the last of an odd
    // count goes again with the one before it, so that it is summed as a
    // pair like the others (and the one before gets the same sums again).
    const int most = block.positions_;
    for (int q = 0; q < n;) {
      const int first = n <= most ? 0 : std::min(q, n - 2);
      const int count = n <= most ? n : 2;
      gp_vector::BlockSum(chunk.vectors, count, rows, rows + block.rows_.size(), orderCol_.data(),
                          block.ex_.data(), exStride, u0, coef,
                          block.lanes_.data() + first * width, first);
      q = first + count;
    }
    for (int q = 0; q < n; ++q) {
      for (size_t j = 0; j < chunk.slots.size(); ++j) {
        sums[q][chunk.slots[j]] = block.lanes_[q * width + j];
      }
    }
  }
  for (const int i : block.alone_) {
    for (int q = 0; q < n; ++q) sums[q][i] = gridSum(kernels_[keys[i]], x[q], y[q]);
  }
}

double SublocationGP::gridSum(const KeyKernel& kk, double x, double y) const {
  // A hair of slack so a point on the radius is never lost to the rounding
  // of the cell arithmetic.
  const double radius = std::sqrt(kk.radius2) * (1.0 + 1e-9) + 1e-9;
  const double c = kk.twoEll2;
  double sum = 0.0;
  const int cy0 = CellIndex((y - radius - kk.y0) / kk.cell, kk.ny);
  const int cy1 = CellIndex((y + radius - kk.y0) / kk.cell, kk.ny);
  for (int cy = cy0; cy <= cy1; ++cy) {
    const double lo = kk.y0 + cy * kk.cell, hi = lo + kk.cell;
    const double dy = y < lo ? lo - y : (y > hi ? y - hi : 0.0);
    const double rem2 = radius * radius - dy * dy;
    if (rem2 < 0.0) continue;
    const double rx = std::sqrt(rem2);
    const int cx0 = CellIndex((x - rx - kk.x0) / kk.cell, kk.nx);
    const int cx1 = CellIndex((x + rx - kk.x0) / kk.cell, kk.nx);
    const int s = kk.start[cy * kk.nx + cx0], e = kk.start[cy * kk.nx + cx1 + 1];
    if (e <= s) continue;
    sum += KernelRun(kk.x.data(), kk.y.data(), kk.alpha.data(), s, e, x, y, c);
  }
  return sum;
}
