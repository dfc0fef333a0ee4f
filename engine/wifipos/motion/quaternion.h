// Unit quaternion for device orientation (device frame to east-north-up).
#pragma once

struct Quaternion {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  double w = 1.0;

  Quaternion() = default;
  Quaternion(double qx, double qy, double qz, double qw) : x(qx), y(qy), z(qz), w(qw) {}

  // Hamilton product.
  Quaternion operator*(const Quaternion& o) const;
  Quaternion operator*(double k) const { return Quaternion(x * k, y * k, z * k, w * k); }
  Quaternion operator+(const Quaternion& o) const {
    return Quaternion(x + o.x, y + o.y, z + o.z, w + o.w);
  }
  bool operator==(const Quaternion& o) const {
    return x == o.x && y == o.y && z == o.z && w == o.w;
  }
  bool operator!=(const Quaternion& o) const { return !(*this == o); }

  double dot(const Quaternion& o) const { return x * o.x + y * o.y + z * o.z + w * o.w; }
  double norm() const;
  // Scales to unit length; a zero or non-finite quaternion becomes identity.
  void normalize();
  bool isFinite() const;
  bool isIdentity() const { return x == 0.0 && y == 0.0 && z == 0.0 && w == 1.0; }

  // e[0] roll, e[1] pitch, e[2] yaw (ZYX convention).
  void toEuler(double* e) const;
  static Quaternion fromEuler(double roll, double pitch, double yaw);
  // From a rotation matrix given row by row (largest-diagonal branches, so
  // every proper rotation, 180 degree turns included, gives a finite result).
  static Quaternion fromRotationMatrix(const double* r);
};
