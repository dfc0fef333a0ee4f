#include "wifipos/motion/sensor_fusion.h"

#include <algorithm>
#include <cmath>

#include "server/utils.h"
#include "wifipos/motion/attitude.h"

namespace {

constexpr double kMaxSampleGap = 0.1;      // s, slower streams are reported
constexpr double kAccMagnMaxSkew = 0.1;    // s between paired acc and magn samples
constexpr double kMinGyroRate = 0.0001;    // rad/s, slower counts as no rotation
constexpr double kAutoClearSpan = 4.0;     // s, trimming starts beyond this span
constexpr double kAutoClearKeep = 2.0;     // s kept when trimming
constexpr double kRotationWindow = 0.3;    // s of gyroscope looked at for turning
constexpr double kRotationThreshold = 1.5;
constexpr double kMinBasisNorm = 0.1;
// Tilt correction while the user moves: the walking accelerations average
// out over a few strides, so gravity still shows through.
constexpr double kMovingTiltTime = 2.0;      // s
// Longer gaps between accelerometer samples get no correction.
constexpr double kMaxCorrectionGap = 1.0;    // s
// The field averaged over this many samples of a stop steers the heading.
constexpr unsigned int kMinStillMagnSamples = 10;
// A still stretch this long gives one reading of the gyroscope's bias; a
// larger mean rate is a slow turn, not bias.
constexpr double kBiasStretch = 1.0;         // s
constexpr double kMaxGyroBias = 0.03;        // rad/s
// Spread of the rate around its mean, beyond which the device moves (a hand
// holding a phone still trembles well below it, a walking one sways above).
constexpr double kMaxStillSpread = 0.04;     // rad/s
// Samples' worth of earlier readings the bias keeps, so it can follow drift.
constexpr double kBiasMemory = 3000.0;
// Once the magnetometer's offset is known, the field pulls the heading while
// walking with this time constant: slow, as a building's steel bends the
// field here and there.
constexpr double kMovingHeadingTime = 10.0;  // s
// Headings kept for steps detected late: a step is queued at most the
// pedometer's step time-out after it began.
constexpr double kBearingHistory = 3.0;      // s

double Seconds(const SensorValue& v) { return v.getTimeInSeconds(); }

bool IsFinite(const SensorValue& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

double WrapAngle(double a) {
  double r = a - 2.0 * M_PI * std::floor((a + M_PI) / (2.0 * M_PI));
  if (r >= M_PI) r -= 2.0 * M_PI;
  if (r < -M_PI) r += 2.0 * M_PI;
  return r;
}

void Cross(const double* a, const double* b, double* out) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

double Norm3(const double* v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// Running mean of x, y, z; `count` already includes the new sample.
void AddToMean(SensorValue& mean, const SensorValue& s, unsigned int count) {
  const double k = 1.0 / count;
  mean.x += (s.x - mean.x) * k;
  mean.y += (s.y - mean.y) * k;
  mean.z += (s.z - mean.z) * k;
  mean.type = s.type;
  mean.time = s.time;
  mean.calcMagnitude();
}

}  // namespace

int SensorFusion::updateMeasurements(std::vector<SensorValue>& values) {
  if (values.empty()) {
    MV_LOG(11, "new measurement vector size = 0\n");
    return -1;
  }
  std::stable_sort(values.begin(), values.end(),
                   [](const SensorValue& a, const SensorValue& b) { return a.time < b.time; });
  for (SensorValue& v : values) updateMeasurement(v);
  updateOrientation();
  return 0;
}

int SensorFusion::checkTimeAndDuplicates(const std::deque<SensorValue>& stream,
                                         const SensorValue& s, const char* name) {
  if (stream.empty()) return 0;
  const SensorValue& last = stream.back();
  if (s.time < last.time) {
    MV_LOG(11,
           "ERROR: %s with bigger time was filled before %s with less time\n You should fill "
           "the time in ascending order\nX=%lf Y=%lf Z=%lf time = %lf\n",
           name, name, s.x, s.y, s.z, Seconds(s));
    MV_LOG(11, "Previous accel X=%lf Y=%lf Z=%lf time = %lf\n", last.x, last.y, last.z,
           Seconds(last));
    return -1;
  }
  if (s == last) {
    MV_LOG(11, "Warning: duplicate %s measurement\nX=%lf Y=%lf Z=%lf time = %lf\n", name, s.x,
           s.y, s.z, Seconds(s));
    return -1;
  }
  return 0;
}

void SensorFusion::estimateSampleRate(const std::deque<SensorValue>& stream, double& period,
                                      const char* name) {
  if (stream.size() < 2) return;
  period = (Seconds(stream.back()) - Seconds(stream.front())) / stream.size();
  const double last = Seconds(stream.back()) - Seconds(stream[stream.size() - 2]);
  if (last > kMaxSampleGap)
    MV_LOG(11,
           "Warning: Frequency of %s sample is less than %lf seconds\nThe time between last two "
           "measurements = %lf\n",
           name, kMaxSampleGap, last);
}

int SensorFusion::updateMeasurement(SensorValue& s) {
  if (s.time.sec == 0 && s.time.ms == 0) {
    MV_LOG(11, "ERROR: bad sensorMeasurement time = %lf. It should be > 0\n", Seconds(s));
    return -1;
  }
  if (!IsFinite(s)) {
    // One undefined sample would stay in the orientation for the whole session.
    MV_LOG(11, "ERROR: non-finite sensor sample of type %d dropped\n", s.type);
    return -1;
  }
  s.calcMagnitude();
  // A gyroscope at rest may report exact zeros; that is "no rotation", not a
  // broken sample. Gravity and the earth's field are never zero.
  if (s.magnitude == 0.0 && s.type != 103) {
    MV_LOG(11,
           "WARNING: magnitude of measurement is 0, that's strange. Measurement will be "
           "skipped\n");
    return -1;
  }
  switch (s.type) {
    case 101: {
      hasAcc_ = true;
      if (checkTimeAndDuplicates(accelerations_, s, "acceleration") != 0) return -1;
      accelerations_.push_back(s);
      estimateSampleRate(accelerations_, accPeriod_, "acceleration");
      lowPassFilter(accelerations_, gravity_);
      if (motionState_ == 0) AddToMean(accAverage_, s, ++accAverageCount_);
      clearOldMeasurements(accelerations_, &gravity_, accIndex_);
      break;
    }
    case 102: {
      hasMagn_ = true;
      if (checkTimeAndDuplicates(magnetometer_, s, "magnetometer") != 0) return -1;
      magnetometer_.push_back(s);
      estimateSampleRate(magnetometer_, magnPeriod_, "magnetometer");
      if (motionState_ == 0) AddToMean(magnAverage_, s, ++magnAverageCount_);
      lowPassFilter(magnetometer_, filteredMagnetometer_);
      clearOldMeasurements(magnetometer_, &filteredMagnetometer_, magnIndex_);
      break;
    }
    case 103: {
      hasGyro_ = true;
      if (checkTimeAndDuplicates(gyroSamples_, s, "gyroscope") != 0) return -1;
      gyroSamples_.push_back(s);
      estimateSampleRate(gyroSamples_, gyroPeriod_, "gyroscope");
      AddToMean(gyroAverage_, s, ++gyroAverageCount_);
      if (behaviour_.learnsSensorBiases()) learnGyroBias(s);
      clearOldMeasurements(gyroSamples_, nullptr, gyroIndex_);
      break;
    }
    case 105:
      return 0;
    default:
      MV_LOG(11, "WARNING:: Unknown sensor type = %d\n", s.type);
      return 0;
  }
  if (hasAcc_ && hasMagn_ && hasGyro_) allPresent_ = true;
  if (!accelerations_.empty() && !magnetometer_.empty() && !gyroSamples_.empty())
    checkSensorsRate(s);
  return 0;
}

void SensorFusion::checkSensorsRate(const SensorValue& s) {
  const double t = Seconds(s);
  const double gyroAge = std::fabs(t - Seconds(gyroSamples_.back()));
  if (gyroAge > kMaxSampleGap) {
    MV_LOG(11,
           "WARNING: Rare Gyroscope measurements. Last measurement was %lf sec. ago\n mHasGyro "
           "will be set to false\n",
           gyroAge);
    hasGyro_ = false;
  }
  const double accAge = std::fabs(t - Seconds(accelerations_.back()));
  if (accAge > kMaxSampleGap) {
    MV_LOG(11,
           "WARNING: Rare Accelerometer measurements. Last measurement was %lf sec. ago\n "
           "mHasAccel will be set to false\n",
           accAge);
    hasAcc_ = false;
  }
  const double magnAge = std::fabs(t - Seconds(magnetometer_.back()));
  if (magnAge > kMaxSampleGap) {
    MV_LOG(11,
           "WARNING: Rare magnetometer measurements. Last measurement was %lf sec. ago\n "
           "mHasMagnetometer will be set to false\n",
           magnAge);
    hasMagn_ = false;
  }
}

int SensorFusion::lowPassFilter(const std::deque<SensorValue>& in, std::deque<SensorValue>& out) {
  if (in.empty()) {
    MV_LOG(11, "Error in Low-Pass filter. input size = %d\n", static_cast<int>(in.size()));
    return -1;
  }
  if (out.size() >= in.size()) {
    MV_LOG(11, "ERROR: output vector size >= input vector size. This vector will be cleaned\n");
    out.clear();
  }
  const double alpha = properties_.lowPassTime / (properties_.lowPassTime + accPeriod_);
  for (size_t k = out.size(); k < in.size(); ++k) {
    if (k == 0 || out.empty()) {
      out.push_back(in[k]);
      continue;
    }
    SensorValue f = in[k];
    const SensorValue& prev = out.back();
    f.x = alpha * prev.x + (1.0 - alpha) * in[k].x;
    f.y = alpha * prev.y + (1.0 - alpha) * in[k].y;
    f.z = alpha * prev.z + (1.0 - alpha) * in[k].z;
    f.calcMagnitude();
    if (f.magnitude == 0.0 || !std::isfinite(f.magnitude)) {
      MV_LOG(11,
             "WARNING: magnitude of measurement is 0, that's strange. Measurement will be "
             "skipped\n");
      // Keep the filtered stream parallel to its raw stream.
      f.x = prev.x;
      f.y = prev.y;
      f.z = prev.z;
      f.calcMagnitude();
    }
    out.push_back(f);
  }
  return 0;
}

void SensorFusion::clearOldMeasurements(std::deque<SensorValue>& raw,
                                        std::deque<SensorValue>* filtered, unsigned int& index) {
  if (raw.empty()) return;
  if (index > raw.size())
    MV_LOG(11, "Incorrect curIndex = %d in clearOldMeasurements function\n",
           static_cast<int>(index));
  auto dropFront = [&](size_t k) {
    k = std::min(k, raw.size());
    raw.erase(raw.begin(), raw.begin() + k);
    if (filtered) filtered->erase(filtered->begin(), filtered->begin() + std::min(k, filtered->size()));
    index = index > k ? static_cast<unsigned int>(index - k) : 0u;
  };
  if (autoClear_ && Seconds(raw.back()) - Seconds(raw.front()) > kAutoClearSpan) {
    const double newest = Seconds(raw.back());
    for (size_t k = 1; k < index && k < raw.size(); ++k) {
      if (newest - Seconds(raw[k]) <= kAutoClearKeep) {
        dropFront(k);
        break;
      }
    }
  }
  // A stream nobody fuses (e.g. another one is missing) must not grow
  // without end: keep the newest few seconds whatever the index says.
  size_t excess = raw.size() > kMaxBufferedSamples ? raw.size() - kMaxBufferedSamples : 0;
  const double newest = Seconds(raw.back());
  while (excess < raw.size() - 1 && newest - Seconds(raw[excess]) > kMaxBufferedSpan) ++excess;
  if (excess > 0) dropFront(excess);
}

void SensorFusion::calculateRotationMatrixFromGeomagnetic(double* R, const SensorValue& a,
                                                          const SensorValue& m) {
  const double av[3] = {a.x, a.y, a.z};
  const double mv[3] = {m.x, m.y, m.z};
  double H[3];
  Cross(mv, av, H);
  const double normH = Norm3(H);
  const double normA = Norm3(av);
  if (!(normH >= kMinBasisNorm) || !(normA >= kMinBasisNorm)) {
    for (int i = 0; i < 9; ++i) R[i] = (i % 4 == 0) ? 1.0 : 0.0;
    return;
  }
  double A[3] = {av[0] / normA, av[1] / normA, av[2] / normA};
  for (double& h : H) h /= normH;
  double M[3];
  Cross(A, H, M);
  if (std::fabs(Norm3(M) - 1.0) > 1e-9) MV_LOG(11, "Warning: norm of M basis vector != 1.0 \n");
  for (int i = 0; i < 3; ++i) {
    R[i] = H[i];
    R[3 + i] = M[i];
    R[6 + i] = A[i];
  }
  for (int i = 0; i < 9; ++i)
    if (!std::isfinite(R[i])) {
      MV_LOG(11, "ERROR in SF. Nan and inf:\n");
      break;
    }
}

void SensorFusion::calculateAccMagnQuaternion(const SensorValue& a, const SensorValue& m) {
  double R[9];
  calculateRotationMatrixFromGeomagnetic(R, a, m);
  for (double r : R)
    if (!std::isfinite(r)) return;  // keep the last good orientation
  const Quaternion q = Quaternion::fromRotationMatrix(R);
  if (q.isFinite()) accMagnQuaternion_ = q;
}

void SensorFusion::calculateRotationQuaternionFromGyro(Quaternion& q, const SensorValue& g,
                                                       double dt) {
  const double omega = std::sqrt(g.x * g.x + g.y * g.y + g.z * g.z);
  if (omega > kMinGyroRate) {
    const double half = omega * dt / 2.0;
    const double s = std::sin(half);
    q = Quaternion(g.x / omega * s, g.y / omega * s, g.z / omega * s, std::cos(half));
    q.normalize();
  } else {
    MV_LOG(11, "Gyro magnitude == %lf\n", omega);
    q = Quaternion();
  }
}

void SensorFusion::updateFusedQuaternion(double dt) {
  const double betaH = properties_.magnCoef / (properties_.magnCoef + dt);
  const double betaT = properties_.accCoef / (properties_.accCoef + dt);
  double ef[3], ea[3];
  fusedQuaternion_.toEuler(ef);
  accMagnQuaternion_.toEuler(ea);
  Quaternion qh = Quaternion::fromEuler(ef[0], ef[1], ea[2]);
  Quaternion qt = Quaternion::fromEuler(ea[0], ea[1], ef[2]);
  qh.normalize();
  qt.normalize();
  // q and -q are the same rotation; blend within one hemisphere so the mix
  // never passes near zero.
  if (gyroQuaternion_.dot(qh) < 0.0) qh = qh * -1.0;
  if (gyroQuaternion_.dot(qt) < 0.0) qt = qt * -1.0;
  Quaternion q1 = gyroQuaternion_ * betaH + qh * (1.0 - betaH);
  Quaternion q2 = gyroQuaternion_ * betaT + qt * (1.0 - betaT);
  q1.normalize();
  q2.normalize();
  double e1[3], e2[3];
  q1.toEuler(e1);
  q2.toEuler(e2);
  Quaternion fused = Quaternion::fromEuler(e2[0], e2[1], e1[2]);
  fused.normalize();
  if (fused.isFinite()) fusedQuaternion_ = fused;
}

void SensorFusion::updateOrientation() {
  if (!hasAcc_ || !hasMagn_ || !hasGyro_) {
    MV_LOG(11,
           "ERROR: unable to calculate orientation. There is noAccelerometer, magnetometer or "
           "gyro\n");
    return;
  }
  if (accelerations_.size() < 2 || magnetometer_.size() < 2 || filteredMagnetometer_.empty()) {
    MV_LOG(11, "ERROR: there was no enough measurements to calculate orientation\n");
    return;
  }
  if (gyroSamples_.size() < 2) {
    MV_LOG(11, "ERROR: HasGyro == true, but there was no enough gyro measurements\n");
    return;
  }
  if (gravity_.size() != accelerations_.size()) {
    MV_LOG(11, "ERROR: mGravity.size = %d != mAccel.size = %d\n",
           static_cast<int>(gravity_.size()), static_cast<int>(accelerations_.size()));
    return;
  }
  accIndex_ = std::max(accIndex_, 1u);
  gyroIndex_ = std::max(gyroIndex_, 1u);
  if (accIndex_ >= gravity_.size() || gyroIndex_ > gyroSamples_.size()) {
    MV_LOG(11, "ERROR: current index of sensor measurement is out of range\n");
    return;
  }
  if (magnIndex_ >= filteredMagnetometer_.size())
    magnIndex_ = static_cast<unsigned int>(filteredMagnetometer_.size() - 1);

  if (behaviour_.fusesOrientationAnew()) {
    updateOrientationAnew();
    return;
  }
  const double t0 = Seconds(gravity_[accIndex_]);
  for (size_t i = accIndex_; i < gravity_.size(); ++i) {
    const SensorValue& g = gravity_[i];
    const double tg = Seconds(g);
    while (magnIndex_ + 1 < filteredMagnetometer_.size() &&
           filteredMagnetometer_[magnIndex_].time < g.time)
      ++magnIndex_;
    const SensorValue& m = filteredMagnetometer_[magnIndex_];
    if (std::fabs(Seconds(m) - tg) <= kAccMagnMaxSkew) {
      calculateAccMagnQuaternion(g, m);
    } else {
      MV_LOG(11, "Warning: timeStamps of neighboring acc and magn differ by more than %lf sec\n",
             kAccMagnMaxSkew);
    }
    if (fusedQuaternion_.isIdentity()) fusedQuaternion_ = accMagnQuaternion_;
    if (gyroQuaternion_.isIdentity()) gyroQuaternion_ = accMagnQuaternion_;
    if (hasGyro_) {
      Quaternion increment;
      while (gyroIndex_ < gyroSamples_.size() && gyroSamples_[gyroIndex_].time < g.time) {
        const SensorValue& prev = gyroSamples_[gyroIndex_ - 1];
        Quaternion q;
        calculateRotationQuaternionFromGyro(
            q, prev, Seconds(gyroSamples_[gyroIndex_]) - Seconds(prev));
        increment = increment * q;
        ++gyroIndex_;
      }
      Quaternion next = gyroQuaternion_ * increment;
      next.normalize();
      gyroQuaternion_ = next;
    }
    const double dt = tg - t0;
    if (dt != 0.0) {
      updateFusedQuaternion(dt);
      gyroQuaternion_ = fusedQuaternion_;
    }
    accIndex_ = static_cast<unsigned int>(i);
  }
  if (!hasGyro_) fusedQuaternion_ = accMagnQuaternion_;
}

void SensorFusion::updateOrientationAnew() {
  for (size_t i = accIndex_; i < gravity_.size(); ++i) {
    const SensorValue& g = gravity_[i];
    const double tg = Seconds(g);
    while (magnIndex_ + 1 < filteredMagnetometer_.size() &&
           filteredMagnetometer_[magnIndex_].time < g.time)
      ++magnIndex_;
    const SensorValue& m = filteredMagnetometer_[magnIndex_];
    if (std::fabs(Seconds(m) - tg) <= kAccMagnMaxSkew) calculateAccMagnQuaternion(g, m);
    if (fusedQuaternion_.isIdentity()) fusedQuaternion_ = accMagnQuaternion_;
    Quaternion q = fusedQuaternion_;
    if (hasGyro_) {
      for (; gyroIndex_ < gyroSamples_.size() && gyroSamples_[gyroIndex_].time < g.time;
           ++gyroIndex_) {
        const SensorValue& prev = gyroSamples_[gyroIndex_ - 1];
        const attitude::Vec3 rate{prev.x - gyroBias_.x, prev.y - gyroBias_.y,
                                  prev.z - gyroBias_.z};
        q = attitude::Integrate(q, rate, Seconds(gyroSamples_[gyroIndex_]) - Seconds(prev));
      }
    }
    // The raw reading paired with this instant (the low-passed one lags).
    const SensorValue& raw = magnetometer_[std::min<size_t>(magnIndex_, magnetometer_.size() - 1)];
    const bool paired = std::fabs(Seconds(raw) - tg) <= kAccMagnMaxSkew;
    if (hasGyro_ && paired && Seconds(raw) > hardIronTime_) {
      hardIronTime_ = Seconds(raw);
      hardIron_.add(q, {raw.x, raw.y, raw.z}, hardIronTime_);
    }
    const attitude::Vec3 offset = hardIron_.ready() ? hardIron_.bias() : attitude::Vec3();
    const double dt = tg - fusedTime_;
    if (fusedTime_ > 0.0 && dt > 0.0 && dt <= kMaxCorrectionGap) {
      const SensorValue& a = accelerations_[i];
      const double tiltTime = motionState_ == 0 ? properties_.accCoef : kMovingTiltTime;
      q = attitude::CorrectTilt(q, {a.x, a.y, a.z}, dt / (tiltTime + dt));
      if (motionState_ == 0 && magnAverageCount_ >= kMinStillMagnSamples) {
        double turned = 0.0;
        q = attitude::CorrectHeading(q,
                                     {magnAverage_.x - offset.x, magnAverage_.y - offset.y,
                                      magnAverage_.z - offset.z},
                                     dt / (properties_.magnCoef + dt), &turned);
        hardIron_.turnWorld(turned);
      } else if (motionState_ != 0 && hardIron_.ready() && paired) {
        double turned = 0.0;
        q = attitude::CorrectHeading(q, {raw.x - offset.x, raw.y - offset.y, raw.z - offset.z},
                                     dt / (kMovingHeadingTime + dt), &turned);
        hardIron_.turnWorld(turned);
      }
    }
    if (tg > fusedTime_) fusedTime_ = tg;
    if (q.isFinite()) {
      fusedQuaternion_ = gyroQuaternion_ = q;
      if (bearings_.empty() || tg > bearings_.back().first) {
        bearings_.emplace_back(tg, attitude::TopEdgeBearing(q));
        while (tg - bearings_.front().first > kBearingHistory) bearings_.pop_front();
      }
    }
    accIndex_ = static_cast<unsigned int>(i);
  }
  if (!hasGyro_) fusedQuaternion_ = accMagnQuaternion_;
}

void SensorFusion::learnGyroBias(const SensorValue& g) {
  if (motionState_ != 0) {
    stillCount_ = 0;
    return;
  }
  const double t = Seconds(g);
  if (stillCount_ == 0) {
    stillSum_ = SensorValue();
    stillSquares_ = 0.0;
    stillStart_ = t;
  }
  stillSum_.x += g.x;
  stillSum_.y += g.y;
  stillSum_.z += g.z;
  stillSquares_ += g.x * g.x + g.y * g.y + g.z * g.z;
  ++stillCount_;
  if (t - stillStart_ < kBiasStretch) return;
  const double n = stillCount_;
  const double mx = stillSum_.x / n, my = stillSum_.y / n, mz = stillSum_.z / n;
  const double mean2 = mx * mx + my * my + mz * mz;
  const double spread = std::sqrt(std::max(stillSquares_ / n - mean2, 0.0));
  stillCount_ = 0;
  // The first second of walking after a corner may count as still before
  // its first step is detected; the sway of the walking hand shows in the
  // spread and keeps such a stretch out.
  if (!(std::sqrt(mean2) < kMaxGyroBias) || !(spread < kMaxStillSpread)) return;
  biasWeight_ = std::min(biasWeight_ + n, kBiasMemory);
  const double k = n / biasWeight_;
  gyroBias_.x += (mx - gyroBias_.x) * k;
  gyroBias_.y += (my - gyroBias_.y) * k;
  gyroBias_.z += (mz - gyroBias_.z) * k;
}

void SensorFusion::setMotionState(unsigned int state, bool reinit, bool& reset) {
  reset = false;
  if (state != 0) {
    // Without samples from the stop there is nothing to re-seed from; the
    // zero averages would turn the heading to an arbitrary direction.
    if (motionState_ == 0 && reinit && accAverageCount_ > 0 && magnAverageCount_ > 0) {
      SensorValue field = magnAverage_;
      if (behaviour_.learnsSensorBiases() && hardIron_.ready()) {
        field.x -= hardIron_.bias().x;
        field.y -= hardIron_.bias().y;
        field.z -= hardIron_.bias().z;
      }
      calculateAccMagnQuaternion(accAverage_, field);
      if (behaviour_.learnsSensorBiases()) {
        hardIron_.turnWorld(std::remainder(attitude::TopEdgeBearing(fusedQuaternion_) -
                                               attitude::TopEdgeBearing(accMagnQuaternion_),
                                           2.0 * M_PI));
      }
      fusedQuaternion_ = accMagnQuaternion_;
      gyroQuaternion_ = accMagnQuaternion_;
      // Earlier headings belong to the orientation just replaced.
      bearings_.clear();
      reset = true;
    }
    accAverage_.clear();
    magnAverage_.clear();
    accAverageCount_ = 0;
    magnAverageCount_ = 0;
    stillCount_ = 0;
  }
  motionState_ = state;
}

void SensorFusion::getFusedOrientation(double* out) const {
  double e[3];
  fusedQuaternion_.toEuler(e);
  const double bearing = behaviour_.fusesOrientationAnew() ? attitude::TopEdgeBearing(fusedQuaternion_) : -e[2];
  const double angles[3] = {bearing - (azimuth_ - declination_), e[0], e[1]};
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(angles[i])) {
      MV_LOG(11, "ERROR: critical error in SENSOR FUSION. Angles = inf\n");
      out[i] = 0.0;
    } else {
      out[i] = WrapAngle(angles[i]);
    }
  }
}

double SensorFusion::headingAt(double t) const {
  double now[3];
  getFusedOrientation(now);
  if (!behaviour_.keepsPastHeadings() || bearings_.empty() || !std::isfinite(t) || t >= bearings_.back().first) return now[0];
  // The newest kept bearing is the current orientation's; the offsets from it
  // carry the floor's azimuth along.
  const double newest = bearings_.back().second;
  double past = bearings_.front().second;
  auto it = std::lower_bound(bearings_.begin(), bearings_.end(), t,
                             [](const std::pair<double, double>& b, double v) { return b.first < v; });
  if (it != bearings_.begin() && it != bearings_.end()) {
    const auto& a = *(it - 1);
    const auto& b = *it;
    const double k = (t - a.first) / (b.first - a.first);
    past = a.second + k * std::remainder(b.second - a.second, 2.0 * M_PI);
  }
  return WrapAngle(now[0] + std::remainder(past - newest, 2.0 * M_PI));
}

bool SensorFusion::checkRotation(bool& computed) const {
  computed = false;
  if (gyroSamples_.empty()) return false;
  const double newest = Seconds(gyroSamples_.back());
  size_t k = std::min<size_t>(gyroIndex_, gyroSamples_.size() - 1);
  double sx = 0.0, sy = 0.0, sz = 0.0;
  while (k >= 1 && newest - Seconds(gyroSamples_[k]) < kRotationWindow) {
    sx += gyroSamples_[k].x;
    sy += gyroSamples_[k].y;
    sz += gyroSamples_[k].z;
    --k;
  }
  const double r = std::sqrt(sx * sx + sy * sy + sz * sz) * (newest - Seconds(gyroSamples_[k]));
  computed = true;
  return r >= kRotationThreshold;
}

void SensorFusion::setLocationParameters(double azimuth, double declination) {
  azimuth_ = azimuth;
  declination_ = declination;
}

void SensorFusion::clear() {
  alignmentTime_ = SensorTime();
  accelerations_.clear();
  gyroSamples_.clear();
  magnetometer_.clear();
  // The filtered streams go too: they are parallel to the raw ones.
  gravity_.clear();
  filteredMagnetometer_.clear();
  accMagnQuaternion_ = fusedQuaternion_ = gyroQuaternion_ = Quaternion();
  gyroAverage_.clear();
  gyroAverageCount_ = 0;
  accAverage_.clear();
  magnAverage_.clear();
  accAverageCount_ = magnAverageCount_ = 0;
  accIndex_ = gyroIndex_ = magnIndex_ = 0;
  hasAcc_ = hasGyro_ = hasMagn_ = allPresent_ = autoClear_ = false;
  accPeriod_ = magnPeriod_ = gyroPeriod_ = 0.0;
  motionState_ = 0;
  azimuth_ = declination_ = 0.0;
  fusedTime_ = 0.0;
  bearings_.clear();
  hardIron_.clear();
  hardIronTime_ = 0.0;
  gyroBias_ = stillSum_ = SensorValue();
  biasWeight_ = 0.0;
  stillCount_ = 0;
  stillSquares_ = 0.0;
  stillStart_ = 0.0;
}
