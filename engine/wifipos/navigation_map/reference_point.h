// One surveyed point of a floor's radio map.
#pragma once

#include <string>
#include <type_traits>

class ReferencePoint {
 public:
  ReferencePoint() = default;
  ReferencePoint(const ReferencePoint&) = default;
  ReferencePoint& operator=(const ReferencePoint&) = default;
  // Declared, since the copies above would otherwise leave a point without
  // moves: a growing point list then copied every name and text it held.
  ReferencePoint(ReferencePoint&&) noexcept = default;
  ReferencePoint& operator=(ReferencePoint&&) noexcept = default;

  // Identity is the name, compared byte-wise.
  bool operator==(const ReferencePoint& other) const { return name_ == other.name_; }
  bool operator!=(const ReferencePoint& other) const { return !(*this == other); }
  bool operator<(const ReferencePoint& other) const;
  // The negation of <, so it is also true for equal names.
  bool operator>(const ReferencePoint& other) const { return !(*this < other); }

  // Resets position, quality, magnetic intensity and the texts; kx, ky,
  // duration and index are left as they are.
  void clear();

  double getX() const { return x_; }
  double getY() const { return y_; }
  double getKX() const { return kx_; }
  double getKY() const { return ky_; }
  double getQuality() const { return quality_; }
  double getMagneticIntensity() const { return magneticIntensity_; }
  int getDuration() const { return duration_; }  // milliseconds
  int getIndex() const { return index_; }
  const std::string& getName() const { return name_; }
  const std::string& getDeviceModel() const { return deviceModel_; }
  const std::string& getDeviceId() const { return deviceId_; }
  const std::string& getStatus() const { return status_; }

  void setX(double v) { x_ = v; }
  void setY(double v) { y_ = v; }
  void setKX(double v) { kx_ = v; }
  void setKY(double v) { ky_ = v; }
  void setQuality(double v) { quality_ = v; }
  void setMagneticIntensity(double v) { magneticIntensity_ = v; }
  void setDuration(int ms) { duration_ = ms; }
  void setIndex(int v) { index_ = v; }
  void setName(const std::string& v) { name_ = v; }
  void setDeviceModel(const std::string& v) { deviceModel_ = v; }
  void setDeviceId(const std::string& v) { deviceId_ = v; }
  void setStatus(const std::string& v) { status_ = v; }

 private:
  double x_ = 0.0;  // metres: floor width * kx
  double y_ = 0.0;  // metres: floor height * ky
  double kx_ = 0.0;
  double ky_ = 0.0;
  double quality_ = 0.0;
  double magneticIntensity_ = 0.0;
  int duration_ = 0;
  int index_ = 0;  // position in the floor's point list
  std::string name_;
  std::string deviceModel_;
  std::string deviceId_;
  std::string status_;  // "del" marks a deleted point
};

// A point list grows by moving its points.
static_assert(std::is_nothrow_move_constructible_v<ReferencePoint>);
