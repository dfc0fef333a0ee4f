// Small corrections of a device attitude (device frame to east-north-up,
// north magnetic) and the heading a walker reads from it. Gyroscope rates are
// integrated in full 3-D, so a turn of the body shows as a rotation about the
// gravity axis whatever the tilt; these corrections only pull the tilt
// toward the measured gravity and the heading toward the magnetic field.
#pragma once

#include "wifipos/motion/quaternion.h"

namespace attitude {

struct Vec3 {
  double x = 0.0, y = 0.0, z = 0.0;
};

// v given in the device frame, expressed in the world frame.
Vec3 ToWorld(const Quaternion& q, const Vec3& v);
// v given in the world frame, expressed in the device frame.
Vec3 ToDevice(const Quaternion& q, const Vec3& v);

// q followed by the body rotation of rate (rad/s) over dt seconds.
Quaternion Integrate(const Quaternion& q, const Vec3& rate, double dt);

// Turns q a share `gain` (0..1) of the way so that its up axis, seen from the
// device, meets the measured specific force `acc` (m/s2, gravity included).
// The turn is about a horizontal axis and leaves the heading alone. A reading
// far from 1 g (a jolt, free fall) changes nothing.
Quaternion CorrectTilt(const Quaternion& q, const Vec3& acc, double gain);

// Turns q about the vertical a share `gain` of the way so that the magnetic
// field `magn` (device frame) points north. A field without a usable
// horizontal part changes nothing. `turned`, when given, receives the turn
// (rad, counter-clockwise seen from above) applied.
Quaternion CorrectHeading(const Quaternion& q, const Vec3& magn, double gain,
                          double* turned = nullptr);

// Bearing (rad, clockwise from north of the world frame) of the phone's top
// edge, the direction a phone held in front of the walker points. Where the
// top edge stands nearly upright it says little, and the bearing of the
// device's x axis turned a quarter to the left stands in.
double TopEdgeBearing(const Quaternion& q);

}  // namespace attitude
