// The small value types the map model, the positioning engine and the SDK
// layer pass around: time stamps, sensor samples, map transmitters, beacon
// readings, radio-map / scan transmitters with their RSSI histogram, 2-D points.
// All are plain copyable values.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

// A time stamp: whole seconds since 1970 (UTC) and milliseconds 0..999. The
// seconds are 64 bits wide so that dates past 2038 (and 2106) carry on.
struct SensorTime {
  uint64_t sec = 0;
  unsigned int ms = 0;

  SensorTime() = default;
  SensorTime(uint64_t seconds, unsigned int millis) : sec(seconds), ms(millis) {}
  // Whole seconds and truncated thousandths of the fraction. A negative
  // argument is logged and gives the zero time.
  explicit SensorTime(double seconds);

  // Stores (seconds, millis) with the milliseconds brought into 0..999 while
  // keeping the total (negative millis borrow whole seconds). When the borrow
  // exceeds the seconds, logs it, stores the seconds and keeps ms unchanged.
  void setTime(int64_t seconds, int64_t millis);

  double getTimeInSeconds() const { return static_cast<double>(sec) + ms / 1000.0; }

  // this - other. When other is later than this, logs the misuse and returns
  // this unchanged.
  SensorTime operator-(const SensorTime& other) const;
  // this minus whole seconds (e.g. a client's time base). More seconds than
  // this holds are logged and nothing is subtracted.
  SensorTime minusSeconds(uint64_t seconds) const;

  bool operator==(const SensorTime& o) const { return sec == o.sec && ms == o.ms; }
  bool operator!=(const SensorTime& o) const { return !(*this == o); }
  bool operator<(const SensorTime& o) const { return sec != o.sec ? sec < o.sec : ms < o.ms; }
  bool operator>(const SensorTime& o) const { return o < *this; }
  bool operator<=(const SensorTime& o) const { return !(o < *this); }
  bool operator>=(const SensorTime& o) const { return !(*this < o); }
};

// One sample of one sensor; `type` is the measurement message's sensor code.
class SensorValue {
 public:
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  double magnitude = 0.0;
  double filteredMagnitude = 0.0;
  double quality = 0.0;
  int type = 0;
  SensorTime time;

  SensorValue() = default;
  SensorValue(const SensorValue&) = default;
  SensorValue(SensorValue&&) = default;
  SensorValue& operator=(const SensorValue&) = default;
  SensorValue& operator=(SensorValue&&) = default;

  void clear() { *this = SensorValue(); }
  void fillComponents(double px, double py, double pz) {
    x = px;
    y = py;
    z = pz;
  }
  void setQuality(double q) { quality = q; }
  void calcMagnitude();

  // See SensorTime::setTime.
  void setTime(int64_t sec, int64_t ms) { time.setTime(sec, ms); }
  double getTimeInSeconds() const { return time.getTimeInSeconds(); }
  // Part of the interface; nothing in the kit calls these two.
  static double getAbsTimeDifInSec(const SensorValue& a, const SensorValue& b);
  std::string getSensorString() const;

  // Component-wise sum of the six doubles and of the times; the result keeps
  // the left operand's type. Summing different types is logged, not refused.
  SensorValue operator+(const SensorValue& other) const;
  SensorValue& operator+=(const SensorValue& other);
  // The divisor is deliberately not applied: the sensor-averaging caller
  // works on the sum and its thresholds are tuned to that.
  SensorValue operator/(double divisor) const;
  SensorValue& operator/=(double divisor);

  // Ordered by time only.
  bool operator<(const SensorValue& o) const { return time < o.time; }
  bool operator<=(const SensorValue& o) const { return time <= o.time; }
  bool operator>(const SensorValue& o) const { return time > o.time; }
  bool operator>=(const SensorValue& o) const { return time >= o.time; }
  // Equal components and time; type, magnitude and quality are not compared.
  bool operator==(const SensorValue& o) const;
  bool operator!=(const SensorValue& o) const { return !(*this == o); }
};

// One transmitter of a floor (beacons.xml / locators.xml). Identity, order
// and uniqueness rest on the id text.
class Beacon {
 public:
  Beacon() = default;
  Beacon(const Beacon&) = default;
  Beacon(Beacon&&) = default;
  Beacon& operator=(const Beacon&) = default;
  Beacon& operator=(Beacon&&) = default;

  int getBaseId() const { return baseId_; }
  void setBaseId(int v) { baseId_ = v; }
  double getX() const { return x_; }
  void setX(double v) { x_ = v; }
  double getY() const { return y_; }
  void setY(double v) { y_ = v; }
  double getKX() const { return kx_; }
  void setKX(double v) { kx_ = v; }
  double getKY() const { return ky_; }
  void setKY(double v) { ky_ = v; }
  double getA() const { return a_; }
  void setA(double v) { a_ = v; }
  double getB() const { return b_; }
  void setB(double v) { b_ = v; }
  std::string getId() const { return id_; }
  void setBeaconId(const std::string& v) { id_ = v; }
  std::string getName() const { return name_; }
  void setBeaconName(const char* v) { name_ = v ? v : ""; }
  std::string getStatus() const { return status_; }
  void setStatus(const char* v) { status_ = v ? v : ""; }
  std::string getUuid() const { return uuid_; }
  void setUuid(const std::string& v) { uuid_ = v; }
  int getLocationId() const { return locationId_; }
  void setLocationId(int v) { locationId_ = v; }
  int getPower() const { return power_; }
  void setPower(int v) { power_ = v; }
  int getBattery() const { return battery_; }
  void setBattery(int v) { battery_ = v; }
  unsigned int getMajor() const { return major_; }
  void setMajor(unsigned int v) { major_ = v; }
  unsigned int getMinor() const { return minor_; }
  void setMinor(unsigned int v) { minor_ = v; }

  // Sets the four coordinates, the id and the name; `text` is not used.
  // Part of the interface; the readers fill beacons field by field.
  void fillData(double x, double y, double kx, double ky, const std::string& id,
                const std::string& name, const std::string& text);

  bool operator==(const Beacon& o) const { return id_ == o.id_; }
  bool operator!=(const Beacon& o) const { return id_ != o.id_; }
  bool operator<(const Beacon& o) const { return id_ < o.id_; }
  bool operator>(const Beacon& o) const { return !(*this < o); }

 private:
  int baseId_ = 0;
  double x_ = 0.0;
  double y_ = 0.0;
  double kx_ = 0.0;
  double ky_ = 0.0;
  double a_ = 0.0;
  double b_ = 0.0;
  std::string id_;
  std::string name_;
  std::string status_;
  std::string uuid_;
  int locationId_ = 0;
  int power_ = 0;
  int battery_ = 0;
  unsigned int major_ = 0;
  unsigned int minor_ = 0;
};

// One reading of a beacon. The beacon pointer is not owned (null until the
// reading is resolved against a floor's beacons).
class BeaconMeas {
 public:
  BeaconMeas() = default;
  // A null beacon gives an empty id.
  BeaconMeas(Beacon* beacon, double rssi, double distance);
  BeaconMeas(const BeaconMeas&) = default;
  BeaconMeas(BeaconMeas&&) = default;
  BeaconMeas& operator=(const BeaconMeas&) = default;
  BeaconMeas& operator=(BeaconMeas&&) = default;
  ~BeaconMeas() { beacon_ = nullptr; }

  std::string getBeaconId() const { return beaconId_; }
  void setBeaconId(const std::string& id) { beaconId_ = id; }
  double getRssi() const { return rssi_; }
  void setRssi(double v) { rssi_ = v; }
  double getDistance() const { return distance_; }
  void setDistance(double v) { distance_ = v; }
  double getPower() const { return power_; }
  void setPower(double v) { power_ = v; }
  double getBattery() const { return battery_; }
  void setBattery(double v) { battery_ = v; }
  void setBeaconPtr(const Beacon* beacon) { beacon_ = beacon; }
  // Prints a note on standard output when the reading is not resolved.
  // Part of the interface with its setter; the kit resolves readings by key.
  const Beacon* getBeaconPtr() const;

  // By rssi, equal rssi by distance.
  bool operator<(const BeaconMeas& o) const;
  bool operator>(const BeaconMeas& o) const;
  // Same beacon id (an empty id is reported on standard output).
  bool operator==(const BeaconMeas& o) const;
  bool operator!=(const BeaconMeas& o) const { return !(*this == o); }

 private:
  std::string beaconId_;
  const Beacon* beacon_ = nullptr;
  double rssi_ = 1.0;
  double distance_ = 0.0;
  double power_ = 0.0;
  double battery_ = 0.0;
};

// An RSSI histogram: level -> count, levels ascending and each level once,
// read like the std::map<int, int> it stands for (iteration yields
// (level, count) pairs; find, count, size, comparison with a std::map and
// conversion to one). The bins live in one exactly sized array: a radio map
// holds hundreds of thousands of histograms of a few bins each, and a tree
// node per bin cost several times the pair it holds.
class RssiHistogram {
 public:
  using key_type = int;
  using mapped_type = int;
  using value_type = std::pair<int, int>;
  using size_type = std::size_t;
  using const_iterator = const value_type*;
  using iterator = const_iterator;

  RssiHistogram() = default;
  // Implicit, so that a std::map can be handed wherever a histogram is taken.
  RssiHistogram(const std::map<int, int>& bins);
  RssiHistogram(const RssiHistogram& other);
  RssiHistogram(RssiHistogram&& other) noexcept;
  RssiHistogram& operator=(const RssiHistogram& other);
  RssiHistogram& operator=(RssiHistogram&& other) noexcept;
  ~RssiHistogram() = default;

  // Implicit, for callers that keep a std::map of their own.
  operator std::map<int, int>() const;

  const_iterator begin() const { return bins_.get(); }
  const_iterator end() const { return bins_.get() + size_; }
  size_type size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The bin of that level, or end().
  const_iterator find(int level) const;
  size_type count(int level) const { return find(level) != end() ? 1 : 0; }

  // Sets a level's count, adding the bin or overwriting an earlier count.
  void set(int level, int count);
  // Removes one bin; the iterator to the bin that followed it.
  const_iterator erase(const_iterator position);
  void clear();
  // Room for that many bins in all, so that as many set() calls in ascending
  // order allocate nothing further.
  void reserve(size_type bins);
  // Replaces every bin by the n given, as clear() and n set() calls in this
  // order would; levels in strictly ascending order (as a histogram text
  // lists them) are copied in one go, any other order goes bin by bin.
  void assign(const int* levels, const int* counts, size_type n);

  friend bool operator==(const RssiHistogram& a, const RssiHistogram& b);
  friend bool operator==(const RssiHistogram& a, const std::map<int, int>& b);
  friend bool operator==(const std::map<int, int>& a, const RssiHistogram& b) { return b == a; }
  friend bool operator!=(const RssiHistogram& a, const RssiHistogram& b) { return !(a == b); }
  friend bool operator!=(const RssiHistogram& a, const std::map<int, int>& b) { return !(a == b); }
  friend bool operator!=(const std::map<int, int>& a, const RssiHistogram& b) { return !(b == a); }

 private:
  void grow(size_type capacity);

  std::unique_ptr<value_type[]> bins_;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

// A transmitter as seen in the radio map or in a scan. Type 0 Wi-Fi, 1 BLE,
// 2 beacon, -1 not set. The histogram maps RSSI magnitudes (positive dBm) to
// the number of times seen.
class AccessPoint {
 public:
  AccessPoint() = default;
  AccessPoint(const AccessPoint&) = default;
  AccessPoint(AccessPoint&&) = default;
  AccessPoint& operator=(const AccessPoint&) = default;
  AccessPoint& operator=(AccessPoint&&) = default;

  // Empties texts and histogram, zeroes every number (type too); the
  // reference point index is kept.
  void clear();

  const std::string& getBssid() const;
  void setBssid(const std::string& v);
  // Takes a key text that other entries may share: a radio map repeats each
  // transmitter's key in thousands of entries. The text itself is never
  // changed through an entry, so sharing it keeps copies independent.
  void shareBssid(std::shared_ptr<const std::string> key) { bssid_ = std::move(key); }
  const std::string& getSsid() const { return ssid_; }
  void setSsid(const std::string& v) { ssid_ = v; }
  const RssiHistogram& getHistogram() const { return histogram_; }
  void setHistogram(const RssiHistogram& h) { histogram_ = h; }
  void setHistogram(const std::map<int, int>& h) { histogram_ = RssiHistogram(h); }
  const std::string& getDistribution() const { return distribution_; }
  void setDistribution(const std::string& v) { distribution_ = v; }
  void setDistribution(std::string&& v) { distribution_ = std::move(v); }
  double getRssi() const { return rssi_; }
  void setRssi(double v) { rssi_ = v; }
  double getVariance() const { return variance_; }
  int getMeasurementCount() const { return measurementCount_; }
  int getType() const { return type_; }
  void setType(int v) { type_ = v; }
  // Meaningful for beacons only; other types log a warning.
  double getDistance() const;
  void setDistance(double v) { distance_ = v; }
  double getFrequency() const { return frequency_; }
  void setFrequency(double v) { frequency_ = v; }
  int getBattery() const { return battery_; }
  void setBattery(int v) { battery_ = v; }
  double getPower() const { return power_; }
  void setPower(double v) { power_ = v; }
  double getTime() const { return time_; }
  void setTime(double v) { time_ = v; }
  const SensorTime& getTimeStamp() const { return timeStamp_; }
  void setTimeStamp(const SensorTime& t) { timeStamp_ = t; }
  int getRefPointIndex() const { return refPointIndex_; }
  void setRefPointIndex(int v) { refPointIndex_ = v; }

  // RssiHistogram text "key:count key:count ..." into the histogram and the
  // measurement count. 0, or 9 for a text that cannot hold a pair.
  int parseDistributionString();
  // Mean RSSI (negative) from the histogram, dropping impossible bins.
  // 0, or 9 when nothing usable is left or the mean is not negative.
  int calculateMeanRssi();
  // Sample variance of the histogram levels; always 0.
  int calculateVariance();

  // Identity and order rest on the bssid alone.
  bool operator==(const AccessPoint& o) const { return getBssid() == o.getBssid(); }
  bool operator!=(const AccessPoint& o) const { return getBssid() != o.getBssid(); }
  bool operator<(const AccessPoint& o) const { return getBssid() < o.getBssid(); }
  bool operator>(const AccessPoint& o) const { return !(*this < o); }

 private:
  // Ordered so that no padding sits between the fields: a radio map holds a
  // great many of these.
  std::shared_ptr<const std::string> bssid_;  // null: empty
  std::string ssid_;
  RssiHistogram histogram_;
  std::string distribution_;
  double rssi_ = 0.0;
  double variance_ = 0.0;
  double distance_ = 0.0;
  double frequency_ = 0.0;
  double power_ = 0.0;
  double time_ = 0.0;
  int measurementCount_ = 0;
  int type_ = -1;
  int battery_ = 0;
  int refPointIndex_ = 0;
  SensorTime timeStamp_;
};

// A plain 2-D point in metres.
struct NavPoint {
  double x = 0.0;
  double y = 0.0;

  NavPoint() = default;
  NavPoint(const double& px, const double& py) : x(px), y(py) {}

  bool operator==(const NavPoint& o) const { return x == o.x && y == o.y; }
  bool operator!=(const NavPoint& o) const { return !(*this == o); }
  NavPoint operator+(const NavPoint& o) const { return NavPoint(x + o.x, y + o.y); }
  NavPoint operator-(const NavPoint& o) const { return NavPoint(x - o.x, y - o.y); }
  NavPoint operator*(double k) const { return NavPoint(x * k, y * k); }
  NavPoint operator/(double k) const { return NavPoint(x / k, y / k); }
  NavPoint& operator+=(const NavPoint& o) {
    x += o.x;
    y += o.y;
    return *this;
  }
  NavPoint& operator-=(const NavPoint& o) {
    x -= o.x;
    y -= o.y;
    return *this;
  }
  NavPoint& operator*=(double k) {
    x *= k;
    y *= k;
    return *this;
  }
  NavPoint& operator/=(double k) {
    x /= k;
    y /= k;
    return *this;
  }
};
