#include "wifipos/sensor_value.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>

#include "server/utils.h"

namespace {

const int kLogError = 11;
const int kLogWarning = 12;

// atoi over the characters [begin, end) without its undefined behaviour on
// overflow: leading white space and a sign, then the leading digits; values
// beyond int are clamped, text without digits gives 0.
int ToIntClamped(const char* begin, const char* end) {
  const char* p = begin;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  int64_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (v <= INT_MAX) v = v * 10 + (*p - '0');  // stops growing once out of range
  }
  if (negative) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

// ---------------------------------------------------------------- SensorTime

SensorTime::SensorTime(double seconds) {
  // Also refuses NaN and times the seconds cannot hold, whose conversion
  // would be undefined.
  if (!(seconds >= 0.0)) {
    MV_LOG(kLogError, "ERROR: unix time < 0\n");
    return;
  }
  if (seconds >= 9.2e18) {
    MV_LOG(kLogError, "ERROR: unix time too large: %f\n", seconds);
    return;
  }
  sec = static_cast<uint64_t>(seconds);
  unsigned int thousandths = static_cast<unsigned int>((seconds - sec) * 1000.0);
  ms = thousandths > 999 ? 999 : thousandths;
}

void SensorTime::setTime(int64_t seconds, int64_t millis) {
  if (seconds < 0) {
    MV_LOG(kLogError, "ERROR: unix time < 0\n");
    return;
  }
  // Keeps the carry of the milliseconds below from overflowing.
  constexpr int64_t kLimit = int64_t{1} << 61;
  if (seconds > kLimit || millis > kLimit || millis < -kLimit) {
    MV_LOG(kLogError, "ERROR: unix time too large\n");
    return;
  }
  int64_t s = seconds;
  int64_t m = millis;
  if (m >= 1000) {
    s += m / 1000;
    m %= 1000;
  } else if (m < 0) {
    int64_t borrow = (-m + 999) / 1000;
    if (borrow > s) {
      MV_LOG(kLogError, "ERROR: time diff = %lld > unixTime = %lld\n",
             static_cast<long long>(borrow), static_cast<long long>(seconds));
      sec = static_cast<uint64_t>(seconds);
      return;
    }
    s -= borrow;
    m += borrow * 1000;
  }
  sec = static_cast<uint64_t>(s);
  ms = static_cast<unsigned int>(m);
}

SensorTime SensorTime::operator-(const SensorTime& other) const {
  if (*this < other) {
    MV_LOG(kLogError,
           "ERROR: Other time is more than current. Can't subtract correctly. You should "
           "subtract less time!\n");
    return *this;
  }
  SensorTime d;
  d.sec = sec - other.sec;
  if (ms < other.ms) {
    d.sec -= 1;
    d.ms = ms + 1000 - other.ms;
  } else {
    d.ms = ms - other.ms;
  }
  return d;
}

SensorTime SensorTime::minusSeconds(uint64_t seconds) const {
  if (seconds > sec) {
    MV_LOG(kLogError,
           "ERROR: Can't subtract time. Sec = %llud > mUnixTIme = %llud You can't subtract time "
           "that is bigger than current one\n",
           static_cast<unsigned long long>(seconds), static_cast<unsigned long long>(sec));
    return *this;
  }
  return SensorTime(sec - seconds, ms);
}

// --------------------------------------------------------------- SensorValue

void SensorValue::calcMagnitude() { magnitude = std::sqrt(x * x + y * y + z * z); }

double SensorValue::getAbsTimeDifInSec(const SensorValue& a, const SensorValue& b) {
  if (a.time == b.time) return 0.0;
  // Whole seconds and milliseconds apart, so large epoch values lose nothing.
  double secs = static_cast<double>(static_cast<int64_t>(a.time.sec) - b.time.sec);
  double millis = static_cast<double>(static_cast<int64_t>(a.time.ms) - b.time.ms);
  return std::fabs(secs + millis / 1000.0);
}

std::string SensorValue::getSensorString() const {
  char head[64];
  std::string out;
  int n = std::snprintf(nullptr, 0,
                        "Sensor type=%d X=%lf Y=%lf Z=%lf Magnitude=%lf FilteredMagn=%lf "
                        "Quality=%lf ",
                        type, x, y, z, magnitude, filteredMagnitude, quality);
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::snprintf(out.data(), out.size(),
                  "Sensor type=%d X=%lf Y=%lf Z=%lf Magnitude=%lf FilteredMagn=%lf Quality=%lf ",
                  type, x, y, z, magnitude, filteredMagnitude, quality);
    out.resize(static_cast<size_t>(n));
  }
  std::snprintf(head, sizeof head, "unixTime sec=%llu millisec=%u",
                static_cast<unsigned long long>(time.sec), time.ms);
  out += head;
  return out;
}

SensorValue SensorValue::operator+(const SensorValue& other) const {
  if (type != other.type) {
    MV_LOG(kLogError,
           "Error: can't concatinate measurements with different type. Exception will be "
           "thrown\n");
  }
  SensorValue sum(*this);
  sum.x += other.x;
  sum.y += other.y;
  sum.z += other.z;
  sum.magnitude += other.magnitude;
  sum.filteredMagnitude += other.filteredMagnitude;
  sum.quality += other.quality;
  sum.time.sec = time.sec + other.time.sec;
  sum.time.ms = time.ms + other.time.ms;
  if (sum.time.ms > 999) {
    sum.time.sec += 1;
    sum.time.ms -= 1000;
  }
  return sum;
}

SensorValue& SensorValue::operator+=(const SensorValue& other) {
  *this = *this + other;
  return *this;
}

SensorValue SensorValue::operator/(double) const { return *this; }

SensorValue& SensorValue::operator/=(double) { return *this; }

bool SensorValue::operator==(const SensorValue& o) const {
  return x == o.x && y == o.y && z == o.z && time == o.time;
}

// -------------------------------------------------------------------- Beacon

void Beacon::fillData(double x, double y, double kx, double ky, const std::string& id,
                      const std::string& name, const std::string& /*text*/) {
  x_ = x;
  y_ = y;
  kx_ = kx;
  ky_ = ky;
  id_ = id;
  name_ = name;
}

// ---------------------------------------------------------------- BeaconMeas

BeaconMeas::BeaconMeas(Beacon* beacon, double rssi, double distance)
    : beaconId_(beacon ? beacon->getId() : std::string()),
      beacon_(beacon),
      rssi_(rssi),
      distance_(distance) {}

const Beacon* BeaconMeas::getBeaconPtr() const {
  if (beacon_ == nullptr) std::printf("beaconId = %s : mBeaconPtr == NULL\n", beaconId_.c_str());
  return beacon_;
}

bool BeaconMeas::operator<(const BeaconMeas& o) const {
  if (rssi_ != o.rssi_) return rssi_ < o.rssi_;
  return distance_ < o.distance_;
}

bool BeaconMeas::operator>(const BeaconMeas& o) const {
  if (rssi_ != o.rssi_) return rssi_ > o.rssi_;
  return distance_ > o.distance_;
}

bool BeaconMeas::operator==(const BeaconMeas& o) const {
  if (beaconId_.empty() || o.beaconId_.empty()) std::printf("ERROR: id is empty");
  return beaconId_ == o.beaconId_;
}

// ----------------------------------------------------------------- RssiHistogram

RssiHistogram::RssiHistogram(const std::map<int, int>& bins) {
  reserve(bins.size());
  for (const auto& [level, count] : bins) bins_[size_++] = {level, count};
}

RssiHistogram::RssiHistogram(const RssiHistogram& other) {
  reserve(other.size_);
  std::copy(other.begin(), other.end(), bins_.get());
  size_ = other.size_;
}

RssiHistogram::RssiHistogram(RssiHistogram&& other) noexcept
    : bins_(std::move(other.bins_)), size_(other.size_), capacity_(other.capacity_) {
  other.size_ = 0;
  other.capacity_ = 0;
}

RssiHistogram& RssiHistogram::operator=(const RssiHistogram& other) {
  if (this != &other) *this = RssiHistogram(other);
  return *this;
}

RssiHistogram& RssiHistogram::operator=(RssiHistogram&& other) noexcept {
  if (this != &other) {
    bins_ = std::move(other.bins_);
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.size_ = 0;
    other.capacity_ = 0;
  }
  return *this;
}

RssiHistogram::operator std::map<int, int>() const {
  std::map<int, int> out;
  for (const value_type& bin : *this) out.emplace_hint(out.end(), bin.first, bin.second);
  return out;
}

RssiHistogram::const_iterator RssiHistogram::find(int level) const {
  const_iterator it = std::lower_bound(
      begin(), end(), level, [](const value_type& bin, int l) { return bin.first < l; });
  return it != end() && it->first == level ? it : end();
}

void RssiHistogram::set(int level, int count) {
  value_type* first = bins_.get();
  value_type* last = first + size_;
  // Levels mostly arrive ascending: append without a search.
  value_type* at = size_ == 0 || last[-1].first < level
                       ? last
                       : std::lower_bound(first, last, level, [](const value_type& bin, int l) {
                           return bin.first < l;
                         });
  if (at != last && at->first == level) {
    at->second = count;
    return;
  }
  const size_type offset = static_cast<size_type>(at - first);
  if (size_ == capacity_) {
    grow(capacity_ < 4 ? 4 : static_cast<size_type>(capacity_) * 2);
    first = bins_.get();
  }
  std::move_backward(first + offset, first + size_, first + size_ + 1);
  first[offset] = {level, count};
  ++size_;
}

RssiHistogram::const_iterator RssiHistogram::erase(const_iterator position) {
  value_type* first = bins_.get();
  const size_type offset = static_cast<size_type>(position - first);
  std::move(first + offset + 1, first + size_, first + offset);
  --size_;
  return bins_.get() + offset;
}

void RssiHistogram::clear() {
  bins_.reset();
  size_ = 0;
  capacity_ = 0;
}

void RssiHistogram::reserve(size_type bins) {
  if (bins > capacity_) grow(bins);
}

void RssiHistogram::assign(const int* levels, const int* counts, size_type n) {
  clear();
  reserve(n);
  size_type i = 0;
  for (; i < n && (i == 0 || levels[i - 1] < levels[i]); ++i) bins_[i] = {levels[i], counts[i]};
  size_ = static_cast<std::uint32_t>(i);
  for (; i < n; ++i) set(levels[i], counts[i]);
}

void RssiHistogram::grow(size_type capacity) {
  std::unique_ptr<value_type[]> bigger(new value_type[capacity]);
  if (size_ > 0) std::copy(begin(), end(), bigger.get());
  bins_ = std::move(bigger);
  capacity_ = static_cast<std::uint32_t>(capacity);
}

bool operator==(const RssiHistogram& a, const RssiHistogram& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool operator==(const RssiHistogram& a, const std::map<int, int>& b) {
  if (a.size() != b.size()) return false;
  auto it = b.begin();
  for (const RssiHistogram::value_type& bin : a) {
    if (bin.first != it->first || bin.second != it->second) return false;
    ++it;
  }
  return true;
}

// --------------------------------------------------------------- AccessPoint

void AccessPoint::clear() {
  const int keepIndex = refPointIndex_;
  *this = AccessPoint();
  type_ = 0;
  refPointIndex_ = keepIndex;
}

const std::string& AccessPoint::getBssid() const {
  static const std::string kNone;
  return bssid_ ? *bssid_ : kNone;
}

void AccessPoint::setBssid(const std::string& v) {
  bssid_ = v.empty() ? nullptr : std::make_shared<const std::string>(v);
}

double AccessPoint::getDistance() const {
  if (type_ != 2) MV_LOG(kLogWarning, "Warning: there is no distance at non beacon AP type!\n");
  return distance_;
}

int AccessPoint::parseDistributionString() {
  const std::string& text = distribution_;
  if (text.size() < 3 || text.find(':') == std::string::npos) {
    MV_LOG(kLogError, "Bad distribution string %s \n", text.c_str());
    return 9;
  }
  // A second parse replaces the first: the histogram and its count must agree.
  histogram_.clear();
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  // The bins are gathered in a small table and go into the histogram once it
  // has room for them all: one allocation, and no pass counting colons.
  // Levels are magnitudes below 128, so only a damaged text fills the table;
  // its further bins go straight into the histogram.
  constexpr size_t kGathered = 128;
  int levels[kGathered];  // left unset: only the first n are read
  int counts[kGathered];
  size_t n = 0;
  bool direct = false;
  int64_t total = 0;
  const char* p = begin;
  while (p < end) {
    // A sound pair is up to nine digits, a colon, up to nine digits and a
    // blank or the end: read while scanning. The text ends in a zero byte,
    // which is no digit, so the digit loops need no bound. Any other piece is
    // read by the general rules.
    const char* colon = p;
    unsigned level = 0;
    while (static_cast<unsigned>(*colon - '0') <= 9) level = level * 10 + (*colon++ - '0');
    int key = static_cast<int>(level);
    if (colon == p || colon - p > 9 || *colon != ':') {
      while (colon < end && *colon != ':') ++colon;
      if (colon == end) break;
      key = ToIntClamped(p, colon);
    }
    const char* stop = colon + 1;
    unsigned samples = 0;
    while (static_cast<unsigned>(*stop - '0') <= 9) samples = samples * 10 + (*stop++ - '0');
    int count = static_cast<int>(samples);
    if (stop == colon + 1 || stop - colon > 10 || (stop < end && *stop != ' ')) {
      while (stop < end && *stop != ' ') ++stop;
      count = ToIntClamped(colon + 1, stop);
    }
    if (direct) {
      histogram_.set(key, count);
    } else {
      levels[n] = key;
      counts[n++] = count;
      if (n == kGathered) {
        histogram_.assign(levels, counts, n);
        direct = true;
      }
    }
    total += count;
    if (stop == end) break;
    p = stop + 1;
  }
  if (!direct) histogram_.assign(levels, counts, n);
  if (total > INT_MAX) total = INT_MAX;
  if (total < INT_MIN) total = INT_MIN;
  measurementCount_ = static_cast<int>(total);
  return 0;
}

int AccessPoint::calculateMeanRssi() {
  double sum = 0.0;
  int64_t n = 0;
  for (auto it = histogram_.begin(); it != histogram_.end();) {
    if (it->first <= 0 || it->first == 127) {
      MV_LOG(kLogError, "ERROR: bad measurement in histogram == %d\n", it->first);
      it = histogram_.erase(it);
      continue;
    }
    sum += static_cast<double>(it->first) * it->second;
    n += it->second;
    ++it;
  }
  if (n == 0) {
    MV_LOG(kLogError, "ERROR: Bad histogramm. nMeasurements == 0\n");
    return 9;
  }
  rssi_ = -(sum / static_cast<double>(n));
  if (!(rssi_ < 0.0)) {
    MV_LOG(kLogError, "ERROR mean calculated from distribution >= 0\ncheck distribution: %s\n",
           distribution_.c_str());
    return 9;
  }
  return 0;
}

int AccessPoint::calculateVariance() {
  double s1 = 0.0;
  double s2 = 0.0;
  int64_t n = 0;
  for (const auto& [key, count] : histogram_) {
    s1 += static_cast<double>(key) * count;
    s2 += static_cast<double>(key) * key * count;
    n += count;
  }
  if (n == 0) {
    MV_LOG(kLogError, "nOfMeasurements in calc Variance == 0\n");
    variance_ = 0.0;
    return 0;
  }
  if (n < 3) {
    variance_ = 0.0;
    return 0;
  }
  double q = s2 - s1 * s1 / static_cast<double>(n);
  variance_ = q / static_cast<double>(n - 1);
  return 0;
}
