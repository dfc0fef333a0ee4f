// The kernel sums of a floor's Gaussian processes at particle positions:
// per key over its grid, and for blocks of keys at several positions at
// once, in vector registers as wide as the processor has.
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

using namespace gp_internal;

namespace {

// Four doubles at a time: one AVX register where the processor has it (the
// kernel runs are built twice and picked at start-up), two SSE2 registers
// elsewhere. Only inlined code passes these, so their ABI does not matter
// (the compiler's note on it comes at the end of the file, hence file-wide).
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double Double4 __attribute__((vector_size(32)));
typedef long long Int4 __attribute__((vector_size(32)));

// exp of four arguments at most 0, within an ulp or two of std::exp: 2^n
// times the degree-13 Taylor polynomial on |r| <= ln2 / 2 (truncation below
// 1e-17 relative). Arguments under -708 give exp(-708), about 3e-308: such
// terms stay far below any coefficient's resolution.
inline __attribute__((always_inline)) Double4 Exp4(Double4 x) {
  const Double4 lo = {-708.0, -708.0, -708.0, -708.0};
  x = x < lo ? lo : x;
  // Adding 1.5 * 2^52 rounds to an integer that then sits in the low bits.
  const double magic = 6755399441055744.0;
  const Double4 t = x * 1.4426950408889634074 + magic;
  const Double4 n = t - magic;
  // ln 2 split so n * hi is exact.
  Double4 r = x - n * 6.93145751953125e-1;
  r = r - n * 1.42860682030941723212e-6;
  // Estrin's scheme: short dependency chains, so neighbouring calls overlap.
  const Double4 r2 = r * r, r4 = r2 * r2, r8 = r4 * r4;
  const Double4 p01 = 1.0 + r, p23 = 0.5 + r * (1.0 / 6.0);
  const Double4 p45 = 1.0 / 24.0 + r * (1.0 / 120.0), p67 = 1.0 / 720.0 + r * (1.0 / 5040.0);
  const Double4 p89 = 1.0 / 40320.0 + r * (1.0 / 362880.0);
  const Double4 p1011 = 1.0 / 3628800.0 + r * (1.0 / 39916800.0);
  const Double4 p1213 = 1.0 / 479001600.0 + r * (1.0 / 6227020800.0);
  const Double4 q0 = p01 + r2 * p23, q1 = p45 + r2 * p67, q2 = p89 + r2 * p1011;
  const Double4 p = (q0 + r4 * q1) + r8 * (q2 + r4 * p1213);
  const Int4 magicBits = (Int4)(Double4{magic, magic, magic, magic});
  const Int4 scale = (((Int4)t - magicBits) + 1023) << 52;
  return p * (Double4)scale;
}

// The sum of a[i] * exp(-((px[i] - x)^2 + (py[i] - y)^2) / c) over [s, e).
inline __attribute__((always_inline)) double KernelRunBody(const double* px, const double* py,
                                                           const double* a, int s, int e,
                                                           double x, double y, double c) {
  Double4 acc0 = {0.0, 0.0, 0.0, 0.0}, acc1 = {0.0, 0.0, 0.0, 0.0};
  int i = s;
  // Two independent quadruples per step keep both multiply pipelines busy.
  for (; i + 8 <= e; i += 8) {
    Double4 vx0, vy0, va0, vx1, vy1, va1;
    std::memcpy(&vx0, px + i, sizeof vx0);
    std::memcpy(&vy0, py + i, sizeof vy0);
    std::memcpy(&va0, a + i, sizeof va0);
    std::memcpy(&vx1, px + i + 4, sizeof vx1);
    std::memcpy(&vy1, py + i + 4, sizeof vy1);
    std::memcpy(&va1, a + i + 4, sizeof va1);
    const Double4 dx0 = vx0 - x, dy0 = vy0 - y, dx1 = vx1 - x, dy1 = vy1 - y;
    acc0 += va0 * Exp4(-(dx0 * dx0 + dy0 * dy0) / c);
    acc1 += va1 * Exp4(-(dx1 * dx1 + dy1 * dy1) / c);
  }
  const Double4 acc = acc0 + acc1;
  double sum = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  for (; i < e; ++i) {
    sum += a[i] * std::exp(-((px[i] - x) * (px[i] - x) + (py[i] - y) * (py[i] - y)) / c);
  }
  return sum;
}

__attribute__((target("arch=x86-64-v3"))) double KernelRunWide(const double* px, const double* py,
                                                              const double* a, int s, int e,
                                                              double x, double y, double c) {
  return KernelRunBody(px, py, a, s, e, x, y, c);
}

double KernelRunPlain(const double* px, const double* py, const double* a, int s, int e,
                      double x, double y, double c) {
  return KernelRunBody(px, py, a, s, e, x, y, c);
}

// Whether the CPU runs the x86-64-v3 builds below. Asked on first use rather
// than by a loader-time resolver: such a resolver runs before a sanitizer's
// runtime is set up and crashes it.
bool WideVectors() {
  static const bool wide = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return wide;
}

double KernelRun(const double* px, const double* py, const double* a, int s, int e, double x,
                 double y, double c) {
  using Run = double (*)(const double*, const double*, const double*, int, int, double, double,
                         double);
  static const Run run = WideVectors() ? &KernelRunWide : &KernelRunPlain;
  return run(px, py, a, s, e, x, y, c);
}

// exp(-(v[i] - at)^2 / c) for i < n, four at a time.
inline __attribute__((always_inline)) void AxisExpBody(const double* v, int n, double at, double c,
                                                       double* out) {
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    Double4 d;
    std::memcpy(&d, v + i, sizeof d);
    d -= at;
    const Double4 e = Exp4(-(d * d) / c);
    std::memcpy(out + i, &e, sizeof e);
  }
  if (i < n) {
    Double4 d = {at, at, at, at};
    for (int j = 0; i + j < n; ++j) d[j] = v[i + j];
    d -= at;
    const Double4 e = Exp4(-(d * d) / c);
    for (int j = 0; i + j < n; ++j) out[i + j] = e[j];
  }
}

__attribute__((target("arch=x86-64-v3"))) void AxisExpWide(const double* v, int n, double at,
                                                           double c, double* out) {
  AxisExpBody(v, n, at, c, out);
}

void AxisExpPlain(const double* v, int n, double at, double c, double* out) {
  AxisExpBody(v, n, at, c, out);
}

void AxisExp(const double* v, int n, double at, double c, double* out) {
  using Fn = void (*)(const double*, int, double, double, double*);
  static const Fn fn = WideVectors() ? &AxisExpWide : &AxisExpPlain;
  fn(v, n, at, c, out);
}

// Natural log of four positive normal doubles, within an ulp of std::log:
// x = 2^e m with m in [sqrt(1/2), sqrt(2)), f = m - 1 (exact), s = f / (2 +
// f), and log(m) = 2 atanh(s), whose series in s^2 <= 0.0295 is cut after
// the s^21 term (truncation below 1e-18 relative). ln 2 is split so e times
// its high part is exact.
inline __attribute__((always_inline)) Double4 Log4(Double4 x) {
  const Int4 bits = (Int4)x;
  Int4 e = (bits >> 52) - 1023;
  Double4 m = (Double4)((bits & 0x000fffffffffffffLL) | 0x3ff0000000000000LL);
  const Int4 big = m > 1.41421356237309504880;  // -1 where true
  m = big ? m * 0.5 : m;
  e -= big;
  const Double4 k = __builtin_convertvector(e, Double4);
  const Double4 f = m - 1.0;
  const Double4 s = f / (2.0 + f);
  const Double4 z = s * s;
  const Double4 hfsq = 0.5 * f * f;
  const double last = 2.0 / 21.0;
  Double4 r = {last, last, last, last};
  r = 2.0 / 19.0 + z * r;
  r = 2.0 / 17.0 + z * r;
  r = 2.0 / 15.0 + z * r;
  r = 2.0 / 13.0 + z * r;
  r = 2.0 / 11.0 + z * r;
  r = 2.0 / 9.0 + z * r;
  r = 2.0 / 7.0 + z * r;
  r = 2.0 / 5.0 + z * r;
  r = 2.0 / 3.0 + z * r;
  r = z * r;
  const double ln2Hi = 6.93147180369123816490e-01, ln2Lo = 1.90821492927058770002e-10;
  return k * ln2Hi - ((hfsq - (s * (hfsq + r) + k * ln2Lo)) - f);
}

// out[i] = std::log(v[i]) for i < n, to within an ulp; four at a time where
// every value is a positive normal double, std::log itself elsewhere.
inline __attribute__((always_inline)) void LogsBody(const double* v, int n, double* out) {
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    Double4 d;
    std::memcpy(&d, v + i, sizeof d);
    const Double4 l = Log4(d);
    std::memcpy(out + i, &l, sizeof l);
  }
  if (i < n) {
    Double4 d = {1.0, 1.0, 1.0, 1.0};
    for (int j = 0; i + j < n; ++j) d[j] = v[i + j];
    const Double4 l = Log4(d);
    for (int j = 0; i + j < n; ++j) out[i + j] = l[j];
  }
  for (i = 0; i < n; ++i) {
    if (!(v[i] >= std::numeric_limits<double>::min() && v[i] <= std::numeric_limits<double>::max())) {
      out[i] = std::log(v[i]);
    }
  }
}

__attribute__((target("arch=x86-64-v3"))) void LogsWide(const double* v, int n, double* out) {
  LogsBody(v, n, out);
}

void LogsPlain(const double* v, int n, double* out) { LogsBody(v, n, out); }

}  // namespace


// (Outside the anonymous namespace so tests can hold it to std::log.)
void gp_detail::Logs(const double* v, int n, double* out) {
  using Fn = void (*)(const double*, int, double*);
  static const Fn fn = WideVectors() ? &LogsWide : &LogsPlain;
  fn(v, n, out);
}

namespace {

using gp_detail::BlockRow;

// Eight doubles at a time, where the processor has 512-bit vectors.
typedef double Double8 __attribute__((vector_size(64)));

// Sums L * NV keys at P positions at once (L doubles to a vector V): out[q *
// L NV + j] is the sum over the rows' points p of ex[(q0 + q) * exStride +
// col[p] - u0] * ey[q0 + q] * coef[p * L NV + j]. The positions share every
// load of the coefficients, which is what bounds this loop. At two or more
// positions each key's terms are added in the same order whatever the
// vector width and however the positions are split among passes, so every
// width gives the same sums there.
template <typename V, int NV, int P>
inline __attribute__((always_inline)) void BlockBody(const BlockRow* row, const BlockRow* end,
                                                     const int* col, const double* ex,
                                                     int exStride, int u0, const double* coef,
                                                     double* out, int q0) {
  constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));
  constexpr int kWidth = kLanes * NV;
  // Few keys leave the multiply pipelines idle between dependent adds: for
  // one position, two points at a time then, into separate accumulators.
  // (Up to 16 keys, whatever the vector width.)
  constexpr int kSets = P == 1 && kWidth <= 16 ? 2 : P;
  V acc[kSets][NV] = {};
  if constexpr (P >= 2) {
    const double* exq[P];
    for (int q = 0; q < P; ++q) exq[q] = ex + static_cast<size_t>(q0 + q) * exStride - u0;
    for (; row != end; ++row) {
      double ey[P];
#pragma GCC unroll 4
      for (int q = 0; q < P; ++q) ey[q] = row->ey[q0 + q];
      for (int p = row->begin; p < row->end; ++p) {
        const int u = col[p];
        double w[P];
#pragma GCC unroll 4
        for (int q = 0; q < P; ++q) w[q] = exq[q][u] * ey[q];
        const double* c = coef + static_cast<size_t>(p) * kWidth;
#pragma GCC unroll 8
        for (int j = 0; j < NV; ++j) {
          V v;
          std::memcpy(&v, c + kLanes * j, sizeof v);
#pragma GCC unroll 4
          for (int q = 0; q < P; ++q) acc[q][j] += w[q] * v;
        }
      }
    }
#pragma GCC unroll 4
    for (int q = 0; q < P; ++q) {
#pragma GCC unroll 8
      for (int j = 0; j < NV; ++j) std::memcpy(out + q * kWidth + kLanes * j, &acc[q][j], sizeof(V));
    }
  } else {
    ex += static_cast<size_t>(q0) * exStride;
    for (; row != end; ++row) {
      int p = row->begin;
      const double ey = row->ey[q0];
      for (; p + kSets <= row->end; p += kSets) {
#pragma GCC unroll 2
        for (int s = 0; s < kSets; ++s) {
          const double w = ex[col[p + s] - u0] * ey;
          const double* c = coef + static_cast<size_t>(p + s) * kWidth;
#pragma GCC unroll 8
          for (int j = 0; j < NV; ++j) {
            V v;
            std::memcpy(&v, c + kLanes * j, sizeof v);
            acc[s][j] += w * v;
          }
        }
      }
      if (kSets > 1 && p < row->end) {
        const double w = ex[col[p] - u0] * ey;
        const double* c = coef + static_cast<size_t>(p) * kWidth;
#pragma GCC unroll 8
        for (int j = 0; j < NV; ++j) {
          V v;
          std::memcpy(&v, c + kLanes * j, sizeof v);
          acc[0][j] += w * v;
        }
      }
    }
#pragma GCC unroll 8
    for (int j = 0; j < NV; ++j) {
      V a = acc[0][j];
      for (int s = 1; s < kSets; ++s) a += acc[s][j];
      std::memcpy(out + kLanes * j, &a, sizeof a);
    }
  }
}

using BlockFn = void (*)(const BlockRow*, const BlockRow*, const int*, const double*, int, int,
                         const double*, double*, int);

template <int NV, int P>
__attribute__((target("arch=x86-64-v4"))) void BlockWidest(const BlockRow* row,
                                                           const BlockRow* end, const int* col,
                                                           const double* ex, int exStride,
                                                           int u0, const double* coef,
                                                           double* out, int q0) {
  BlockBody<Double8, NV, P>(row, end, col, ex, exStride, u0, coef, out, q0);
}

template <int NV, int P>
__attribute__((target("arch=x86-64-v3"))) void BlockWide(const BlockRow* row, const BlockRow* end,
                                                         const int* col, const double* ex,
                                                         int exStride, int u0, const double* coef,
                                                         double* out, int q0) {
  BlockBody<Double4, NV, P>(row, end, col, ex, exStride, u0, coef, out, q0);
}

template <int NV, int P>
void BlockPlain(const BlockRow* row, const BlockRow* end, const int* col, const double* ex,
                int exStride, int u0, const double* coef, double* out, int q0) {
  BlockBody<Double4, NV, P>(row, end, col, ex, exStride, u0, coef, out, q0);
}

// Whether the CPU runs the x86-64-v4 build of the block sums (asked once,
// like WideVectors).
bool WidestVectors() {
  static const bool widest = [] {
    __builtin_cpu_init();
    return WideVectors() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512cd");
  }();
  return widest;
}

// Doubles to one vector of the block sums on this CPU: one pass then covers
// twice the keys with 512-bit vectors, sharing the rows' loads among more.
int BlockLanes() {
  static const int lanes = WidestVectors() ? 8 : 4;
  return lanes;
}

// At most this many vectors of keys are summed in one pass: the accumulators
// of two positions fill the vector registers (16 of 256 bits, 32 of 512).
constexpr int kMaxBlockVectors = 6;

// The block sum of `positions` positions in one pass: up to four with
// 512-bit vectors, whose 32 registers hold the accumulators of four; up to
// two otherwise (the caller splits more into passes of two).
BlockFn BlockSum(int vectors, int positions, int lanes) {
#define MV_BLOCK_TABLE(F, P) \
  {&F<1, P>, &F<2, P>, &F<3, P>, &F<4, P>, &F<5, P>, &F<6, P>}
  static const BlockFn widest[4][kMaxBlockVectors] = {
      MV_BLOCK_TABLE(BlockWidest, 1), MV_BLOCK_TABLE(BlockWidest, 2),
      MV_BLOCK_TABLE(BlockWidest, 3), MV_BLOCK_TABLE(BlockWidest, 4)};
  static const BlockFn wide[2][kMaxBlockVectors] = {MV_BLOCK_TABLE(BlockWide, 1),
                                                    MV_BLOCK_TABLE(BlockWide, 2)};
  static const BlockFn plain[2][kMaxBlockVectors] = {MV_BLOCK_TABLE(BlockPlain, 1),
                                                     MV_BLOCK_TABLE(BlockPlain, 2)};
#undef MV_BLOCK_TABLE
  static const auto* const narrow = WideVectors() ? wide : plain;
  return (lanes == 8 ? widest : narrow)[positions - 1][vectors - 1];
}

// Positions one pass of the block sums takes at most.
int BlockPositions(int lanes) { return lanes == 8 ? 4 : 2; }
}  // namespace

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

void SublocationGP::prepareBlock(const std::vector<int>& keys, KeyBlock& block,
                                 int lanes) const {
  lanes = lanes == 4 ? 4 : BlockLanes();
  if (block.floor_ == this && block.keys_ == keys && block.width_ == lanes) return;
  block.floor_ = this;
  block.keys_ = keys;
  block.width_ = lanes;
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
    const size_t most = static_cast<size_t>(lanes) * kMaxBlockVectors;
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
    const int most = BlockPositions(block.width_);
    for (int q = 0; q < n;) {
      const int first = n <= most ? 0 : std::min(q, n - 2);
      const int count = n <= most ? n : 2;
      BlockSum(chunk.vectors, count, block.width_)(rows, rows + block.rows_.size(),
                                                   orderCol_.data(), block.ex_.data(), exStride,
                                                   u0, coef, block.lanes_.data() + first * width,
                                                   first);
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
