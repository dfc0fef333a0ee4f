// The particle filter: its random generator, its settings, one filter step
// with its solution, and the debug dump. The cloud itself (seeding, moves,
// weights, resampling) lives in particle_cloud.cc.
#include "wifipos/bmp/particle_filter_methods.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <utility>

#include "server/utils.h"
#include "wifipos/bmp/particle_filter_internal.h"
#include "wifipos/gaussian_processes/gp_methods.h"

using namespace particle_filter_internal;

namespace {

constexpr int64_t kRandomModulus = 2147483647;

// Bounds on settings read from a map: beyond them a floor would exhaust
// memory or a radio fix would run corrections for minutes.
constexpr int kMaxParticles = 1000000;

constexpr int kMaxCorrections = 100;

// One step of the filter's generator, in 64-bit signed arithmetic.
inline void NextState(int64_t& state) { state = (state * 16807 + 54301) % kRandomModulus; }

inline double Uniform(int64_t& state) {
  NextState(state);
  return static_cast<double>(state) / 2147483647.0;
}

// Little-endian field of the given width.
bool WriteField(FILE* f, uint64_t value, int bytes) {
  unsigned char buf[8];
  for (int i = 0; i < bytes; ++i) buf[i] = static_cast<unsigned char>(value >> (8 * i));
  return std::fwrite(buf, 1, static_cast<size_t>(bytes), f) == static_cast<size_t>(bytes);
}

}  // namespace

ParticleFilter::ParticleFilter(const EngineBehaviour& behaviour) : behaviour_(behaviour) { sRand(1234567890); }

void ParticleFilter::randomStep() { NextState(randomState_); }

double ParticleFilter::nRand() { return Uniform(randomState_); }

void ParticleFilter::sRand(int seed) {
  randomState_ = seed;
  randomStep();
  randomStep();
  randomStep();
}

double ParticleFilter::generateGaussianNoise(double mean, double sigma) {
  if (sigma == 0.0) return mean;
  const double u1 = std::max(Uniform(randomState_), 1e-10);
  const double u2 = Uniform(randomState_);
  return mean + sigma * std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
}

void ParticleFilter::mendProperties() {
  FilterProperties& p = properties_;
  // The likelihood divides by the noise; far below a micrometre or above a
  // thousand kilometres its factors overflow or vanish for every particle.
  if (!(p.correctionNoise >= 1e-6 && p.correctionNoise <= 1e6)) {
    MV_LOG(11, "ERROR: correction noise %lf is not a usable distance, 2.0 is used\n",
           p.correctionNoise);
    p.correctionNoise = 2.0;
  }
  if (!std::isfinite(p.resamplingNoise)) {
    MV_LOG(11, "ERROR: resampling noise is not a number, 3.0 is used\n");
    p.resamplingNoise = 3.0;
  }
  if (std::isnan(p.resamplingThreshold)) {
    MV_LOG(11, "ERROR: resampling threshold is not a number, 1000 is used\n");
    p.resamplingThreshold = 1000.0;
  }
  if (std::isnan(p.stopAveragingTime)) {
    MV_LOG(11, "ERROR: stop averaging time is not a number, 4.0 is used\n");
    p.stopAveragingTime = 4.0;
  }
  if (!Finite(p.width, p.height)) {
    MV_LOG(11, "ERROR: floor size is not a number, 0 is used\n");
    if (!std::isfinite(p.width)) p.width = 0.0;
    if (!std::isfinite(p.height)) p.height = 0.0;
  }
  if (p.nParticles > kMaxParticles) {
    MV_LOG(11, "ERROR: number of particles %d is too large, %d is used\n", p.nParticles,
           kMaxParticles);
    p.nParticles = kMaxParticles;
  }
  if (p.noisyResamplingTrigger < 0) {
    MV_LOG(11, "ERROR: noisy resampling trigger %d < 0, 0 is used\n", p.noisyResamplingTrigger);
    p.noisyResamplingTrigger = 0;
  }
  if (p.correctionsNumber > kMaxCorrections) {
    MV_LOG(11, "ERROR: corrections number %d is too large, %d is used\n", p.correctionsNumber,
           kMaxCorrections);
    p.correctionsNumber = kMaxCorrections;
  }
}

void ParticleFilter::setProperties(const FilterProperties& properties) {
  properties_ = properties;
  mendProperties();
}

void ParticleFilter::setSublocationProperties(const SublocationNavProperties& props) {
  properties_.width = props.width_meters;
  properties_.height = props.height_meters;
  properties_.correctionNoise = props.Correction_noise_meters;
  properties_.resamplingNoise = props.Resampling_noise_meters;
  properties_.resamplingThreshold = props.Resampling_treshold_persantage;
  properties_.nParticles = props.Number_of_part;
  mendProperties();
}

void ParticleFilter::setFilterProperties(const CommonNavProperties& props) {
  properties_.algorithm = props.Use_algorithm;
  properties_.correctionsNumber = props.gaussianProcesses.Corrections_number;
  properties_.nAdditionalParticles = props.N_additional_particles;
  properties_.stopAveragingTime = props.Stop_averaging_time;
  properties_.noisyResamplingTrigger = props.Noisy_resampling_trigger_counter;
  properties_.useEstimatedAngle = props.Use_pf_estimated_angle;
  const double round = std::trunc(props.N_round_particles_pf);
  if (std::isfinite(round) && round >= std::numeric_limits<int>::min() &&
      round <= std::numeric_limits<int>::max()) {
    properties_.nRoundParticles = static_cast<int>(round);
  } else {
    MV_LOG(11, "ERROR: N_round_particles_pf %lf is not an integer, 0 is used\n",
           props.N_round_particles_pf);
    properties_.nRoundParticles = 0;
  }
  mendProperties();
}

void ParticleFilter::setMotionParameters(const CommonNavProperties::Motion& motion) {
  prediction_.stepLengthNoise = motion.Steplength_noise;
  prediction_.angleNoise = motion.Angle_noise;
  if (!std::isfinite(prediction_.stepLengthNoise)) {
    MV_LOG(11, "ERROR: step length noise is not a number, 0 is used\n");
    prediction_.stepLengthNoise = 0.0;
  }
  if (!std::isfinite(prediction_.angleNoise)) {
    MV_LOG(11, "ERROR: angle noise is not a number, 0 is used\n");
    prediction_.angleNoise = 0.0;
  }
}

void ParticleFilter::setBmpState(const BmpState& bmp) { bmp_ = bmp; }

void ParticleFilter::setSolutionInfo(const SolutionInfo& s) {
  if (Finite(s.x, s.y)) {
    solution_.x = s.x;
    solution_.y = s.y;
  } else {
    MV_LOG(11, "ERROR: signal solution is not a number, previous one kept\n");
  }
  if (Finite(s.filteredX, s.filteredY)) {
    solution_.filteredX = s.filteredX;
    solution_.filteredY = s.filteredY;
  } else {
    MV_LOG(11, "ERROR: filtered solution is not a number, previous one kept\n");
  }
  if (std::isfinite(s.radius)) solution_.radius = s.radius;
  if (std::isfinite(s.time)) {
    solution_.time = s.time;
  } else {
    MV_LOG(11, "ERROR: solution time is not a number, previous one kept\n");
  }
}

void ParticleFilter::setPredictionInfo(double stepLength, double angleNoise) {
  if (!std::isfinite(stepLength)) {
    MV_LOG(11, "ERROR: step length is not a number, the step is dropped\n");
    stepLength = 0.0;
  }
  if (!std::isfinite(angleNoise)) {
    MV_LOG(11, "ERROR: angle noise is not a number, 0 is used\n");
    angleNoise = 0.0;
  }
  prediction_.stepLength = stepLength;
  prediction_.angleNoise = angleNoise;
}

void ParticleFilter::setResamplingParameters(const double& x, const double& y, const int& n) {
  if (!Finite(x, y)) {
    MV_LOG(11, "ERROR: resampling point is not a number, no particle is drawn around it\n");
    properties_.nAroundPoint = 0;
    return;
  }
  solution_.x = x;
  solution_.y = y;
  properties_.nAroundPoint = n;
}

void ParticleFilter::setNewWeights(const std::vector<double>& weights, bool severalReadings) {
  newWeights_ = weights;
  newWeightsAreSeveral_ = severalReadings;
  for (size_t i = 0; i < newWeights_.size(); ++i) {
    double& w = newWeights_[i];
    if (!std::isfinite(w) || w < 0.0) {
      MV_LOG(11, "ERROR: new weight %zu is not a non-negative number. Weight will be set to 0\n",
             i);
      w = 0.0;
    }
  }
}

void ParticleFilter::checkStop(const double& time, const bool& isStop) {
  if (!isStop) {
    isStop_ = false;
    return;
  }
  if (!std::isfinite(time)) {
    MV_LOG(11, "ERROR: stop time is not a number, ignored\n");
    return;
  }
  if (!isStop_) {
    isStop_ = true;
    stopTime_ = time;
  }
}

void ParticleFilter::setRadioLead(double dx, double dy) {
  const bool usable = std::isfinite(dx) && std::isfinite(dy);
  radioLeadX_ = usable ? dx : 0.0;
  radioLeadY_ = usable ? dy : 0.0;
}

void ParticleFilter::giveParticlesTo(GaussianProcesses& gp) const {
  gp.setParticles(particles_, radioLeadX_, radioLeadY_);
}

bool ParticleFilter::cloudMean(double* x, double* y) const {
  double sw = 0.0, sx = 0.0, sy = 0.0;
  for (const Particle& p : particles_) {
    if (!(p.weight > 0.0) || !std::isfinite(p.weight)) continue;
    sw += p.weight;
    sx += p.weight * p.x;
    sy += p.weight * p.y;
  }
  if (!(sw > 0.0) || !std::isfinite(sx) || !std::isfinite(sy)) return false;
  *x = sx / sw;
  *y = sy / sw;
  return true;
}

void ParticleFilter::getSolution() {
  const size_t n = particles_.size();
  double sx = 0.0, sy = 0.0, sinSum = 0.0, cosSum = 0.0;
  size_t count = 0;
  // Resampling copies headings, so equal ones come in runs: reuse sin and cos.
  double lastAngle = std::numeric_limits<double>::quiet_NaN(), lastSin = 0.0, lastCos = 1.0;
  for (size_t i = 0; i < n; ++i) {
    Particle& p = particles_[i];
    if (!std::isfinite(p.weight)) {
      MV_LOG(11,
             "ERROR: std::isnan or std::isinf in %d particle weight. weight will be set to 0\n",
             static_cast<int>(i));
      p.weight = 0.0;
    }
    if (p.weight == 0.0) continue;
    p.angle = WrapPi(p.angle);
    sx += p.weight * p.x;
    sy += p.weight * p.y;
    if (p.angle != lastAngle) {
      lastAngle = p.angle;
      lastSin = std::sin(p.angle);
      lastCos = std::cos(p.angle);
    }
    sinSum += lastSin;
    cosSum += lastCos;
    ++count;
  }
  double meanX = sx;
  double meanY = sy;
  if (!std::isfinite(meanX)) {
    MV_LOG(11, "ERROR: std::isnan or std::isinf in meanX-coordinate. meanX  will be set to 0\n");
    meanX = 0.0;
  }
  if (!std::isfinite(meanY)) {
    MV_LOG(11, "ERROR: std::isnan or std::isinf in meanY-coordinate. meanY  will be set to 0\n");
    meanY = 0.0;
  }
  if (count > 0) {
    const double ms = sinSum / static_cast<double>(count);
    const double mc = cosSum / static_cast<double>(count);
    const double heading = WrapPi(std::atan2(ms, mc));
    const double l = std::log(ms * ms + mc * mc);
    const double dev = l < -1e-6 ? std::sqrt(-l) : 0.0;
    if (!std::isfinite(dev)) MV_LOG(11, "ERROR: std::isinf of circularDev in getSolution\n");
    MV_LOG(11, "PF estimated angle = %lf \n", heading * 180.0 / kPi);
    solution_.filteredAngle = heading;
    solution_.angleDeviation = dev;
  } else {
    MV_LOG(11, "ERROR: no live particle, previous heading kept\n");
  }
  double radius = 0.0;
  if (n >= 1) {
    const bool gp = properties_.algorithm == NAV_ALG_GP;
    const double share = 1.0 / static_cast<double>(n);
    for (const Particle& p : particles_) {
      if (p.weight == 0.0) continue;
      const double d2 = (p.x - meanX) * (p.x - meanX) + (p.y - meanY) * (p.y - meanY);
      radius += d2 * (gp ? share : p.weight);
    }
  }
  solution_.radius = radius;
  if (meanX != 0.0 && meanY != 0.0) {
    solution_.filteredX = meanX;
    solution_.filteredY = meanY;
  } else {
    MV_LOG(11, "meanX=0, meanY = 0 because all weights = 0\n");
  }
}

int ParticleFilter::executeFilter(GaussianProcesses& gp) {
  if (particles_.empty()) {
    MV_LOG(11, "ERROR: Particle Filter is executed without being initialized\n");
    return 4;
  }
  if (isStop_ && solution_.time - stopTime_ < properties_.stopAveragingTime &&
      solution_.filteredX != 0.0 && solution_.filteredY != 0.0) {
    return 0;
  }
  stopTime_ = solution_.time;
  if (!flags_.step && !flags_.goodSignal) return 0;
  const bool isGp = properties_.algorithm == NAV_ALG_GP;
  if (flags_.goodSignal) {
    updateWeights();
    if (isGp) {
      for (int k = 0; k < properties_.correctionsNumber; ++k) {
        resampleParticles();
        giveParticlesTo(gp);
        gp.correction();
        setNewWeights(gp.getNewWeights(), newWeightsAreSeveral_);
        updateWeights();
      }
    }
    flags_.goodSignal = false;
  }
  if (flags_.step && !(isGp && newWeights_.empty())) {
    // The kit weighed the fix when it came; weighing the cloud against it at
    // every step counts it again and again and pulls the moved cloud back to
    // where the walker was. Only the walls' toll is renormalised then.
    updateWeights(!(behaviour_.weighsEvidenceOnce() && !isGp));
    flags_.step = false;
  }
  bool allDead = true;
  for (const Particle& p : particles_) {
    if (p.weight != 0.0) {
      allDead = false;
      break;
    }
  }
  if (allDead) {
    reinitializeParticles();
    if (isGp) {
      updateWeights();
      getSolution();
    } else if (properties_.algorithm == NAV_ALG_KNN) {
      solution_.filteredX = solution_.x;
      solution_.filteredY = solution_.y;
    }
  } else {
    getSolution();
  }
  if (isResampling()) {
    getAddParticles();
    resampleParticles();
  }
  return 0;
}

bool ParticleFilter::isManyOutlier() const {
  if (properties_.nParticles < 1) return true;
  int64_t dead = 0;
  for (const Particle& p : particles_) dead += p.weight == 0.0 ? 1 : 0;
  return dead >= properties_.nParticles;
}

int ParticleFilter::getAddParticles() {
  const int alg = properties_.algorithm;
  if (alg == NAV_ALG_KNN || alg == NAV_ALG_RP) {
    const double d = std::hypot(solution_.x - solution_.filteredX, solution_.y - solution_.filteredY);
    properties_.nAroundPoint = d > 1.0 ? properties_.nAdditionalParticles : 0;
  }
  return properties_.nAroundPoint;
}

void ParticleFilter::printBMP() {
  FILE* f = std::fopen("out.bmp", "wb");
  if (f == nullptr) {
    MV_LOG(11, "error opening out.bmp!\n");
    return;
  }
  const BitMapFileHeader& fh = bmp_.getFileHeader();
  const BitMapInfoHeader& ih = bmp_.getInfoHeader();
  bool ok = WriteField(f, fh.bfType, 2) && WriteField(f, fh.bfSize, 4) &&
            WriteField(f, fh.bfReserved1, 2) && WriteField(f, fh.bfReserved2, 2) &&
            WriteField(f, fh.bfOffBits, 4);
  ok = ok && WriteField(f, ih.biSize, 4) && WriteField(f, static_cast<uint64_t>(ih.biWidth), 4) &&
       WriteField(f, static_cast<uint64_t>(ih.biHeight), 4) && WriteField(f, ih.biPlanes, 2) &&
       WriteField(f, ih.biBitCount, 2) && WriteField(f, ih.biCompression, 4) &&
       WriteField(f, ih.biSizeImage, 4) &&
       WriteField(f, static_cast<uint64_t>(ih.biXPelsPerMeter), 4) &&
       WriteField(f, static_cast<uint64_t>(ih.biYPelsPerMeter), 4) &&
       WriteField(f, ih.biClrUsed, 4) && WriteField(f, ih.biClrImportant, 4);
  if (!ok) {
    std::fprintf(stderr, "bad writing");
    MV_LOG(11, "bad writing\n");
    std::fclose(f);
    return;
  }
  for (const Palette& c : bmp_.getPalette()) {
    const unsigned char entry[4] = {c.blue, c.green, c.red, c.reserved};
    if (std::fwrite(entry, 1, 4, f) != 4) {
      std::fprintf(stderr, "File palette corrupted?");
      MV_LOG(11, "bad writing\n");
      std::fclose(f);
      return;
    }
  }
  const std::vector<uint8_t>& marked =
      bmp_.getMarkedPixels().empty() ? bmp_.getPixels() : bmp_.getMarkedPixels();
  const uint64_t rows = ih.biHeight > 0 ? static_cast<uint64_t>(ih.biHeight) : 0;
  const uint64_t stride = bmp_.getStride() > 0 ? static_cast<uint64_t>(bmp_.getStride()) : 0;
  const size_t bytes = static_cast<size_t>(std::min<uint64_t>(rows * stride, marked.size()));
  if (bytes > 0 && std::fwrite(marked.data(), 1, bytes, f) != bytes) {
    std::fprintf(stderr, "bad writing");
    MV_LOG(11, "bad writing\n");
  }
  std::fclose(f);
}
