#include "wifipos/motion/hard_iron.h"

#include <cmath>

namespace attitude {
namespace {

// Readings between two fits.
constexpr int kSolveEvery = 25;
// Weight, in readings, of the prior that the bias is zero: it settles the
// direction the turns leave open and barely moves the others.
constexpr double kPriorShare = 0.01;
constexpr double kMinReadings = 100.0;

// Solves the symmetric positive definite system a x = y (n <= 6) by
// Cholesky; false when it is not positive definite.
bool SolveSpd(double a[6][6], double* y, int n, double* x) {
  double l[6][6] = {};
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j <= i; ++j) {
      double s = a[i][j];
      for (int k = 0; k < j; ++k) s -= l[i][k] * l[j][k];
      if (i == j) {
        if (!(s > 1e-12)) return false;
        l[i][i] = std::sqrt(s);
      } else {
        l[i][j] = s / l[j][j];
      }
    }
  }
  double z[6];
  for (int i = 0; i < n; ++i) {
    double s = y[i];
    for (int k = 0; k < i; ++k) s -= l[i][k] * z[k];
    z[i] = s / l[i][i];
  }
  for (int i = n; i-- > 0;) {
    double s = z[i];
    for (int k = i + 1; k < n; ++k) s -= l[k][i] * x[k];
    x[i] = s / l[i][i];
  }
  return true;
}

}  // namespace

void HardIronEstimate::add(const Quaternion& q, const Vec3& m, double t) {
  if (!q.isFinite() || !std::isfinite(m.x) || !std::isfinite(m.y) || !std::isfinite(m.z) ||
      !std::isfinite(t) || !(std::sqrt(m.x * m.x + m.y * m.y + m.z * m.z) <= kMaxReading)) {
    return;
  }
  if (weight_ > 0.0 && t > lastTime_) {
    const double keep = std::exp(-(t - lastTime_) / kMemory);
    for (auto& row : ata_)
      for (double& v : row) v *= keep;
    for (double& v : atm_) v *= keep;
    weight_ *= keep;
    sumCos_ *= keep;
    sumSin_ *= keep;
  }
  if (t > lastTime_) lastTime_ = t;
  // Columns of R(q)^T: the world axes seen from the device.
  const Vec3 ex = ToDevice(q, {1.0, 0.0, 0.0});
  const Vec3 ey = ToDevice(q, {0.0, 1.0, 0.0});
  const Vec3 ez = ToDevice(q, {0.0, 0.0, 1.0});
  const double rows[3][6] = {{ex.x, ey.x, ez.x, 1.0, 0.0, 0.0},
                             {ex.y, ey.y, ez.y, 0.0, 1.0, 0.0},
                             {ex.z, ey.z, ez.z, 0.0, 0.0, 1.0}};
  const double mv[3] = {m.x, m.y, m.z};
  for (int r = 0; r < 3; ++r)
    for (int i = 0; i < 6; ++i) {
      atm_[i] += rows[r][i] * mv[r];
      for (int j = 0; j < 6; ++j) ata_[i][j] += rows[r][i] * rows[r][j];
    }
  weight_ += 1.0;
  const double bearing = TopEdgeBearing(q);
  sumCos_ += std::cos(bearing);
  sumSin_ += std::sin(bearing);
  if (++sinceSolve_ >= kSolveEvery) {
    sinceSolve_ = 0;
    solve();
  }
}

void HardIronEstimate::turnWorld(double angle) {
  if (!std::isfinite(angle) || angle == 0.0) return;
  const double c = std::cos(angle), s = std::sin(angle);
  // The field's part of the unknowns turns with the frame: the rows and
  // columns of the field block are multiplied by the turn about the vertical.
  const double rz[3][3] = {{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}};
  double t[6][6] = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t[i][j] = rz[i][j];
  for (int i = 3; i < 6; ++i) t[i][i] = 1.0;
  double m[6][6] = {};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      for (int k = 0; k < 6; ++k) m[i][j] += t[i][k] * ata_[k][j];
  double turned[6][6] = {};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      for (int k = 0; k < 6; ++k) turned[i][j] += m[i][k] * t[j][k];
  double v[6] = {};
  for (int i = 0; i < 6; ++i)
    for (int k = 0; k < 6; ++k) v[i] += t[i][k] * atm_[k];
  for (int i = 0; i < 6; ++i) {
    atm_[i] = v[i];
    for (int j = 0; j < 6; ++j) ata_[i][j] = turned[i][j];
  }
  // Bearings are clockwise: a counter-clockwise turn of the frame lowers them.
  const double cs = sumCos_ * c + sumSin_ * s, sn = sumSin_ * c - sumCos_ * s;
  sumCos_ = cs;
  sumSin_ = sn;
}

void HardIronEstimate::solve() {
  if (weight_ < kMinReadings) return;
  // One heading only: the bias cannot be told from the field.
  if (std::hypot(sumCos_, sumSin_) > kMaxHeadingConcentration * weight_) return;
  double a[6][6];
  double y[6];
  for (int i = 0; i < 6; ++i) {
    y[i] = atm_[i];
    for (int j = 0; j < 6; ++j) a[i][j] = ata_[i][j];
  }
  for (int i = 3; i < 6; ++i) a[i][i] += kPriorShare * weight_;
  double x[6];
  if (!SolveSpd(a, y, 6, x)) return;
  const Vec3 b{x[3], x[4], x[5]};
  const double n = std::sqrt(b.x * b.x + b.y * b.y + b.z * b.z);
  if (!std::isfinite(n) || n > kMaxBias) return;
  bias_ = b;
  ready_ = true;
}

}  // namespace attitude
