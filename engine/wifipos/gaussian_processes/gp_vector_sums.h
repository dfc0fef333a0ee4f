// The vector loops of the Gaussian-process sums (internal), written once and
// compiled for every instruction set the processor family has; each call
// runs the best build the processor in hand supports.
#pragma once

#include "wifipos/gaussian_processes/gp_methods.h"

namespace gp_vector {

// What one pass of the block sums takes on the build that runs now: doubles
// to a vector, and positions at most.
struct Shape {
  int lanes;
  int positions;
};
Shape BlockShape();

// At most this many vectors of keys are summed in one pass.
constexpr int kMaxBlockVectors = 6;

// out[q * W + j] (W = lanes * vectors, q < positions) is the sum over the
// rows' points p of ex[(q0 + q) * exStride + col[p] - u0] * ey[q0 + q] *
// coef[p * W + j]. At two or more positions each key's terms are added in
// point order, so builds of any width that fuse their multiply-adds give the
// same sums. `lanes` must be BlockShape's.
void BlockSum(int vectors, int positions, const gp_detail::BlockRow* row,
              const gp_detail::BlockRow* end, const int* col, const double* ex, int exStride,
              int u0, const double* coef, double* out, int q0);

// The sum of a[i] * exp(-((px[i] - x)^2 + (py[i] - y)^2) / c) over [s, e).
double KernelRun(const double* px, const double* py, const double* a, int s, int e, double x,
                 double y, double c);

// out[i] = exp(-(v[i] - at)^2 / c) for i < n.
void AxisExp(const double* v, int n, double at, double c, double* out);

}  // namespace gp_vector
