// The particle filter's cloud: seeding it on a floor or carrying it over,
// moving it by a step, weighing it against a fix, and resampling it.
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

constexpr double kSqrtTwoPi = 2.5066282746310002;

constexpr int kResampleDraws = 20;

// Redraws one particle of a uniform restart may take before it is placed on a
// walkable pixel chosen from the list of all of them (a floor that is mostly
// wall would otherwise take very long, one without walkable pixels forever).
constexpr int kRestartDraws = 1000;

// The Gaussian-process factor of a particle is a geometric mean over the
// transmitters heard, which weighs a whole scan like a single reading; the
// kit counts it as this many independent readings.
constexpr double kGpScanReadings = 4.0;

// The kit's gate on radio fixes once steps move the cloud: a fix farther
// from the cloud's mean than this many times the correction noise is taken
// with a noise of its distance over this, so one that the steps cannot
// explain pulls the cloud a little instead of dragging it across the floor
// (on sparse, shadowed radio single fixes stray by many metres).
constexpr double kFixGate = 1.5;

// The kit learns the noise of the fixes a cloud moved by steps is weighed
// with: the mean distance per axis from each fix to the cloud's mean, as a
// running mean taking this share of each new fix (about the last ten count).
// The settings' correction noise is a venue's worst case; where the radio is
// clean it weighs a good fix so lightly that each fix moves the cloud a few
// centimetres, and a cloud that fell behind a walker stays behind. Never
// sharper than this (m): a handful of particles would carry the cloud.
constexpr double kFixNoiseLearnRate = 0.1;
constexpr double kLeastFixNoise = 0.5;

// Resampling noise stands for the walker's movement between resamplings;
// while the walker stands still the kit draws with this share of it.
constexpr double kStandingNoiseShare = 0.1;

// Once steps move the cloud, the steps' own length and heading noise spread
// it as the walker goes, and resampling at the full noise (several metres on
// most maps) would blur away what they told it: the kit draws with this
// share of the noise, and one particle in kWideDrawEvery with all of it, so
// that a cloud that lost the walker still has particles where the radio
// places him.
constexpr double kWalkingNoiseShare = 0.02;

constexpr size_t kWideDrawEvery = 20;

// A step's length is the model's times the walker's gain, which the radio
// teaches over tens of metres and which stays off by a fifth or more until
// then (and after a stair flight or a change of pace): an error the same for
// every step, which the settings' step-length noise (a tenth of a metre,
// independent from step to step) does not cover. While fixes steer the
// cloud the kit draws each particle's step with this share of its length as
// further noise, so the cloud spreads along the way as far as the steps may
// be wrong and a fix can pull it forward or back. A Gaussian-process result
// counts as several readings and pulls the cloud without it; with it, its
// rows came out no better. Dead reckoning has no fix to pull the spread in.
constexpr double kStepGainDoubt = 0.25;

// Heading into [0, 2 pi).
double WrapTwoPi(double a) {
  if (a >= 0.0 && a < kTwoPi) return a;
  if (!std::isfinite(a)) return a;
  double r = std::fmod(a, kTwoPi);
  if (r < 0.0) r += kTwoPi;
  if (r >= kTwoPi) r = 0.0;
  return r;
}

// The bitmap tests of BmpState, answered the same way but inlined: a move
// tests every pixel along every particle's path, which makes these the
// filter's innermost loop.
class PixelTest {
 public:
  explicit PixelTest(const BmpState& bmp)
      : pixels_(bmp.getPixels().data()),
        stride_(bmp.getStride()),
        size_(static_cast<double>(bmp.getPixels().size())),
        width_(static_cast<double>(bmp.getInfoHeader().biWidth)),
        height_(static_cast<double>(bmp.getInfoHeader().biHeight)),
        kx_(bmp.getKx()),
        ky_(bmp.getKy()) {}

  // BmpState::checkPixelColor: true when the point's pixel is blocked or not
  // part of the picture.
  bool pixel(double x, double y) const {
    const double c = std::trunc(x * kx_);
    const double r = std::trunc(y * ky_);
    // NaN fails every comparison, so it lands on the blocked side too.
    // Whole stored rows only: (r + 1) rows must fit in the pixel bytes.
    if (!(c >= 0.0 && r >= 0.0 && c < 8.0 * stride_ && (r + 1.0) * stride_ <= size_)) {
      return true;
    }
    const size_t col = static_cast<size_t>(c);
    const uint8_t byte = pixels_[static_cast<size_t>(r) * static_cast<size_t>(stride_) + col / 8];
    return ((byte >> (7 - col % 8)) & 1) == 0;
  }

  // BmpState::checkBordersAndPixelColor: also blocked outside the picture.
  bool bordersAndPixel(double x, double y) const {
    const double c = std::trunc(x * kx_);
    const double r = std::trunc(y * ky_);
    if (!(c >= 0.0 && r >= 0.0 && c < width_ && r < height_)) return true;
    return pixel(x, y);
  }

 private:
  const uint8_t* pixels_;
  int stride_;
  double size_;
  double width_;
  double height_;
  double kx_;
  double ky_;
};

// Walkable pixels of a bitmap (column, row) whose centres the filter's own
// test accepts.
std::vector<std::pair<int32_t, int32_t>> WalkablePixels(const BmpState& bmp) {
  std::vector<std::pair<int32_t, int32_t>> out;
  const BitMapInfoHeader& h = bmp.getInfoHeader();
  const double kx = bmp.getKx();
  const double ky = bmp.getKy();
  const int stride = bmp.getStride();
  if (h.biWidth <= 0 || h.biHeight <= 0 || stride <= 0 || !(kx > 0.0) || !(ky > 0.0) ||
      !Finite(kx, ky)) {
    return out;
  }
  const std::vector<uint8_t>& px = bmp.getPixels();
  const int64_t rows = std::min<int64_t>(
      {h.biHeight, static_cast<int64_t>(px.size() / stride), std::numeric_limits<int32_t>::max()});
  const int64_t cols =
      std::min<int64_t>({h.biWidth, 8LL * stride, std::numeric_limits<int32_t>::max()});
  const PixelTest test(bmp);
  for (int64_t r = 0; r < rows; ++r) {
    const uint8_t* row = px.data() + r * stride;
    for (int64_t c = 0; c < cols; ++c) {
      if (row[c / 8] == 0) {  // eight wall pixels at once
        c |= 7;
        continue;
      }
      if (((row[c / 8] >> (7 - c % 8)) & 1) == 0) continue;
      const double x = (static_cast<double>(c) + 0.5) / kx;
      const double y = (static_cast<double>(r) + 0.5) / ky;
      if (!test.bordersAndPixel(x, y)) out.emplace_back(static_cast<int32_t>(c), static_cast<int32_t>(r));
    }
  }
  return out;
}

}  // namespace

bool ParticleFilter::walkingResampling() const {
  // Draws around an anchor place a cloud anew and keep the full spread. In
  // dead reckoning no fix re-centres the cloud, and only the walls thin it
  // out: there the full spread keeps it from narrowing onto the few
  // particles a corner left.
  return behaviour_.resamplesGently() && !deadReckoning_ && !standing_ && movedBySteps_ && properties_.nAroundPoint == 0;
}

double ParticleFilter::scatterFixSigma() const {
  // Without steps the cloud knows nothing the fixes did not tell it.
  if (!movedBySteps_ || (solution_.filteredX == 0.0 && solution_.filteredY == 0.0))
    return properties_.correctionNoise;
  const double base = fixNoise_ > 0.0 ? std::clamp(fixNoise_, kLeastFixNoise, properties_.correctionNoise)
                                      : properties_.correctionNoise;
  const double d = std::hypot(solution_.x - solution_.filteredX, solution_.y - solution_.filteredY);
  if (!std::isfinite(d) || d <= kFixGate * base) return base;
  return d / kFixGate;
}

void ParticleFilter::learnFixNoise(double fixX, double fixY) {
  double x = 0.0, y = 0.0;
  if (!cloudMean(&x, &y)) return;
  const double d = 0.5 * (std::fabs(fixX - x) + std::fabs(fixY - y));
  if (!std::isfinite(d)) return;
  const double before = fixNoise_ > 0.0 ? fixNoise_ : properties_.correctionNoise;
  fixNoise_ = (1.0 - kFixNoiseLearnRate) * before + kFixNoiseLearnRate * d;
}

void ParticleFilter::initializeParticles() {
  const int n = properties_.nParticles;
  if (n < 0) {
    MV_LOG(11, "ERROR: number of particles < 0!\n");
    return;
  }
  particles_.assign(static_cast<size_t>(n), Particle{});
  distribution_.assign(static_cast<size_t>(n), 0.0);
  newWeights_.assign(static_cast<size_t>(n), 1.0);
}

bool ParticleFilter::carryCloudOver(const std::vector<Particle>& before) {
  if (particles_.empty() || before.size() != particles_.size()) return false;
  const PixelTest test(bmp_);
  double sum = 0.0;
  for (size_t i = 0; i < particles_.size(); ++i) {
    const Particle& b = before[i];
    Particle& p = particles_[i];
    p = b;
    if (!(b.weight > 0.0) || !std::isfinite(b.weight) || !std::isfinite(b.x) || !std::isfinite(b.y) ||
        test.bordersAndPixel(b.x, b.y)) {
      p.weight = 0.0;
    }
    sum += p.weight;
  }
  if (!(sum > 0.0) || !std::isfinite(sum)) return false;
  for (Particle& p : particles_) p.weight /= sum;
  getSolution();
  // The dead ones are drawn again from the living at once, so that the
  // cloud keeps its size on the new floor.
  resampleParticles();
  getSolution();
  return true;
}

void ParticleFilter::reinitializeParticles() {
  if (particles_.empty()) return;
  const double weight = 1.0 / static_cast<double>(particles_.size());
  const double angle = WrapPi(lastHeading_);
  const BitMapInfoHeader& h = bmp_.getInfoHeader();
  const bool sized = h.biWidth > 0 && h.biHeight > 0 && !bmp_.getPixels().empty();
  bool listed = false;
  std::vector<std::pair<int32_t, int32_t>> walkable;
  if (!sized) listed = true;  // nothing to draw on: the empty list below
  // Draws cover [0, width) x [0, height); on an empty area they cannot hit.
  bool draw = sized && properties_.width > 0.0 && properties_.height > 0.0;
  const PixelTest test(bmp_);

  for (Particle& p : particles_) {
    p.angle = angle;
    p.weight = weight;
    bool placed = false;
    if (draw) {
      for (int d = 0; d < kRestartDraws; ++d) {
        p.x = nRand() * properties_.width;
        p.y = nRand() * properties_.height;
        if (!test.bordersAndPixel(p.x, p.y)) {
          placed = true;
          break;
        }
      }
    }
    if (placed) continue;
    // One particle that found nothing says the floor is almost all wall: the
    // rest are placed from the list straight away.
    draw = false;
    if (!listed) {
      walkable = WalkablePixels(bmp_);
      listed = true;
    }
    if (walkable.empty()) {
      MV_LOG(11, "ERROR: floor bitmap has no walkable pixel, particles are left dead\n");
      for (Particle& q : particles_) q = Particle{0.0, 0.0, angle, 0.0};
      return;
    }
    size_t k = static_cast<size_t>(nRand() * static_cast<double>(walkable.size()));
    k = std::min(k, walkable.size() - 1);
    p.x = (walkable[k].first + 0.5) / bmp_.getKx();
    p.y = (walkable[k].second + 0.5) / bmp_.getKy();
  }
}

void ParticleFilter::setAngleDistribution(double angle, double spreadDeg) {
  if (!std::isfinite(angle)) {
    MV_LOG(11, "ERROR: heading is not a number, heading distribution kept\n");
    return;
  }
  if (!std::isfinite(spreadDeg)) {
    MV_LOG(11, "ERROR: heading spread is not a number, 0 is used\n");
    spreadDeg = 0.0;
  }
  const double sigma = spreadDeg * kPi / 180.0;
  for (Particle& p : particles_) {
    double a = angle;
    if (spreadDeg != 0.0) a += generateGaussianNoise(0.0, sigma);
    // An absurd spread can overflow the noise; such a draw counts as none.
    p.angle = WrapPi(std::isfinite(a) ? a : angle);
  }
  solution_.filteredAngle = WrapPi(angle);
  lastHeading_ = WrapPi(angle);
  getSolution();
}

void ParticleFilter::propogateHeadingAngle(double angle) {
  if (!std::isfinite(angle)) {
    MV_LOG(11, "ERROR: heading is not a number, heading change ignored\n");
    return;
  }
  const double a = WrapTwoPi(lastHeading_);
  const double b = WrapTwoPi(angle);
  const double delta = lastHeading_ == 0.0 ? 0.0 : b - a;
  lastHeading_ = angle;
  if (delta == 0.0 || particles_.empty()) return;
  for (Particle& p : particles_) p.angle = WrapPi(p.angle + delta);
  solution_.filteredAngle = WrapPi(solution_.filteredAngle + delta);
}

void ParticleFilter::moveParticles() {
  const double stepLength = prediction_.stepLength;
  const double offset = prediction_.headingOffset;
  prediction_.headingOffset = 0.0;
  if (stepLength == 0.0) {
    MV_LOG(11, "WARNING: Step length == %lf\n", stepLength);
    return;
  }
  if (particles_.empty()) {
    MV_LOG(11, "ERROR: there is no any particle in move particles method\n");
    return;
  }
  if (stepLength >= 0.01) movedBySteps_ = true;
  const double angleSigma = prediction_.angleNoise * kPi / 180.0;
  // A particle sent off its heading by the noise advances along it by the
  // cosine of the deviation, exp(-sigma^2/2) of the length on average: the
  // noise should widen the cloud, not shorten every step of its mean (0.5 %
  // at the usual 5 degrees, more at higher noise). The kit lengthens the
  // mean move by as much.
  const double meanLength =
      behaviour_.keepsStepAdvanceUnderNoise() && std::isfinite(angleSigma) ? stepLength * std::exp(0.5 * angleSigma * angleSigma) : stepLength;
  const bool doubted = behaviour_.spreadsStepsByGainDoubt() && !deadReckoning_ && properties_.algorithm != NAV_ALG_GP;
  const double lengthNoise =
      doubted ? std::hypot(prediction_.stepLengthNoise, kStepGainDoubt * stepLength) : prediction_.stepLengthNoise;
  const PixelTest test(bmp_);
  for (size_t i = 0; i < particles_.size(); ++i) {
    Particle& p = particles_[i];
    if (p.weight == 0.0) {
      p.x = 0.0;
      p.y = 0.0;
      continue;
    }
    const double len = generateGaussianNoise(meanLength, lengthNoise);
    const double base = offset != 0.0 ? p.angle + offset : p.angle;
    double a = base + generateGaussianNoise(0.0, angleSigma);
    a = WrapPi(std::isfinite(a) ? a : base);  // overflowing noise: no heading noise
    // The offset belongs to this move; the particle keeps only its noise.
    if (properties_.useEstimatedAngle) p.angle = offset != 0.0 ? WrapPi(a - offset) : a;
    if (stepLength < 0.01) {
      MV_LOG(11, "ERROR in particle filter StepLength == %lf\n", len);
      return;
    }
    double newX = p.x + len * std::sin(a);
    double newY = p.y + len * std::cos(a);
    if (test.bordersAndPixel(newX, newY)) p.weight = 0.0;
    const unsigned idx = static_cast<unsigned>(i);
    checkOutlier(idx, newX, newY);
    if (p.weight != 0.0) {
      p.x = newX;
      p.y = newY;
    } else {
      p.x = 0.0;
      p.y = 0.0;
    }
  }
  double sum = 0.0;
  for (const Particle& p : particles_) sum += p.weight;
  if (!std::isfinite(sum)) {
    MV_LOG(11,
           "ERROR: std::isnan or std::isinf in sum of particles weights. Sum will be set to 0\n");
    MV_LOG(11, "All particles bumped an obstacle \n");
  } else if (sum == 0.0) {
    MV_LOG(11, "All particles bumped an obstacle \n");
  } else {
    for (Particle& p : particles_) p.weight /= sum;
  }
}

void ParticleFilter::checkOutlier(const unsigned& i, double& newX, double& newY) {
  if (i >= particles_.size()) return;
  Particle& p = particles_[i];
  if (p.weight == 0.0) return;
  const double kx = bmp_.getKx();
  const double ky = bmp_.getKy();
  const double dx = std::trunc((newX - p.x) * kx);
  const double dy = std::trunc((newY - p.y) * ky);
  if (!Finite(dx, dy)) {
    p.weight = 0.0;
    return;
  }
  const double n = std::max(std::fabs(dx), std::fabs(dy));
  if (n == 0.0) return;
  // Both ends lie inside the picture, so the walk spans at most its size; a
  // longer one starts outside it and cannot be a valid move.
  const BitMapInfoHeader& h = bmp_.getInfoHeader();
  if (n > static_cast<double>(h.biWidth) + static_cast<double>(h.biHeight) + 2.0) {
    p.weight = 0.0;
    return;
  }
  const PixelTest test(bmp_);
  const double stepX = dx == 0.0 ? 0.0 : (dx / n) / kx;
  const double stepY = dy == 0.0 ? 0.0 : (dy / n) / ky;
  const int count = static_cast<int>(n);
  for (int j = 0; j <= count; ++j) {
    if (test.pixel(p.x + stepX * j, p.y + stepY * j)) {
      p.weight = 0.0;
      return;
    }
  }
}

void ParticleFilter::updateWeights(bool againstFix) {
  const size_t n = particles_.size();
  if (n < 1) {
    MV_LOG(11, "ERROR: All weights are zero after correction !!!\n");
    return;
  }
  if (deadReckoning_ || !againstFix) {
    // Weights only renormalised: the walls may have killed particles.
  } else if (properties_.algorithm != NAV_ALG_GP) {
    const double sigma = behaviour_.fitsFixNoiseToScatter() ? scatterFixSigma() : properties_.correctionNoise;
    const double ax = solution_.x + radioLeadX_;
    const double ay = solution_.y + radioLeadY_;
    if (behaviour_.learnsFixNoise() && movedBySteps_) learnFixNoise(ax, ay);
    const double norm = 1.0 / (sigma * kSqrtTwoPi);
    for (Particle& p : particles_) {
      if (p.weight == 0.0) continue;
      const double d = std::fabs(p.x - ax) + std::fabs(p.y - ay);
      p.weight *= std::exp(-d / (2.0 * sigma)) * norm;
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      Particle& p = particles_[i];
      if (!std::isfinite(p.weight)) {
        MV_LOG(11, "ERROR: std::isnan or std::isinf in %d particle. Weight will be set to 0\n",
               static_cast<int>(i));
        p.weight = 0.0;
      }
      // A particle the last Gaussian-process result did not cover keeps its weight.
      if (i < newWeights_.size()) {
        p.weight *= behaviour_.weighsEvidenceOnce() && newWeightsAreSeveral_ ? std::pow(newWeights_[i], kGpScanReadings) : newWeights_[i];
      }
    }
  }
  double sum = 0.0;
  for (const Particle& p : particles_) sum += p.weight;
  if (sum == 0.0 || !std::isfinite(sum)) {
    MV_LOG(11, "ERROR: All weights are zero after correction !!!\n");
    return;
  }
  double total = 0.0;
  double squares = 0.0;
  for (Particle& p : particles_) {
    p.weight /= sum;
    total += p.weight;
    squares += p.weight * p.weight;
  }
  if (total >= 0.9999999999 && total <= 1.0000000001) {
    MV_LOG(11, "      CORRECTION: norm = %.2lf \n", 1.0 / squares);
  } else {
    MV_LOG(11, "Something wrong in correction!!!\n");
  }
}

bool ParticleFilter::isResampling() {
  double s = 0.0;
  for (const Particle& p : particles_) s += p.weight * p.weight;
  MV_LOG(11, "resamplingSum = %lf\n", 1.0 / s);
  return properties_.resamplingThreshold > 1.0 / s || s == 0.0;
}

void ParticleFilter::getDistribution() {
  const size_t n = particles_.size();
  distribution_.resize(n);
  double acc = 0.0;
  for (size_t i = 0; i < n; ++i) {
    acc += particles_[i].weight;
    distribution_[i] = acc;
  }
  if (n == 0) return;
  const double total = distribution_[n - 1];
  if (!(total > 0.0) || !std::isfinite(total)) {
    // No particle carries weight: every one is equally likely.
    MV_LOG(11, "ERROR: particle weights sum to %lf, resampling draws uniformly\n", total);
    for (size_t i = 0; i < n; ++i) {
      distribution_[i] = static_cast<double>(i + 1) / static_cast<double>(n);
    }
    return;
  }
  for (double& d : distribution_) d /= total;
}

void ParticleFilter::getInverseDistribution(std::vector<int>& idx) {
  const double u = nRand();
  const size_t n = particles_.size();
  idx.resize(n);
  if (n == 0) return;
  if (distribution_.size() != n) getDistribution();
  const double dn = static_cast<double>(n);
  size_t j = 0;
  for (size_t i = 0; i < n; ++i) {
    const double pos = u / dn + static_cast<double>(i) / dn;
    while (j < n && pos > distribution_[j]) ++j;
    idx[i] = static_cast<int>(j < n ? j : n - 1);
  }
}

void ParticleFilter::resampleParticles() {
  const uint64_t period = static_cast<uint64_t>(std::max(properties_.noisyResamplingTrigger, 0)) + 1;
  // Draws around an anchor keep the full spread: they place a cloud anew.
  const bool standing = behaviour_.resamplesGently() && standing_ && properties_.nAroundPoint == 0;
  const bool walking = walkingResampling();
  const double share = standing ? kStandingNoiseShare : walking ? kWalkingNoiseShare : 1.0;
  const bool noisy = static_cast<uint64_t>(resampleCounter_) % period == 0;
  const double sigma = noisy ? properties_.resamplingNoise * share : 0.0;
  const double wideSigma = noisy ? properties_.resamplingNoise : 0.0;
  ++resampleCounter_;

  const size_t n = particles_.size();
  oldParticles_ = particles_;
  getDistribution();
  getInverseDistribution(resampleIndex_);

  const int64_t firstAround =
      static_cast<int64_t>(n) - static_cast<int64_t>(properties_.nAroundPoint);
  const int nRound = properties_.useEstimatedAngle ? properties_.nRoundParticles : 0;
  const PixelTest test(bmp_);
  size_t outliers = 0;
  for (size_t i = 0; i < n; ++i) {
    const Particle& from = oldParticles_[static_cast<size_t>(resampleIndex_[i])];
    Particle& p = particles_[i];
    p.weight = 1.0;
    double angle = from.angle;
    if (static_cast<int64_t>(i) < nRound) {
      angle = (static_cast<double>(i) + 0.5) * kTwoPi / static_cast<double>(nRound);
    }
    p.angle = WrapPi(angle);
    double bx = solution_.x;
    double by = solution_.y;
    if (static_cast<int64_t>(i) < firstAround) {
      bx = from.x;
      by = from.y;
    }
    const double s = walking && i % kWideDrawEvery == 0 ? wideSigma : sigma;
    bool blocked = true;
    for (int d = 0; d < kResampleDraws; ++d) {
      p.x = generateGaussianNoise(bx, s);
      p.y = generateGaussianNoise(by, s);
      blocked = test.bordersAndPixel(p.x, p.y);
      // Without noise every redraw is the same point.
      if (!blocked || s == 0.0) break;
    }
    if (blocked) {
      p.weight = 0.0;
      ++outliers;
      if (!Finite(p.x, p.y)) p.x = 0.0, p.y = 0.0;  // an overflowing draw is parked
    }
  }
  if (outliers == n) {
    if (n > 0) MV_LOG(11, "ERROR: every resampled particle is blocked, all particles are dead\n");
  } else {
    const double live = static_cast<double>(n - outliers);
    for (Particle& p : particles_) p.weight /= live;
  }
  MV_LOG(11, " RESAMPLING: %d outlier particles  \n", static_cast<int>(outliers));
}

void ParticleFilter::resampleAroundPoint(const double& x, const double& y, const double& radius) {
  if (!Finite(x, y) || !std::isfinite(radius)) {
    MV_LOG(11, "ERROR: resampling point or radius is not a number, no resampling\n");
    return;
  }
  const double savedNoise = properties_.resamplingNoise;
  const int savedAround = properties_.nAroundPoint;
  const double savedX = solution_.x;
  const double savedY = solution_.y;
  properties_.resamplingNoise = radius;
  properties_.nAroundPoint = properties_.nParticles;
  solution_.x = x;
  solution_.y = y;
  resampleParticles();
  properties_.resamplingNoise = savedNoise;
  properties_.nAroundPoint = savedAround;
  solution_.x = savedX;
  solution_.y = savedY;
}
