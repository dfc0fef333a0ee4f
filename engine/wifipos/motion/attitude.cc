#include "wifipos/motion/attitude.h"

#include <algorithm>
#include <cmath>

namespace attitude {
namespace {

constexpr double kGravity = 9.80665;
// Specific force further than this from 1 g carries no tilt worth trusting.
constexpr double kMaxForceDeviation = 0.35 * kGravity;
// Below this share of its length a projected axis has no usable direction.
constexpr double kMinHorizontal = 0.25;

Quaternion Conj(const Quaternion& q) { return Quaternion(-q.x, -q.y, -q.z, q.w); }

Quaternion FromRotationVector(const Vec3& r) {
  const double angle = std::sqrt(r.x * r.x + r.y * r.y + r.z * r.z);
  if (!(angle > 1e-15)) return Quaternion();
  const double s = std::sin(angle / 2.0) / angle;
  return Quaternion(r.x * s, r.y * s, r.z * s, std::cos(angle / 2.0));
}

Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

double Norm(const Vec3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

Quaternion Normalized(Quaternion q, const Quaternion& fallback) {
  q.normalize();
  return q.isFinite() && !(q.isIdentity() && !fallback.isIdentity()) ? q : fallback;
}

}  // namespace

Vec3 ToWorld(const Quaternion& q, const Vec3& v) {
  const Quaternion r = q * Quaternion(v.x, v.y, v.z, 0.0) * Conj(q);
  return {r.x, r.y, r.z};
}

Vec3 ToDevice(const Quaternion& q, const Vec3& v) {
  const Quaternion r = Conj(q) * Quaternion(v.x, v.y, v.z, 0.0) * q;
  return {r.x, r.y, r.z};
}

Quaternion Integrate(const Quaternion& q, const Vec3& rate, double dt) {
  if (!(dt > 0.0)) return q;
  const Quaternion next = q * FromRotationVector({rate.x * dt, rate.y * dt, rate.z * dt});
  return Normalized(next, q);
}

Quaternion CorrectTilt(const Quaternion& q, const Vec3& acc, double gain) {
  const double n = Norm(acc);
  if (!(gain > 0.0) || !(std::fabs(n - kGravity) <= kMaxForceDeviation)) return q;
  const Vec3 measured{acc.x / n, acc.y / n, acc.z / n};
  const Vec3 predicted = ToDevice(q, {0.0, 0.0, 1.0});
  // The cross product's length is the sine of the tilt error; the angle
  // itself makes a large error close at the same rate as a small one.
  const Vec3 axis = Cross(measured, predicted);
  const double s = Norm(axis);
  if (!(s > 1e-12)) return q;
  const double dot = measured.x * predicted.x + measured.y * predicted.y + measured.z * predicted.z;
  const double turn = std::min(gain, 1.0) * std::atan2(s, dot) / s;
  return Normalized(q * FromRotationVector({axis.x * turn, axis.y * turn, axis.z * turn}), q);
}

Quaternion CorrectHeading(const Quaternion& q, const Vec3& magn, double gain, double* turned) {
  if (turned) *turned = 0.0;
  if (!(gain > 0.0)) return q;
  const Vec3 w = ToWorld(q, magn);
  const double horizontal = std::hypot(w.x, w.y);
  if (!(horizontal > kMinHorizontal * Norm(w))) return q;
  // A field at bearing b comes north after a counter-clockwise turn by b.
  const double turn = std::min(gain, 1.0) * std::atan2(w.x, w.y);
  const Quaternion out = Normalized(FromRotationVector({0.0, 0.0, turn}) * q, q);
  if (turned && !(out == q)) *turned = turn;
  return out;
}

double TopEdgeBearing(const Quaternion& q) {
  const Vec3 top = ToWorld(q, {0.0, 1.0, 0.0});
  if (std::hypot(top.x, top.y) >= kMinHorizontal) return std::atan2(top.x, top.y);
  const Vec3 side = ToWorld(q, {1.0, 0.0, 0.0});
  return std::atan2(side.x, side.y) - M_PI / 2.0;
}

}  // namespace attitude
