#include "wifipos/motion/smoothing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "server/utils.h"

namespace {

constexpr double kClearedValue = -777777.7;

double EvalPolynomial(const std::vector<double>& c, int order, double t) {
  double sum = 0.0;
  double power = 1.0;
  for (int k = 0; k <= order && k < static_cast<int>(c.size()); ++k) {
    sum += c[k] * power;
    power *= t;
  }
  return sum;
}

}  // namespace

SmoothingInfo::SmoothingInfo()
    : lastValue_(kClearedValue), lastTime_(std::numeric_limits<double>::quiet_NaN()) {}

void SmoothingInfo::setOrder(int order) {
  order_ = order;
  coefficients_.clear();
  if (!values_.empty() && order_ >= 0) {
    coefficients_.assign(order_ + 1, 0.0);
    if (static_cast<int>(values_.size()) > order_) getLeastSquaresCoeff();
  }
}

void SmoothingInfo::addData(double value, double time) {
  if (!std::isfinite(value) || !std::isfinite(time)) {
    // One undefined sample would poison every fit for a whole window.
    MV_LOG(11, "WARNING: non-finite smoothing sample value = %lf time = %lf dropped\n", value,
           time);
    return;
  }
  if (values_.empty()) coefficients_.assign(order_ >= 0 ? order_ + 1 : 0, 0.0);
  if (value == lastValue_ || time == lastTime_) return;
  values_.push_back(value);
  times_.push_back(time);
  lastValue_ = value;
  lastTime_ = time;
  if (trackQ_ > 0.0) trackSample(value, time);
  checkHistoryLen();
  if (static_cast<int>(values_.size()) > order_) getLeastSquaresCoeff();
}

void SmoothingInfo::checkHistoryLen() {
  while (times_.size() > 1 && times_.back() - times_.front() > window_) {
    times_.pop_front();
    values_.pop_front();
  }
}

int SmoothingInfo::getLeastSquaresCoeff() {
  if (order_ < 0 || values_.empty()) return -1;
  const int m = order_ + 1;
  std::vector<double> powerSums(2 * order_ + 1, 0.0);
  std::vector<double> b(m, 0.0);
  for (size_t i = 0; i < times_.size(); ++i) {
    double p = 1.0;
    for (int k = 0; k <= 2 * order_; ++k) {
      powerSums[k] += p;
      if (k < m) b[k] += p * values_[i];
      p *= times_[i];
    }
  }
  std::vector<double> A(m * m);
  for (int j = 0; j < m; ++j)
    for (int k = 0; k < m; ++k) A[j * m + k] = powerSums[j + k];
  // Fewer distinct times than coefficients leave the fit undetermined; the
  // rounding of such a system would hand back arbitrary huge coefficients.
  std::vector<double> distinct(times_.begin(), times_.end());
  std::sort(distinct.begin(), distinct.end());
  const long nDistinct = std::unique(distinct.begin(), distinct.end()) - distinct.begin();
  std::vector<double> c;
  if (nDistinct < m || Smoothing::solveLinearSystem(A, b, c, m) != 0) {
    double mean = 0.0;
    for (double v : values_) mean += v;
    mean /= static_cast<double>(values_.size());
    coefficients_.assign(m, 0.0);
    coefficients_[0] = mean;
    MV_LOG(11, "WARNING: singular smoothing fit, the mean of %d samples is used\n",
           static_cast<int>(values_.size()));
    return -1;
  }
  coefficients_ = c;
  return 0;
}

void SmoothingInfo::trackSample(double value, double time) {
  Track& k = track_;
  if (!k.started || !(time > k.t)) {
    if (!k.started) {
      k = Track();
      k.started = true;
      k.p = value;
      k.p00 = k.r;
      k.p11 = 1.0;  // a walker's speed, (m/s)^2
      k.t = time;
    }
    return;
  }
  const double dt = time - k.t;
  // Predict.
  k.p += k.v * dt;
  const double q = trackQ_;
  const double p00 = k.p00 + dt * (2.0 * k.p01 + dt * k.p11) + q * dt * dt * dt / 3.0;
  const double p01 = k.p01 + dt * k.p11 + q * dt * dt / 2.0;
  const double p11 = k.p11 + q * dt;
  // Update with the sample; its noise is learnt from the innovations that
  // the prediction cannot explain.
  const double innovation = value - k.p;
  constexpr double kLearn = 0.1;
  constexpr double kLeastNoise = 0.05;  // m^2
  k.r = std::max(kLeastNoise, (1.0 - kLearn) * k.r + kLearn * (innovation * innovation - p00));
  const double sv = p00 + k.r;
  const double g0 = p00 / sv;
  const double g1 = p01 / sv;
  k.p += g0 * innovation;
  k.v += g1 * innovation;
  k.p00 = (1.0 - g0) * p00;
  k.p01 = (1.0 - g0) * p01;
  k.p11 = p11 - g1 * p01;
  k.t = time;
}

double SmoothingInfo::getValue(double time) {
  const size_t n = values_.size();
  if (n == 0) return -1.0;
  if (trackQ_ > 0.0 && track_.started) {
    // Read ahead along the tracked velocity, at most readAhead_ seconds:
    // between samples the walker goes on.
    const double ahead = std::clamp(time - track_.t, 0.0, readAhead_);
    const double result = track_.p + track_.v * ahead;
    if (std::isfinite(result)) {
      lastOutput_ = result;
      return result;
    }
  }
  double result;
  if (n == 1 || static_cast<int>(n) <= order_) {
    result = getLagrangeSolution(time);
  } else {
    const double p = EvalPolynomial(coefficients_, order_, time - lag_);
    result = 0.8 * lastOutput_ + 0.2 * p;
  }
  if (!std::isfinite(result)) {
    // Only reachable with a non-finite query time; keep the last good output.
    MV_LOG(11, "WARNING: non-finite smoothed value at time %lf\n", time);
    return lastOutput_;
  }
  lastOutput_ = result;
  return result;
}

double SmoothingInfo::getLagrangeSolution(double time) const {
  const size_t n = values_.size();
  if (n == 0) return 0.0;
  if (n == 1) return values_[0];
  const double t = time - lag_;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    double term = values_[i];
    for (size_t j = 0; j < n; ++j) {
      if (j == i) continue;
      const double d = times_[i] - times_[j];
      // Equal times far apart in the history cannot be interpolated through.
      if (d == 0.0) return values_.back();
      term *= (t - times_[j]) / d;
    }
    sum += term;
  }
  return sum;
}

double SmoothingInfo::getLeastSquaresSolution(double time) const {
  if (order_ < 0) return 0.0;
  return EvalPolynomial(coefficients_, order_, time - lag_);
}

double SmoothingInfo::getVelocity(double time) const {
  if (order_ < 1) return 0.0;
  double sum = 0.0;
  double power = 1.0;
  for (int k = 1; k <= order_ && k < static_cast<int>(coefficients_.size()); ++k) {
    sum += k * coefficients_[k] * power;
    power *= time;
  }
  return sum;
}

void SmoothingInfo::clear() {
  lastValue_ = kClearedValue;
  values_.clear();
  times_.clear();
  coefficients_.clear();
  track_ = Track();
}

void Smoothing::addData(dataType type, double value, double time) {
  if (type < 0 || type >= kChannels) return;
  channels_[type].addData(value, time);
}

double Smoothing::getValue(dataType type, double time) {
  if (type < 0 || type >= kChannels) return 0.0;
  return channels_[type].getValue(time);
}

double Smoothing::getVelocity(dataType type, double time) const {
  if (type < 0 || type >= kChannels) return 0.0;
  return channels_[type].getVelocity(time);
}

void Smoothing::clear() {
  for (SmoothingInfo& c : channels_) c.clear();
}

void Smoothing::setTracking(double q) {
  for (SmoothingInfo& c : channels_) c.setTracking(q);
}

void Smoothing::setReadAhead(double seconds) {
  for (SmoothingInfo& c : channels_) c.setReadAhead(seconds);
}

int Smoothing::solveLinearSystem(const std::vector<double>& A, const std::vector<double>& b,
                                 std::vector<double>& x, int n) {
  x.assign(n > 0 ? n : 0, 0.0);
  if (n <= 0 || A.size() < static_cast<size_t>(n) * n || b.size() < static_cast<size_t>(n))
    return -1;
  const int w = n + 1;
  std::vector<double> M(static_cast<size_t>(n) * w);
  double scale = 0.0;
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < n; ++k) {
      M[i * w + k] = A[i * n + k];
      scale = std::max(scale, std::fabs(A[i * n + k]));
    }
    M[i * w + n] = b[i];
  }
  if (!(scale > 0.0) || !std::isfinite(scale)) return -1;
  for (int j = 0; j < n; ++j) {
    for (int k = j + 1; k < n; ++k) {
      const double a = M[j * w + j];
      const double c0 = M[k * w + j];
      const double r = std::sqrt(a * a + c0 * c0);
      if (r == 0.0) continue;  // column already zero below the diagonal
      const double c = a / r;
      const double s = c0 / r;
      for (int col = j; col <= n; ++col) {
        const double rj = M[j * w + col];
        const double rk = M[k * w + col];
        M[j * w + col] = c * rj + s * rk;
        M[k * w + col] = c * rk - s * rj;
      }
    }
  }
  std::vector<double> sol(n, 0.0);
  for (int i = n - 1; i >= 0; --i) {
    const double d = M[i * w + i];
    if (d == 0.0) return -1;
    double sum = M[i * w + n];
    for (int k = i + 1; k < n; ++k) sum -= M[i * w + k] * sol[k];
    sol[i] = sum / d;
    if (!std::isfinite(sol[i])) return -1;
  }
  x = sol;
  return 0;
}
