#include "wifipos/motion/quaternion.h"

#include <cmath>

Quaternion Quaternion::operator*(const Quaternion& o) const {
  return Quaternion(w * o.x + x * o.w + y * o.z - z * o.y,
                    w * o.y - x * o.z + y * o.w + z * o.x,
                    w * o.z + x * o.y - y * o.x + z * o.w,
                    w * o.w - x * o.x - y * o.y - z * o.z);
}

double Quaternion::norm() const { return std::sqrt(x * x + y * y + z * z + w * w); }

bool Quaternion::isFinite() const {
  return std::isfinite(x) && std::isfinite(y) && std::isfinite(z) && std::isfinite(w);
}

void Quaternion::normalize() {
  const double n = norm();
  if (!(n > 0.0) || !std::isfinite(n)) {
    *this = Quaternion();
    return;
  }
  x /= n;
  y /= n;
  z /= n;
  w /= n;
}

void Quaternion::toEuler(double* e) const {
  const double t = 2.0 * (w * y - x * z);
  if (t == 1.0) {
    e[0] = 0.0;
    e[1] = M_PI / 2;
    e[2] = -2.0 * std::atan2(x, w);
    return;
  }
  if (t == -1.0) {
    e[0] = 0.0;
    e[1] = -M_PI / 2;
    e[2] = 2.0 * std::atan2(x, w);
    return;
  }
  e[0] = std::atan2(2.0 * (x * w + y * z), w * w - x * x - y * y + z * z);
  e[1] = std::asin(t < -1.0 ? -1.0 : (t > 1.0 ? 1.0 : t));
  e[2] = std::atan2(2.0 * (w * z + x * y), w * w + x * x - y * y - z * z);
}

Quaternion Quaternion::fromEuler(double roll, double pitch, double yaw) {
  const double cr = std::cos(roll / 2), sr = std::sin(roll / 2);
  const double cp = std::cos(pitch / 2), sp = std::sin(pitch / 2);
  const double cy = std::cos(yaw / 2), sy = std::sin(yaw / 2);
  return Quaternion(sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy,
                    cr * cp * sy - sr * sp * cy, cr * cp * cy + sr * sp * sy);
}

Quaternion Quaternion::fromRotationMatrix(const double* r) {
  const double trace = r[0] + r[4] + r[8];
  Quaternion q;
  if (trace > 0.0) {
    // Same as the plain trace formula wherever the trace is positive.
    const double s = std::sqrt(1.0 + trace);
    q = Quaternion((r[7] - r[5]) * 0.5 / s, (r[2] - r[6]) * 0.5 / s, (r[3] - r[1]) * 0.5 / s,
                   0.5 * s);
  } else if (r[0] > r[4] && r[0] > r[8]) {
    const double s = 2.0 * std::sqrt(1.0 + r[0] - r[4] - r[8]);
    q = Quaternion(0.25 * s, (r[1] + r[3]) / s, (r[2] + r[6]) / s, (r[7] - r[5]) / s);
  } else if (r[4] > r[8]) {
    const double s = 2.0 * std::sqrt(1.0 + r[4] - r[0] - r[8]);
    q = Quaternion((r[1] + r[3]) / s, 0.25 * s, (r[5] + r[7]) / s, (r[2] - r[6]) / s);
  } else {
    const double s = 2.0 * std::sqrt(1.0 + r[8] - r[0] - r[4]);
    q = Quaternion((r[2] + r[6]) / s, (r[5] + r[7]) / s, 0.25 * s, (r[3] - r[1]) / s);
  }
  q.normalize();
  return q;
}
