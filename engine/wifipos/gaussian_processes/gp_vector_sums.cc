// The vector loops of the Gaussian-process sums through Highway: this file is
// compiled once per instruction set (SSE4, AVX2, AVX-512 on x86, NEON on
// ARM, and a portable fallback) and each entry point dispatches at run time
// to the best build the processor supports.

// Instruction sets left out of the build: the accumulators below are held in
// arrays, which vectors whose size is only known at run time cannot be (so
// NEON serves every ARM board), and SSSE3 and AVX-512's later extensions add
// nothing to arithmetic on doubles.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS \
  (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128 | HWY_RVV | HWY_SSSE3 | HWY_AVX3_DL)
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gp_vector_sums.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>
#include <cstddef>
#include <limits>

#include "wifipos/gaussian_processes/gp_vector_sums.h"

HWY_BEFORE_NAMESPACE();
namespace gp_vector {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using gp_detail::BlockRow;
using D = hn::ScalableTag<double>;
using V = hn::Vec<D>;
constexpr size_t kLanes = HWY_LANES(double);
// Vector registers: their number bounds the positions one pass can hold the
// accumulators of.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL || (HWY_TARGET == HWY_NEON && HWY_ARCH_ARM_A64)
constexpr int kPositions = 4;
#else
constexpr int kPositions = 2;
#endif

// exp of arguments at most 0, within an ulp or two of std::exp: 2^n times
// the degree-13 Taylor polynomial on |r| <= ln2 / 2 (truncation below 1e-17
// relative). Arguments under -708 give exp(-708), about 3e-308: such terms
// stay far below any coefficient's resolution.
HWY_INLINE V Exp(D d, V x) {
  const hn::RebindToSigned<D> di;
  x = hn::Max(x, hn::Set(d, -708.0));
  // Adding 1.5 * 2^52 rounds to an integer that then sits in the low bits.
  const V magic = hn::Set(d, 6755399441055744.0);
  const V t = hn::MulAdd(x, hn::Set(d, 1.4426950408889634074), magic);
  const V n = hn::Sub(t, magic);
  // ln 2 split so n * hi is exact.
  V r = hn::NegMulAdd(n, hn::Set(d, 6.93145751953125e-1), x);
  r = hn::NegMulAdd(n, hn::Set(d, 1.42860682030941723212e-6), r);
  // Estrin's scheme: short dependency chains, so neighbouring calls overlap.
  const V r2 = hn::Mul(r, r), r4 = hn::Mul(r2, r2), r8 = hn::Mul(r4, r4);
  auto pair = [&](double c0, double c1) { return hn::MulAdd(r, hn::Set(d, c1), hn::Set(d, c0)); };
  const V p01 = hn::Add(hn::Set(d, 1.0), r), p23 = pair(0.5, 1.0 / 6.0);
  const V p45 = pair(1.0 / 24.0, 1.0 / 120.0), p67 = pair(1.0 / 720.0, 1.0 / 5040.0);
  const V p89 = pair(1.0 / 40320.0, 1.0 / 362880.0);
  const V p1011 = pair(1.0 / 3628800.0, 1.0 / 39916800.0);
  const V p1213 = pair(1.0 / 479001600.0, 1.0 / 6227020800.0);
  const V q0 = hn::MulAdd(r2, p23, p01), q1 = hn::MulAdd(r2, p67, p45);
  const V q2 = hn::MulAdd(r2, p1011, p89);
  const V p = hn::MulAdd(r8, hn::MulAdd(r4, p1213, q2), hn::MulAdd(r4, q1, q0));
  const auto e = hn::Add(hn::Sub(hn::BitCast(di, t), hn::BitCast(di, magic)), hn::Set(di, 1023));
  return hn::Mul(p, hn::BitCast(d, hn::ShiftLeft<52>(e)));
}

// Natural log of positive normal doubles, within an ulp of std::log: x = 2^e
// m with m in [sqrt(1/2), sqrt(2)), f = m - 1 (exact), s = f / (2 + f), and
// log(m) = 2 atanh(s), whose series in s^2 <= 0.0295 is cut after the s^21
// term (truncation below 1e-18 relative). ln 2 is split so e times its high
// part is exact.
HWY_INLINE V Log(D d, V x) {
  const hn::RebindToUnsigned<D> du;
  const auto bits = hn::BitCast(du, x);
  // The biased exponent as a double, through the bits of 2^52 + e.
  const V two52 = hn::Set(d, 4503599627370496.0);
  const V biased = hn::Sub(hn::BitCast(d, hn::Or(hn::ShiftRight<52>(bits), hn::BitCast(du, two52))), two52);
  V m = hn::BitCast(d, hn::Or(hn::And(bits, hn::Set(du, 0x000fffffffffffffULL)),
                              hn::Set(du, 0x3ff0000000000000ULL)));
  const auto big = hn::Gt(m, hn::Set(d, 1.41421356237309504880));
  m = hn::IfThenElse(big, hn::Mul(m, hn::Set(d, 0.5)), m);
  const V k = hn::Sub(biased, hn::IfThenElse(big, hn::Set(d, 1022.0), hn::Set(d, 1023.0)));
  const V f = hn::Sub(m, hn::Set(d, 1.0));
  const V s = hn::Div(f, hn::Add(hn::Set(d, 2.0), f));
  const V z = hn::Mul(s, s);
  const V hfsq = hn::Mul(hn::Mul(hn::Set(d, 0.5), f), f);
  V r = hn::Set(d, 2.0 / 21.0);
  for (const double c : {2.0 / 19.0, 2.0 / 17.0, 2.0 / 15.0, 2.0 / 13.0, 2.0 / 11.0, 2.0 / 9.0,
                         2.0 / 7.0, 2.0 / 5.0, 2.0 / 3.0}) {
    r = hn::MulAdd(z, r, hn::Set(d, c));
  }
  r = hn::Mul(z, r);
  const V inner = hn::MulAdd(k, hn::Set(d, 1.90821492927058770002e-10), hn::Mul(s, hn::Add(hfsq, r)));
  return hn::Sub(hn::Mul(k, hn::Set(d, 6.93147180369123816490e-01)), hn::Sub(hn::Sub(hfsq, inner), f));
}

double KernelRunT(const double* px, const double* py, const double* a, int s, int e, double x,
                  double y, double c) {
  const D d;
  const V vx = hn::Set(d, x), vy = hn::Set(d, y), vc = hn::Set(d, c);
  V acc0 = hn::Zero(d), acc1 = hn::Zero(d);
  int i = s;
  // Two independent vectors per step keep both multiply pipelines busy.
  constexpr int kStep = static_cast<int>(2 * kLanes);
  for (; i + kStep <= e; i += kStep) {
    const V dx0 = hn::Sub(hn::LoadU(d, px + i), vx), dy0 = hn::Sub(hn::LoadU(d, py + i), vy);
    const V dx1 = hn::Sub(hn::LoadU(d, px + i + kLanes), vx);
    const V dy1 = hn::Sub(hn::LoadU(d, py + i + kLanes), vy);
    const V e0 = Exp(d, hn::Neg(hn::Div(hn::MulAdd(dx0, dx0, hn::Mul(dy0, dy0)), vc)));
    const V e1 = Exp(d, hn::Neg(hn::Div(hn::MulAdd(dx1, dx1, hn::Mul(dy1, dy1)), vc)));
    acc0 = hn::MulAdd(hn::LoadU(d, a + i), e0, acc0);
    acc1 = hn::MulAdd(hn::LoadU(d, a + i + kLanes), e1, acc1);
  }
  double sum = hn::GetLane(hn::SumOfLanes(d, hn::Add(acc0, acc1)));
  for (; i < e; ++i) {
    sum += a[i] * std::exp(-((px[i] - x) * (px[i] - x) + (py[i] - y) * (py[i] - y)) / c);
  }
  return sum;
}

void AxisExpT(const double* v, int n, double at, double c, double* out) {
  const D d;
  const V vat = hn::Set(d, at), vc = hn::Set(d, c);
  auto one = [&](V x) {
    const V dd = hn::Sub(x, vat);
    return Exp(d, hn::Neg(hn::Div(hn::Mul(dd, dd), vc)));
  };
  int i = 0;
  for (; i + static_cast<int>(kLanes) <= n; i += kLanes) hn::StoreU(one(hn::LoadU(d, v + i)), d, out + i);
  if (i < n) {
    HWY_ALIGN double buf[kLanes];
    for (size_t j = 0; j < kLanes; ++j) buf[j] = i + static_cast<int>(j) < n ? v[i + j] : at;
    hn::Store(one(hn::Load(d, buf)), d, buf);
    for (int j = 0; i + j < n; ++j) out[i + j] = buf[j];
  }
}

void LogsT(const double* v, int n, double* out) {
  const D d;
  int i = 0;
  for (; i + static_cast<int>(kLanes) <= n; i += kLanes) hn::StoreU(Log(d, hn::LoadU(d, v + i)), d, out + i);
  if (i < n) {
    HWY_ALIGN double buf[kLanes];
    for (size_t j = 0; j < kLanes; ++j) buf[j] = i + static_cast<int>(j) < n ? v[i + j] : 1.0;
    hn::Store(Log(d, hn::Load(d, buf)), d, buf);
    for (int j = 0; i + j < n; ++j) out[i + j] = buf[j];
  }
  for (i = 0; i < n; ++i) {
    if (!(v[i] >= std::numeric_limits<double>::min() && v[i] <= std::numeric_limits<double>::max())) {
      out[i] = std::log(v[i]);
    }
  }
}

// The loops over positions and vectors run whole, so that the accumulators
// stay in registers instead of going through memory at every point.
#define MV_UNROLL _Pragma("GCC unroll 16")

// See BlockSum. The positions share every load of the coefficients; few
// keys at one position would leave the multiply pipelines idle between
// dependent adds, so two points go at a time then, into separate
// accumulators.
template <int NV, int P>
void BlockBody(const BlockRow* row, const BlockRow* end, const int* col, const double* ex,
               int exStride, int u0, const double* coef, double* out, int q0) {
  const D d;
  constexpr size_t kWidth = kLanes * NV;
  constexpr int kSets = P == 1 && kWidth <= 16 ? 2 : P;
  V acc[kSets][NV];
  MV_UNROLL
  for (int s = 0; s < kSets; ++s) {
    MV_UNROLL
    for (int j = 0; j < NV; ++j) acc[s][j] = hn::Zero(d);
  }
  if constexpr (P >= 2) {
    const double* exq[P];
    MV_UNROLL
    for (int q = 0; q < P; ++q) exq[q] = ex + static_cast<size_t>(q0 + q) * exStride - u0;
    for (; row != end; ++row) {
      double ey[P];
      MV_UNROLL
      for (int q = 0; q < P; ++q) ey[q] = row->ey[q0 + q];
      for (int p = row->begin; p < row->end; ++p) {
        const int u = col[p];
        V w[P];
        MV_UNROLL
        for (int q = 0; q < P; ++q) w[q] = hn::Set(d, exq[q][u] * ey[q]);
        const double* c = coef + static_cast<size_t>(p) * kWidth;
        MV_UNROLL
        for (int j = 0; j < NV; ++j) {
          const V v = hn::LoadU(d, c + kLanes * j);
          MV_UNROLL
          for (int q = 0; q < P; ++q) acc[q][j] = hn::MulAdd(w[q], v, acc[q][j]);
        }
      }
    }
    MV_UNROLL
    for (int q = 0; q < P; ++q) {
      MV_UNROLL
      for (int j = 0; j < NV; ++j) hn::StoreU(acc[q][j], d, out + q * kWidth + kLanes * j);
    }
  } else {
    ex += static_cast<size_t>(q0) * exStride;
    for (; row != end; ++row) {
      int p = row->begin;
      const double ey = row->ey[q0];
      for (; p + kSets <= row->end; p += kSets) {
        MV_UNROLL
        for (int s = 0; s < kSets; ++s) {
          const V w = hn::Set(d, ex[col[p + s] - u0] * ey);
          const double* c = coef + static_cast<size_t>(p + s) * kWidth;
          MV_UNROLL
          for (int j = 0; j < NV; ++j) acc[s][j] = hn::MulAdd(w, hn::LoadU(d, c + kLanes * j), acc[s][j]);
        }
      }
      if (kSets > 1 && p < row->end) {
        const V w = hn::Set(d, ex[col[p] - u0] * ey);
        const double* c = coef + static_cast<size_t>(p) * kWidth;
        MV_UNROLL
        for (int j = 0; j < NV; ++j) acc[0][j] = hn::MulAdd(w, hn::LoadU(d, c + kLanes * j), acc[0][j]);
      }
    }
    MV_UNROLL
    for (int j = 0; j < NV; ++j) {
      V a = acc[0][j];
      MV_UNROLL
      for (int s = 1; s < kSets; ++s) a = hn::Add(a, acc[s][j]);
      hn::StoreU(a, d, out + kLanes * j);
    }
  }
}

#undef MV_UNROLL

using BlockFn = void (*)(const BlockRow*, const BlockRow*, const int*, const double*, int, int,
                         const double*, double*, int);

void BlockSumT(int vectors, int positions, const BlockRow* row, const BlockRow* end,
               const int* col, const double* ex, int exStride, int u0, const double* coef,
               double* out, int q0) {
#define MV_BLOCK_ROW(P) \
  {&BlockBody<1, P>, &BlockBody<2, P>, &BlockBody<3, P>, &BlockBody<4, P>, &BlockBody<5, P>, &BlockBody<6, P>}
  static constexpr BlockFn kTable[4][kMaxBlockVectors] = {MV_BLOCK_ROW(1), MV_BLOCK_ROW(2),
                                                          MV_BLOCK_ROW(3), MV_BLOCK_ROW(4)};
#undef MV_BLOCK_ROW
  kTable[positions - 1][vectors - 1](row, end, col, ex, exStride, u0, coef, out, q0);
}

Shape BlockShapeT() { return Shape{static_cast<int>(kLanes), kPositions}; }

bool FusesMultiplyAddT() { return HWY_NATIVE_FMA != 0; }

long long TargetT() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace gp_vector
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace gp_vector {

HWY_EXPORT(BlockSumT);
HWY_EXPORT(BlockShapeT);
HWY_EXPORT(KernelRunT);
HWY_EXPORT(AxisExpT);
HWY_EXPORT(LogsT);
HWY_EXPORT(FusesMultiplyAddT);
HWY_EXPORT(TargetT);

Shape BlockShape() { return HWY_DYNAMIC_DISPATCH(BlockShapeT)(); }

void BlockSum(int vectors, int positions, const gp_detail::BlockRow* row,
              const gp_detail::BlockRow* end, const int* col, const double* ex, int exStride,
              int u0, const double* coef, double* out, int q0) {
  HWY_DYNAMIC_DISPATCH(BlockSumT)(vectors, positions, row, end, col, ex, exStride, u0, coef, out, q0);
}

double KernelRun(const double* px, const double* py, const double* a, int s, int e, double x,
                 double y, double c) {
  return HWY_DYNAMIC_DISPATCH(KernelRunT)(px, py, a, s, e, x, y, c);
}

void AxisExp(const double* v, int n, double at, double c, double* out) {
  HWY_DYNAMIC_DISPATCH(AxisExpT)(v, n, at, c, out);
}

void Logs(const double* v, int n, double* out) { HWY_DYNAMIC_DISPATCH(LogsT)(v, n, out); }

bool FusesMultiplyAdd() { return HWY_DYNAMIC_DISPATCH(FusesMultiplyAddT)(); }

}  // namespace gp_vector

// (Outside the internal namespace so tests can hold it to std::log.)
void gp_detail::Logs(const double* v, int n, double* out) { gp_vector::Logs(v, n, out); }

long long gp_detail::VectorTargets() { return HWY_TARGETS; }

bool gp_detail::VectorFusesMultiplyAdd() { return gp_vector::FusesMultiplyAdd(); }

long long gp_detail::VectorTargetInUse() { return HWY_DYNAMIC_DISPATCH(gp_vector::TargetT)(); }

// Highway re-detects the processor's targets, and hands every one of them to
// the dispatch, whenever the supported targets are asked for without a mock
// in place; a plain DisableTargets is therefore undone by the next such
// question. A mock of the allowed targets stays.
void gp_detail::AvoidVectorTargets(long long targets) {
  hwy::SetSupportedTargetsForTest(0);
  const long long allowed = hwy::SupportedTargets() & ~targets;
  hwy::SetSupportedTargetsForTest(allowed != 0 ? allowed : HWY_STATIC_TARGET);
}
#endif  // HWY_ONCE
