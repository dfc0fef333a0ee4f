#include "wifipos/gaussian_processes/gp_methods.h"

#include <Eigen/Cholesky>
#include <Eigen/Dense>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "server/utils.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFixedMean = -115.0;
constexpr double kDefaultNoise = 10.0;
// Beyond these log-likelihoods exp() leaves the range of a double.
constexpr double kLogFloor = -700.0;
constexpr double kLogCeiling = 700.0;
// A Cholesky pivot this small against its diagonal means the kernel is
// numerically singular and the coefficients would be noise.
constexpr double kPivotTolerance = 1e-10;

bool IsNotHeard(double s) { return std::fabs(s - 1.0) < 1e-6; }

double LogDistance(double dx, double dy) { return std::log(dx * dx + dy * dy + 1e-5); }

// Training and prediction parameters of one key.
struct KeyModel {
  double mu, a, b, xAp, yAp, twoEll2, signalVar, noiseVar;
};

// The fixed mode's kernel has no noise term, and survey points closer than
// its length scale make that kernel nearly singular: the coefficients then
// grow to ~1e16 with alternating signs and every prediction is rounding noise
// of several dBm that moves with the order of the sum. The kit trains it with
// the noise the key's record states (its noise variance over its signal
// variance, the ratio the full mode trains with), and never with less than
// this: with the kernel's largest eigenvalue at most the number of points
// within a length scale (~30 for a dense survey), 1e-2 keeps the condition
// number near 1e3 while shrinking only what varies from point to point by
// less than a tenth of the signal's spread, which is survey noise.
constexpr double kFixedMinNugget = 1e-2;

double FixedNugget(const GpParams& p) {
  const double ratio = p[GP_PARAM_SN] / p[GP_PARAM_SF];
  // A record without parameters (signal variance 1) says nothing of noise.
  const bool stated = std::fabs(p[GP_PARAM_SF] - 1.0) >= 1e-6 && std::isfinite(ratio) && ratio > 0.0;
  return stated ? std::max(ratio, kFixedMinNugget) : kFixedMinNugget;
}

KeyModel ModelFor(const GpParams& p, bool fixed, bool kit, double ell) {
  if (fixed) {
    return {kFixedMean,       0.0, 0.0, p[GP_PARAM_X_AP], p[GP_PARAM_Y_AP], 2.0 * ell * ell, 1.0,
            kit ? FixedNugget(p) : 0.0};
  }
  return {p[GP_PARAM_MU], p[GP_PARAM_A],  p[GP_PARAM_B],  p[GP_PARAM_X_AP],
          p[GP_PARAM_Y_AP], p[GP_PARAM_ELL], p[GP_PARAM_SF], p[GP_PARAM_SN]};
}

bool AllFinite(const Eigen::VectorXd& v) { return v.allFinite(); }

// Solves K alpha = r for a symmetric kernel, adding diagonal jitter while the
// factorisation fails or is numerically singular. False when nothing works.
bool SolveKernel(const Eigen::MatrixXd& k, const Eigen::VectorXd& r, Eigen::VectorXd& alpha) {
  const double scale = std::max(1.0, k.diagonal().cwiseAbs().maxCoeff());
  double jitter = 0.0;
  for (int attempt = 0; attempt < 6; ++attempt) {
    Eigen::MatrixXd kj = k;
    if (jitter > 0.0) kj.diagonal().array() += jitter;
    Eigen::LLT<Eigen::MatrixXd> llt(kj);
    if (llt.info() == Eigen::Success) {
      const auto l = llt.matrixLLT().diagonal();
      double worst = std::numeric_limits<double>::infinity();
      for (int i = 0; i < l.size(); ++i) worst = std::min(worst, l[i] * l[i] / kj(i, i));
      if (worst > kPivotTolerance) {
        alpha = llt.solve(r);
        if (AllFinite(alpha)) return true;
      }
    }
    jitter = jitter == 0.0 ? 1e-10 * scale : jitter * 100.0;
  }
  return false;
}

// Index of the grid cell holding coordinate offset v (in cells), clamped to
// the grid; clamping in double keeps far or huge positions defined.
int CellIndex(double v, int n) {
  v = std::floor(v);
  if (!(v > 0.0)) return 0;
  if (v > n - 1) return n - 1;
  return static_cast<int>(v);
}

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

// A table of first points per row and x index is kept while it is at most
// this many entries per point of the floor (plus a little).
constexpr size_t kRowTablePerPoint = 16;

// At most this many cells along an axis: a key's grid stays small however
// short its cutoff radius is against the floor.
constexpr double kMaxCellsPerAxis = 256.0;

}  // namespace

// ---- SublocationGP ---------------------------------------------------------

int SublocationGP::fillGpSublocation(SublocationMap& floor, int& mode) {
  const SublocationNavProperties& props = floor.getProperties();
  a_ = props.A;
  b_ = props.B;
  ell_ = props.ell;
  beacons_ = floor.getBeacons();
  params_ = std::as_const(floor).getGpParams();
  if (mode == 122) return 0;
  keys_ = std::as_const(floor).getUniqueApsBssid();
  fillRadioMap(floor);
  fillReferencePoints(floor);
  return 0;
}

int SublocationGP::fillRadioMap(SublocationMap& floor) {
  nPoints_ = static_cast<int>(floor.getNRp());
  nKeys_ = static_cast<int>(std::as_const(floor).getUniqueApsBssid().size());
  signals_.assign(nKeys_, std::vector<double>(nPoints_, 1.0));
  if (nPoints_ == 0 || nKeys_ == 0) {
    MV_LOG(11, "No Reference points or Access points for sublocation\n");
    return 4;
  }
  // The key list is the sorted list of the radio map's distinct keys, so a
  // key's row is its place in that list.
  std::unordered_map<std::string, int> row;
  const std::vector<std::string>& keys = std::as_const(floor).getUniqueApsBssid();
  for (int k = 0; k < nKeys_; ++k) row.emplace(keys[k], k);
  for (const auto& [key, entry] : std::as_const(floor).getRadioMap()) {
    auto it = row.find(key);
    const int point = entry.getRefPointIndex();
    if (it == row.end() || point < 0 || point >= nPoints_) continue;
    signals_[it->second][point] = entry.getRssi();
  }
  return 0;
}

int SublocationGP::fillReferencePoints(SublocationMap& floor) {
  points_.clear();
  for (const ReferencePoint& rp : std::as_const(floor).getReferencePoints()) {
    points_.emplace_back(rp.getX(), rp.getY());
  }
  return 0;
}

int SublocationGP::fillGpSublocation2(int& mode) {
  if (mode == 122) return 0;
  transformCovarianceParameters();
  calculateAdditionalVariables(mode);
  return 0;
}

int SublocationGP::transformCovarianceParameters() {
  if (static_cast<int>(params_.size()) < nKeys_) params_.resize(nKeys_, GpParams{});
  for (GpParams& p : params_) {
    p[GP_PARAM_SF] = std::exp(p[GP_PARAM_SF]) * std::exp(p[GP_PARAM_SF]);
    p[GP_PARAM_SN] = std::exp(p[GP_PARAM_SN]) * std::exp(p[GP_PARAM_SN]);
    p[GP_PARAM_ELL] = 2.0 * std::exp(p[GP_PARAM_ELL]) * std::exp(p[GP_PARAM_ELL]);
  }
  return 0;
}

int SublocationGP::calculateAdditionalVariables(int& mode) {
  const bool fixed = mode == 123;
  if (static_cast<int>(params_.size()) < nKeys_) params_.resize(nKeys_, GpParams{});
  if (static_cast<int>(signals_.size()) < nKeys_) nKeys_ = static_cast<int>(signals_.size());
  const int nPts = std::min<int>(nPoints_, static_cast<int>(points_.size()));
  active_.assign(nKeys_, {});
  alpha_.assign(nKeys_, {});
  kernels_.assign(nKeys_, KeyKernel{});
  count_.assign(nKeys_, 0);
  usable_.assign(nKeys_, 0);
  if (fixed && !(ell_ > 0.0 && std::isfinite(ell_))) {
    MV_LOG(11, "Fixed mode length scale %f is not positive; no transmitter can be used\n", ell_);
  }
  for (int k = 0; k < nKeys_; ++k) {
    for (int i = 0; i < nPts; ++i) {
      if (signals_[k][i] != 1.0) active_[k].push_back(i);
    }
    const int c = static_cast<int>(active_[k].size());
    count_[k] = c;
    alpha_[k].assign(c, 0.0);

    const KeyModel m = ModelFor(params_[k], fixed, behaviour_.addsFixedModeNugget(), ell_);
    const double diag = m.noiseVar / m.signalVar;
    const bool finite = std::isfinite(m.mu) && std::isfinite(m.a) && std::isfinite(m.b) &&
                        std::isfinite(m.xAp) && std::isfinite(m.yAp) &&
                        std::isfinite(m.twoEll2) && m.twoEll2 > 0.0 && std::isfinite(diag);
    if (!finite) continue;
    usable_[k] = 1;
    if (c == 0) continue;

    Eigen::VectorXd r(c);
    Eigen::MatrixXd kernel(c, c);
    for (int i = 0; i < c; ++i) {
      const auto& [xi, yi] = points_[active_[k][i]];
      r[i] = signals_[k][active_[k][i]] - m.mu - m.a + m.b * LogDistance(m.xAp - xi, m.yAp - yi);
      for (int j = 0; j <= i; ++j) {
        const auto& [xj, yj] = points_[active_[k][j]];
        const double v = std::exp(-((xi - xj) * (xi - xj) + (yi - yj) * (yi - yj)) / m.twoEll2);
        kernel(i, j) = v;
        kernel(j, i) = v;
      }
      kernel(i, i) += diag;
    }
    Eigen::VectorXd alpha;
    if (r.allFinite() && SolveKernel(kernel, r, alpha)) {
      for (int i = 0; i < c; ++i) alpha_[k][i] = alpha[i];
    } else {
      MV_LOG(11, "GP training of key %s failed; its mean model is used alone\n",
             k < static_cast<int>(keys_.size()) ? keys_[k].c_str() : "?");
    }
    buildKernel(k, m.twoEll2);
  }
  buildAxisGroups();
  return 0;
}

// exp(-((xi - x)^2 + (yi - y)^2) / c) is exp(-(xi - x)^2 / c) times
// exp(-(yi - y)^2 / c). Surveys lay their points out in rows and columns, so
// a floor has far fewer distinct x and y values than points: for keys of one
// length scale, the factors of those values are computed once per position
// and every key's sum is then a multiply-add per point. A length scale is
// summed this way only where that costs fewer exponentials than the grid.
void SublocationGP::buildAxisGroups() {
  ux_.clear();
  uy_.clear();
  orderCol_.clear();
  rowBegin_.clear();
  rowPoints_.clear();
  xBucket_.clear();
  groups_.clear();
  for (KeyKernel& kk : kernels_) kk.group = -1;
  for (const auto& [x, y] : points_) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    ux_.push_back(x);
    uy_.push_back(y);
  }
  std::sort(ux_.begin(), ux_.end());
  ux_.erase(std::unique(ux_.begin(), ux_.end()), ux_.end());
  std::sort(uy_.begin(), uy_.end());
  uy_.erase(std::unique(uy_.begin(), uy_.end()), uy_.end());

  // Keys by length scale, in key order.
  std::vector<std::pair<double, std::vector<int>>> scales;
  for (int k = 0; k < static_cast<int>(kernels_.size()); ++k) {
    const KeyKernel& kk = kernels_[k];
    if (kk.empty) continue;
    auto it = std::find_if(scales.begin(), scales.end(), [&](const auto& e) {
      return std::bit_cast<uint64_t>(e.first) == std::bit_cast<uint64_t>(kk.twoEll2);
    });
    if (it == scales.end()) {
      scales.emplace_back(kk.twoEll2, std::vector<int>{});
      it = scales.end() - 1;
    }
    it->second.push_back(k);
  }
  const auto axisCost = static_cast<double>(ux_.size() + uy_.size());
  std::vector<std::pair<double, std::vector<int>>> chosen;
  for (auto& [twoEll2, keys] : scales) {
    double terms = 0.0;
    for (int k : keys) terms += static_cast<double>(kernels_[k].alpha.size());
    // A multiply-add costs about a third of an exponential.
    if (3.0 * axisCost < 2.0 * terms) chosen.emplace_back(twoEll2, std::move(keys));
  }
  if (chosen.empty()) return;

  // The floor's point order: by row, then x, then point index.
  const int n = static_cast<int>(points_.size());
  struct Placed {
    int yi, xi, point;
  };
  std::vector<Placed> placed(n);
  for (int i = 0; i < n; ++i) {
    const auto& [x, y] = points_[i];
    placed[i] = {static_cast<int>(std::lower_bound(uy_.begin(), uy_.end(), y) - uy_.begin()),
                 static_cast<int>(std::lower_bound(ux_.begin(), ux_.end(), x) - ux_.begin()), i};
  }
  std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
    return std::tie(a.yi, a.xi, a.point) < std::tie(b.yi, b.xi, b.point);
  });
  // Every distinct y is some point's, so no row is empty.
  std::vector<int> positionOf(n);
  orderCol_.resize(n);
  rowBegin_.assign(uy_.size() + 1, n);
  for (int p = n - 1; p >= 0; --p) {
    positionOf[placed[p].point] = p;
    orderCol_[p] = placed[p].xi;
    rowBegin_[placed[p].yi] = p;
  }
  for (auto& [twoEll2, keys] : chosen) {
    for (int k : keys) {
      KeyKernel& kk = kernels_[k];
      const std::vector<int>& act = active_[k];
      const std::vector<double>& coef = alpha_[k];
      std::vector<std::pair<int, double>> at;  // floor position, coefficient
      for (size_t i = 0; i < std::min(act.size(), coef.size()); ++i) {
        if (coef[i] == 0.0) continue;  // adds exactly nothing
        at.emplace_back(positionOf[act[i]], coef[i]);
      }
      std::sort(at.begin(), at.end());
      kk.group = static_cast<int>(groups_.size());
      kk.x = {};
      kk.y = {};
      kk.start = {};
      kk.alpha.clear();
      kk.at.clear();
      for (const auto& [p, a] : at) {
        kk.at.push_back(p);
        kk.alpha.push_back(a);
      }
      kk.alpha.shrink_to_fit();
    }
    groups_.push_back(AxisGroup{twoEll2});
  }
  const int nx = static_cast<int>(ux_.size());
  const int buckets = 4 * nx;
  const double span = ux_.back() - ux_.front();
  xOrigin_ = ux_.front();
  xScale_ = span > 0.0 && std::isfinite(buckets / span) ? buckets / span : 0.0;
  xBucket_.assign(buckets, nx);
  for (int u = nx - 1; u >= 0; --u) {
    for (int i = xBucketOf(ux_[u]); i >= 0 && xBucket_[i] > u; --i) xBucket_[i] = u;
  }
  // rowPoint as a table, when that is small against the floor.
  const size_t cols = ux_.size() + 1;
  if (uy_.size() * cols <= kRowTablePerPoint * static_cast<size_t>(n) + 4096) {
    rowPoints_.resize(uy_.size() * cols);
    for (size_t v = 0; v < uy_.size(); ++v) {
      int p = rowBegin_[v];
      for (size_t u = 0; u < cols; ++u) {
        while (p < rowBegin_[v + 1] && orderCol_[p] < static_cast<int>(u)) ++p;
        rowPoints_[v * cols + u] = p;
      }
    }
  }
}

void SublocationGP::buildKernel(int k, double twoEll2) {
  KeyKernel& kk = kernels_[k];
  kk = KeyKernel{};
  kk.twoEll2 = twoEll2;
  const std::vector<int>& act = active_[k];
  const std::vector<double>& alpha = alpha_[k];
  const size_t c = std::min(act.size(), alpha.size());
  double sumAbs = 0.0;
  for (size_t i = 0; i < c; ++i) sumAbs += std::fabs(alpha[i]);
  // Every kernel value is at most 1, so the whole sum is within sumAbs of 0.
  if (c == 0 || !(sumAbs > kNeglectedBound)) return;
  kk.empty = false;
  // A term at squared distance d2 >= radius2 is at most |alpha_i| *
  // exp(-radius2 / twoEll2) = |alpha_i| * kNeglectedBound / sumAbs, so all the
  // terms left out add up to at most kNeglectedBound.
  kk.radius2 = twoEll2 * std::log(sumAbs / kNeglectedBound);
  if (!std::isfinite(kk.radius2)) kk.radius2 = std::numeric_limits<double>::infinity();

  double minX = std::numeric_limits<double>::infinity(), maxX = -minX;
  double minY = minX, maxY = -minX;
  for (size_t i = 0; i < c; ++i) {
    const auto& [x, y] = points_[act[i]];
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
  }
  const double extent = std::max(maxX - minX, maxY - minY);
  // Cells of half the radius: the visited runs stay close to the circle.
  double cell = std::max(0.5 * std::sqrt(kk.radius2), extent / kMaxCellsPerAxis);
  if (!std::isfinite(cell) || !(cell > 0.0)) cell = std::max(extent, 1.0);
  if (!std::isfinite(cell)) cell = 1.0;
  kk.x0 = minX;
  kk.y0 = minY;
  kk.cell = cell;
  kk.nx = CellIndex((maxX - minX) / cell, static_cast<int>(kMaxCellsPerAxis) + 1) + 1;
  kk.ny = CellIndex((maxY - minY) / cell, static_cast<int>(kMaxCellsPerAxis) + 1) + 1;

  // Counting sort by cell; points keep their order inside a cell.
  std::vector<int> cellOf(c);
  kk.start.assign(static_cast<size_t>(kk.nx) * kk.ny + 1, 0);
  for (size_t i = 0; i < c; ++i) {
    const auto& [x, y] = points_[act[i]];
    cellOf[i] = CellIndex((y - minY) / cell, kk.ny) * kk.nx + CellIndex((x - minX) / cell, kk.nx);
    ++kk.start[cellOf[i] + 1];
  }
  for (size_t j = 1; j < kk.start.size(); ++j) kk.start[j] += kk.start[j - 1];
  std::vector<int> next(kk.start.begin(), kk.start.end() - 1);
  kk.x.resize(c);
  kk.y.resize(c);
  kk.alpha.resize(c);
  for (size_t i = 0; i < c; ++i) {
    const int at = next[cellOf[i]]++;
    kk.x[at] = points_[act[i]].first;
    kk.y[at] = points_[act[i]].second;
    kk.alpha[at] = alpha[i];
  }
}

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

int SublocationGP::solveLinearSystem(const std::vector<double>& a, const std::vector<double>& b,
                                     std::vector<double>& x, int n) {
  if (n <= 0) return 4;
  const size_t un = static_cast<size_t>(n);
  if (a.size() < un * un || b.size() < un) return 4;
  const size_t cols = un + 1;
  std::vector<double> m(un * cols);
  for (size_t i = 0; i < un; ++i) {
    for (size_t j = 0; j < un; ++j) m[i * cols + j] = a[i * un + j];
    m[i * cols + un] = b[i];
  }
  for (size_t i = 0; i < un; ++i) {
    for (size_t j = i + 1; j < un; ++j) {
      const double aii = m[i * cols + i], aji = m[j * cols + i];
      const double rho = std::sqrt(aii * aii + aji * aji);
      if (rho == 0.0) continue;  // both zero: nothing to rotate away
      const double c = aii / rho, s = aji / rho;
      for (size_t col = i; col < cols; ++col) {
        const double ri = m[i * cols + col], rj = m[j * cols + col];
        m[i * cols + col] = c * ri + s * rj;
        m[j * cols + col] = c * rj - s * ri;
      }
    }
  }
  x.assign(un, 0.0);
  int result = 0;
  for (size_t ii = un; ii-- > 0;) {
    double sum = m[ii * cols + un];
    for (size_t k = ii + 1; k < un; ++k) sum -= m[ii * cols + k] * x[k];
    const double pivot = m[ii * cols + ii];
    if (pivot == 0.0) {
      result = 4;  // singular: this unknown stays 0
      continue;
    }
    x[ii] = sum / pivot;
    if (!std::isfinite(x[ii])) result = 4;
  }
  return result;
}

// ---- GaussianProcesses -----------------------------------------------------

int GaussianProcesses::initialize(NavigationMap& map) {
  const CommonNavProperties::GaussianProcesses& gp = map.getNavigationProperties().gaussianProcesses;
  mode_ = gp.Mode;
  meanModel_ = gp.Mean_model;
  noiseVariance_ = gp.Correction_noise;
  if (!(noiseVariance_ > 0.0) || !std::isfinite(noiseVariance_)) {
    MV_LOG(11, "GP correction noise %f is not a positive number, %f is used\n", noiseVariance_,
           kDefaultNoise);
    noiseVariance_ = kDefaultNoise;
  }
  useBeaconPower_ = gp.Use_beacon_power;
  differential_ = gp.Differention_mode;
  evaluated_.clear();
  block_.forget();
  std::vector<SublocationMap>& floors = map.getSublocationsVector();
  floors_.assign(floors.size(), SublocationGP());
  for (size_t i = 0; i < floors.size(); ++i) {
    floors_[i].setBehaviour(map.behaviour());
    floors_[i].fillGpSublocation(floors[i], mode_);
  }
  for (SublocationGP& f : floors_) f.fillGpSublocation2(mode_);
  return 0;
}

void GaussianProcesses::setParticles(const std::vector<Particle>& particles) {
  particles_ = particles;
  newWeights_.assign(particles_.size(), 1.0);
}

int GaussianProcesses::correction() {
  newWeights_.assign(particles_.size(), 1.0);
  if (floorIndex_ < 0 || floorIndex_ >= static_cast<int>(floors_.size())) {
    MV_LOG(11, "GP correction: bad sublocation index %d\n", floorIndex_);
    return 4;
  }
  const SublocationGP& floor = floors_[floorIndex_];
  std::vector<double> logWeights(particles_.size(), 0.0);
  if (mode_ != 122) {
    int visible = 0;
    for (double s : signals_) {
      if (std::isfinite(s) && s > -100.0 && s != 1.0) ++visible;
    }
    if (visible == 0) {
      MV_LOG(11, "GP CORRECTION INTERRUPTED, number of visible APs = 0\n");
      return 4;
    }
    exponent_ = 1.0 / visible;
    planEvaluation();
    fullModeCorrection(floor, logWeights);
    reuseEvaluation(logWeights);
  } else {
    if (measurements_.empty()) {
      MV_LOG(11, "GP CORRECTION INTERRUPTED, number of visible APs = 0\n");
      return 4;
    }
    exponent_ = 1.0 / static_cast<double>(measurements_.size());
    // A path-loss model costs less to evaluate than to look up: every live
    // particle is evaluated.
    todo_.clear();
    for (size_t j = 0; j < particles_.size(); ++j) {
      if (particles_[j].weight != 0.0) todo_.push_back(j);
    }
    normalModeCorrection(floor, logWeights);
    evaluations_ += todo_.size();
  }

  // Back from logs. The plain product is kept whenever it is representable;
  // otherwise one common factor brings the best particle to 1.0, which
  // leaves the particles' relative weights as they were.
  double best = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < particles_.size(); ++i) {
    if (particles_[i].weight == 0.0) continue;
    if (std::isnan(logWeights[i])) logWeights[i] = -std::numeric_limits<double>::infinity();
    best = std::max(best, logWeights[i]);
  }
  const double shift = (best < kLogFloor || best > kLogCeiling) && std::isfinite(best) ? best : 0.0;
  double sum = 0.0;
  for (size_t i = 0; i < particles_.size(); ++i) {
    if (particles_[i].weight == 0.0) continue;
    newWeights_[i] = std::exp(logWeights[i] - shift);
    sum += newWeights_[i];
  }
  if (!particles_.empty() && sum != 0.0) return 0;
  MV_LOG(11, "all new Weight in correction = 0\n");
  return 4;
}

// A particle's log-likelihood depends only on its position and the window,
// so within one window a position is evaluated once: particles copied by a
// resampling without noise, and the same cloud handed in again, reuse it.
// The reused value is the one the evaluation produced, so the weights are
// the same bit for bit.
void GaussianProcesses::planEvaluation() {
  todo_.clear();
  pending_.clear();
  for (size_t j = 0; j < particles_.size(); ++j) {
    const Particle& q = particles_[j];
    if (q.weight == 0.0) continue;
    const PositionKey key{std::bit_cast<uint64_t>(q.x), std::bit_cast<uint64_t>(q.y)};
    if (evaluated_.count(key) != 0) continue;
    if (pending_.emplace(key, j).second) todo_.push_back(j);
  }
}

void GaussianProcesses::reuseEvaluation(std::vector<double>& logWeights) {
  for (const size_t j : todo_) {
    const Particle& q = particles_[j];
    evaluated_[PositionKey{std::bit_cast<uint64_t>(q.x), std::bit_cast<uint64_t>(q.y)}] =
        logWeights[j];
  }
  for (size_t j = 0; j < particles_.size(); ++j) {
    const Particle& q = particles_[j];
    if (q.weight == 0.0) continue;
    logWeights[j] =
        evaluated_.find(PositionKey{std::bit_cast<uint64_t>(q.x), std::bit_cast<uint64_t>(q.y)})
            ->second;
  }
  evaluations_ += todo_.size();
  pending_.clear();
}

void GaussianProcesses::fullModeCorrection(const SublocationGP& floor,
                                           std::vector<double>& logWeights) {
  const bool fixed = mode_ == 123;
  const double logNorm = -0.5 * std::log(2.0 * kPi * noiseVariance_);
  const auto& params = floor.getParameters();
  const auto& usable = floor.getUsable();
  const int nKeys = std::min({static_cast<int>(signals_.size()), floor.getNumberOfKeys(),
                              static_cast<int>(params.size()),
                              static_cast<int>(floor.getAlpha().size()),
                              static_cast<int>(usable.size())});
  // The keys that take part, with the constant part of their mean. The fixed
  // mode trains without the record's mean terms but predicts with its A, B
  // and transmitter position.
  struct Heard {
    int k;
    double s, offset, b, xAp, yAp;
  };
  std::vector<Heard> heard;
  for (int k = 0; k < nKeys; ++k) {
    const GpParams& p = params[k];
    const double s = signals_[k];
    if (std::fabs(p[GP_PARAM_SF] - 1.0) < 1e-6) continue;  // record without parameters
    if (!std::isfinite(s) || s < -100.0 || IsNotHeard(s) || !usable[k]) continue;
    const KeyModel m = ModelFor(p, fixed, false, floor.getEll());
    heard.push_back({k, s, m.mu + p[GP_PARAM_A], p[GP_PARAM_B], p[GP_PARAM_X_AP], p[GP_PARAM_Y_AP]});
  }
  // The heard keys stay the same through a window, so the block laid out
  // for them serves every pass of it.
  std::vector<int> keys(heard.size());
  for (size_t i = 0; i < heard.size(); ++i) keys[i] = heard[i].k;
  floor.prepareBlock(keys, block_);
  const size_t nHeard = heard.size();
  // The mean model's logs of a particle, all keys at once.
  logs_.resize(2 * nHeard);
  double* dist2 = logs_.data();
  double* logs = logs_.data() + nHeard;
  auto addTerms = [&](size_t j, const double* sums) {
    const Particle& q = particles_[j];
    for (size_t i = 0; i < nHeard; ++i) {
      const double dx = heard[i].xAp - q.x, dy = heard[i].yAp - q.y;
      dist2[i] = dx * dx + dy * dy + 1e-5;
    }
    gp_detail::Logs(dist2, static_cast<int>(nHeard), logs);
    for (size_t i = 0; i < nHeard; ++i) {
      const Heard& h = heard[i];
      double f = h.offset - h.b * logs[i];
      f += sums[i];
      const double r = h.s - f;
      logWeights[j] += exponent_ * (-r * r / (2.0 * noiseVariance_) + logNorm);
    }
  };
  // Neighbouring positions in pairs, which share the work of their sums:
  // ordered by 2 m bands of y and then x. The order of evaluation changes
  // nothing else; each particle still adds its keys' terms in key order.
  order_.clear();
  for (const size_t j : todo_) {
    const double b = std::floor(particles_[j].y / 2.0);
    order_.push_back({std::isfinite(b) ? b : 0.0, particles_[j].x, j});
  }
  std::sort(order_.begin(), order_.end(), [](const Placement& a, const Placement& b) {
    if (a.band != b.band) return a.band < b.band;
    return a.x < b.x || (!(b.x < a.x) && a.j < b.j);
  });
  // Up to kMaxPositions neighbours at a time.
  constexpr int kGroup = SublocationGP::kMaxPositions;
  sums_.resize(kGroup * nHeard);
  for (size_t i = 0; i < order_.size(); i += kGroup) {
    const int n = static_cast<int>(std::min<size_t>(kGroup, order_.size() - i));
    double x[kGroup], y[kGroup];
    double* sums[kGroup];
    for (int q = 0; q < n; ++q) {
      const Particle& p = particles_[order_[i + q].j];
      x[q] = p.x;
      y[q] = p.y;
      sums[q] = sums_.data() + q * nHeard;
    }
    floor.kernelSums(block_, n, x, y, sums);
    for (int q = 0; q < n; ++q) addTerms(order_[i + q].j, sums[q]);
  }
}

void GaussianProcesses::normalModeCorrection(const SublocationGP& floor,
                                             std::vector<double>& logWeights) {
  const double logNorm = -0.5 * std::log(2.0 * kPi * noiseVariance_);
  const std::vector<Beacon>& beacons = floor.getBeacons();
  // Each measurement's beacon: the first floor beacon of the same id.
  std::vector<const Beacon*> beaconOf(measurements_.size(), nullptr);
  for (size_t i = 0; i < measurements_.size(); ++i) {
    const std::string id = measurements_[i].getBeaconId();
    for (const Beacon& b : beacons) {
      if (b.getId() == id) {
        beaconOf[i] = &b;
        break;
      }
    }
    if (!std::isfinite(measurements_[i].getRssi())) beaconOf[i] = nullptr;
  }
  auto addTerm = [&](size_t j, double r) {
    logWeights[j] += exponent_ * (-r * r / (2.0 * noiseVariance_) + logNorm);
  };

  if (!differential_) {
    double a = floor.getA(), b = floor.getB();
    for (size_t i = 0; i < measurements_.size(); ++i) {
      const Beacon* beacon = beaconOf[i];
      if (beacon == nullptr) continue;
      // A beacon's own coefficients replace the working ones and stay for
      // the measurements that follow in this pass.
      if (useBeaconPower_ && beacon->getA() != 0.0) a = beacon->getA();
      if (useBeaconPower_ && beacon->getB() != 0.0) b = beacon->getB();
      const double rssi = measurements_[i].getRssi();
      for (const size_t j : todo_) {
        const Particle& q = particles_[j];
        addTerm(j, rssi - (a - b * LogDistance(beacon->getX() - q.x, beacon->getY() - q.y)));
      }
    }
    return;
  }

  // Differential: pairs of measurements compared with the difference of the
  // path-loss model at the particle, each beacon with its own coefficients
  // when beacon power is used, so a common offset of the receiver cancels.
  const double n = static_cast<double>(measurements_.size());
  exponent_ = 1.0 / (n * n);
  auto coefA = [&](const Beacon* bc) {
    return useBeaconPower_ && bc->getA() != 0.0 ? bc->getA() : floor.getA();
  };
  auto coefB = [&](const Beacon* bc) {
    return useBeaconPower_ && bc->getB() != 0.0 ? bc->getB() : floor.getB();
  };
  for (size_t i = 0; i < measurements_.size(); ++i) {
    const Beacon* bi = beaconOf[i];
    if (bi == nullptr) continue;
    for (size_t k = 0; k < measurements_.size(); ++k) {
      const Beacon* bk = beaconOf[k];
      if (bk == nullptr) continue;
      const double measured = measurements_[i].getRssi() - measurements_[k].getRssi();
      for (const size_t j : todo_) {
        const Particle& q = particles_[j];
        const double mi = coefA(bi) - coefB(bi) * LogDistance(bi->getX() - q.x, bi->getY() - q.y);
        const double mk = coefA(bk) - coefB(bk) * LogDistance(bk->getX() - q.x, bk->getY() - q.y);
        addTerm(j, measured - (mi - mk));
      }
    }
  }
}
