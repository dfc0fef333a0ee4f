// Output smoothing of the tracked solution: one independent channel per
// quantity (x, y, radius, ...). Each channel fits a low-degree polynomial to
// its last seconds of samples, evaluates it a fixed lag behind the query time
// and blends that exponentially with its previous output.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <deque>
#include <vector>

// One smoothed quantity.
class SmoothingInfo {
 public:
  SmoothingInfo();

  // Adds a sample. Repeats of the last value or the last time are dropped, as
  // are non-finite values and times.
  void addData(double value, double time);
  // Smoothed value at `time`; -1.0 while the channel is empty.
  double getValue(double time);
  // Slope of the fitted polynomial at `time` (no lag applied).
  double getVelocity(double time) const;
  // Drops samples older than `window` seconds before the newest one.
  void checkHistoryLen();
  // Least-squares fit of `order` degree to the stored samples. 0, or -1 when
  // the system is singular; then the mean of the stored values is used as a
  // constant polynomial so that no undefined value is produced.
  int getLeastSquaresCoeff();
  // Interpolating polynomial through the stored samples at time - lag.
  double getLagrangeSolution(double time) const;
  // Fitted polynomial at time - lag, without blending.
  double getLeastSquaresSolution(double time) const;
  // Empties the history; order, window, lag and the last output are kept.
  void clear();

  void setOrder(int order);
  // Constant-velocity tracking by elapsed time instead of the polynomial
  // fit blended 4:1 once per call (whose lag grows with the spacing of the
  // calls): q > 0 is the spectral density of the walker's acceleration
  // (m^2/s^3); the noise of the samples is learnt from the track itself, so
  // a noisy track is smoothed hard and a clean one followed closely. The
  // value between samples is read ahead along the tracked velocity. 0
  // switches it off.
  void setTracking(double q) { trackQ_ = q > 0.0 && std::isfinite(q) ? q : 0.0; }
  // How far (seconds, 0 to 1) the tracked value is read ahead along the
  // velocity; 1 unless set. With the radio alone the velocity is mostly the
  // fixes' scatter, and reading ahead along it adds noise rather than
  // taking out lag.
  void setReadAhead(double seconds) {
    readAhead_ = std::isfinite(seconds) ? std::clamp(seconds, 0.0, 1.0) : 1.0;
  }
  double getReadAhead() const { return readAhead_; }
  size_t size() const { return values_.size(); }

 private:
  int order_ = 1;
  double window_ = 2.0;
  double lag_ = 0.7;
  double lastValue_;
  // No time compares equal to NaN, so the first sample is never taken for
  // a repeat, whatever its time.
  double lastTime_;
  double lastOutput_ = 0.0;
  double trackQ_ = 0.0;
  double readAhead_ = 1.0;
  struct Track {
    bool started = false;
    double t = 0.0, p = 0.0, v = 0.0;
    double p00 = 0.0, p01 = 0.0, p11 = 0.0;  // covariance of (p, v)
    double r = 1.0;                          // sample noise variance, learnt
  } track_;
  void trackSample(double value, double time);
  std::deque<double> values_;
  std::deque<double> times_;
  std::vector<double> coefficients_;
};

// The five channels of a navigation client; the engine feeds 0 (x), 1 (y)
// and 2 (radius).
class Smoothing {
 public:
  typedef int dataType;
  static constexpr int kChannels = 5;

  // A type outside 0..4 is ignored.
  void addData(dataType type, double value, double time);
  // 0.0 for a type outside 0..4.
  double getValue(dataType type, double time);
  double getVelocity(dataType type, double time) const;
  void clear();
  // Constant-velocity tracking on every channel (see SmoothingInfo).
  void setTracking(double q);
  void setReadAhead(double seconds);

  // Solves the n x n system A x = b (A row by row) by Givens rotations and
  // back substitution. 0, or -1 for a singular or malformed system (x is then
  // left as n zeros).
  static int solveLinearSystem(const std::vector<double>& A, const std::vector<double>& b,
                               std::vector<double>& x, int n);

  SmoothingInfo& channel(dataType type) { return channels_[type]; }
  const SmoothingInfo& channel(dataType type) const { return channels_[type]; }

 private:
  SmoothingInfo channels_[kChannels];
};
