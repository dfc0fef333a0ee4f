// The Gaussian-process correction of the particle filter's weights: the
// floors' state built over a map, and the full, fixed and normal modes'
// weighing of the particles. Training lives in gp_training.cc, the kernel
// sums in gp_kernel_sums.cc.
#include "wifipos/gaussian_processes/gp_methods.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "server/utils.h"
#include "wifipos/gaussian_processes/gp_internal.h"

using namespace gp_internal;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDefaultNoise = 10.0;
// Beyond these log-likelihoods exp() leaves the range of a double.
constexpr double kLogFloor = -700.0;
constexpr double kLogCeiling = 700.0;

bool IsNotHeard(double s) { return std::fabs(s - 1.0) < 1e-6; }

}  // namespace

int GaussianProcesses::initialize(NavigationMap& map) {
  const CommonNavProperties::GaussianProcesses& gp = map.getNavigationProperties().gaussianProcesses;
  mode_ = gp.Mode;
  meanModel_ = gp.Mean_model;
  noiseVariance_ = gp.Correction_noise;
  if (!(noiseVariance_ > 0.0) || !std::isfinite(noiseVariance_)) {
    MV_LOG(11, "GP correction noise %f is not a positive number, %f is used\n", noiseVariance_,
           kDefaultNoise);
    noiseVariance_ = kDefaultNoise;
  }
  useBeaconPower_ = gp.Use_beacon_power;
  differential_ = gp.Differention_mode;
  evaluated_.clear();
  block_.forget();
  std::vector<SublocationMap>& floors = map.getSublocationsVector();
  floors_.assign(floors.size(), SublocationGP(map.behaviour()));
  // Floor by floor, so that one floor's signal matrix at most is held.
  for (size_t i = 0; i < floors.size(); ++i) {
    floors_[i].fillGpSublocation(floors[i], mode_);
    floors_[i].fillGpSublocation2(mode_);
  }
  return 0;
}

void GaussianProcesses::setParticles(const std::vector<Particle>& particles, double backX, double backY) {
  particles_ = particles;
  if (backX != 0.0 || backY != 0.0) {
    for (Particle& p : particles_) {
      p.x -= backX;
      p.y -= backY;
    }
  }
  newWeights_.assign(particles_.size(), 1.0);
}

int GaussianProcesses::correction() {
  newWeights_.assign(particles_.size(), 1.0);
  if (floorIndex_ < 0 || floorIndex_ >= static_cast<int>(floors_.size())) {
    MV_LOG(11, "GP correction: bad sublocation index %d\n", floorIndex_);
    return 4;
  }
  const SublocationGP& floor = floors_[floorIndex_];
  std::vector<double> logWeights(particles_.size(), 0.0);
  if (mode_ != 122) {
    int visible = 0;
    for (double s : signals_) {
      if (std::isfinite(s) && s > -100.0 && s != 1.0) ++visible;
    }
    if (visible == 0) {
      MV_LOG(11, "GP CORRECTION INTERRUPTED, number of visible APs = 0\n");
      return 4;
    }
    exponent_ = 1.0 / visible;
    planEvaluation();
    fullModeCorrection(floor, logWeights);
    reuseEvaluation(logWeights);
  } else {
    if (measurements_.empty()) {
      MV_LOG(11, "GP CORRECTION INTERRUPTED, number of visible APs = 0\n");
      return 4;
    }
    exponent_ = 1.0 / static_cast<double>(measurements_.size());
    // A path-loss model costs less to evaluate than to look up: every live
    // particle is evaluated.
    todo_.clear();
    for (size_t j = 0; j < particles_.size(); ++j) {
      if (particles_[j].weight != 0.0) todo_.push_back(j);
    }
    normalModeCorrection(floor, logWeights);
    evaluations_ += todo_.size();
  }

  // Back from logs. The plain product is kept whenever it is representable;
  // otherwise one common factor brings the best particle to 1.0, which
  // leaves the particles' relative weights as they were.
  double best = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < particles_.size(); ++i) {
    if (particles_[i].weight == 0.0) continue;
    if (std::isnan(logWeights[i])) logWeights[i] = -std::numeric_limits<double>::infinity();
    best = std::max(best, logWeights[i]);
  }
  const double shift = (best < kLogFloor || best > kLogCeiling) && std::isfinite(best) ? best : 0.0;
  double sum = 0.0;
  for (size_t i = 0; i < particles_.size(); ++i) {
    if (particles_[i].weight == 0.0) continue;
    newWeights_[i] = std::exp(logWeights[i] - shift);
    sum += newWeights_[i];
  }
  if (!particles_.empty() && sum != 0.0) return 0;
  MV_LOG(11, "all new Weight in correction = 0\n");
  return 4;
}

// A particle's log-likelihood depends only on its position and the window,
// so within one window a position is evaluated once: particles copied by a
// resampling without noise, and the same cloud handed in again, reuse it.
// The reused value is the one the evaluation produced, so the weights are
// the same bit for bit.
void GaussianProcesses::planEvaluation() {
  todo_.clear();
  pending_.clear();
  for (size_t j = 0; j < particles_.size(); ++j) {
    const Particle& q = particles_[j];
    if (q.weight == 0.0) continue;
    const PositionKey key{std::bit_cast<uint64_t>(q.x), std::bit_cast<uint64_t>(q.y)};
    if (evaluated_.count(key) != 0) continue;
    if (pending_.emplace(key, j).second) todo_.push_back(j);
  }
}

void GaussianProcesses::reuseEvaluation(std::vector<double>& logWeights) {
  for (const size_t j : todo_) {
    const Particle& q = particles_[j];
    evaluated_[PositionKey{std::bit_cast<uint64_t>(q.x), std::bit_cast<uint64_t>(q.y)}] =
        logWeights[j];
  }
  for (size_t j = 0; j < particles_.size(); ++j) {
    const Particle& q = particles_[j];
    if (q.weight == 0.0) continue;
    logWeights[j] =
        evaluated_.find(PositionKey{std::bit_cast<uint64_t>(q.x), std::bit_cast<uint64_t>(q.y)})
            ->second;
  }
  evaluations_ += todo_.size();
  pending_.clear();
}

void GaussianProcesses::fullModeCorrection(const SublocationGP& floor,
                                           std::vector<double>& logWeights) {
  const bool fixed = mode_ == 123;
  const double logNorm = -0.5 * std::log(2.0 * kPi * noiseVariance_);
  const auto& params = floor.getParameters();
  const auto& usable = floor.getUsable();
  const int nKeys = std::min({static_cast<int>(signals_.size()), floor.getNumberOfKeys(),
                              static_cast<int>(params.size()),
                              static_cast<int>(floor.getAlpha().size()),
                              static_cast<int>(usable.size())});
  // The keys that take part, with the constant part of their mean. A
  // prediction adds the kernel sum to the mean the key was trained with; the
  // original fixed mode trains without the record's log-distance term but
  // predicts with it, so its every level is off by that term.
  const bool recordMean = fixed && !floor.behaviour().predictsFixedModeWithTrainedMean();
  struct Heard {
    int k;
    double s, offset, b, xAp, yAp;
  };
  std::vector<Heard> heard;
  for (int k = 0; k < nKeys; ++k) {
    const GpParams& p = params[k];
    const double s = signals_[k];
    if (std::fabs(p[GP_PARAM_SF] - 1.0) < 1e-6) continue;  // record without parameters
    if (!std::isfinite(s) || s < -100.0 || IsNotHeard(s) || !usable[k]) continue;
    const KeyModel m = ModelFor(p, fixed, false, floor.getEll());
    const double a = recordMean ? p[GP_PARAM_A] : m.a, b = recordMean ? p[GP_PARAM_B] : m.b;
    heard.push_back({k, s, m.mu + a, b, m.xAp, m.yAp});
  }
  // The heard keys stay the same through a window, so the block laid out
  // for them serves every pass of it.
  std::vector<int> keys(heard.size());
  for (size_t i = 0; i < heard.size(); ++i) keys[i] = heard[i].k;
  floor.prepareBlock(keys, block_);
  const size_t nHeard = heard.size();
  // The mean model's logs of a particle, all keys at once.
  logs_.resize(2 * nHeard);
  double* dist2 = logs_.data();
  double* logs = logs_.data() + nHeard;
  auto addTerms = [&](size_t j, const double* sums) {
    const Particle& q = particles_[j];
    for (size_t i = 0; i < nHeard; ++i) {
      const double dx = heard[i].xAp - q.x, dy = heard[i].yAp - q.y;
      dist2[i] = dx * dx + dy * dy + 1e-5;
    }
    gp_detail::Logs(dist2, static_cast<int>(nHeard), logs);
    for (size_t i = 0; i < nHeard; ++i) {
      const Heard& h = heard[i];
      double f = h.offset - h.b * logs[i];
      f += sums[i];
      const double r = h.s - f;
      logWeights[j] += exponent_ * (-r * r / (2.0 * noiseVariance_) + logNorm);
    }
  };
  // Neighbouring positions in pairs, which share the work of their sums:
  // ordered by 2 m bands of y and then x. The order of evaluation changes
  // nothing else; each particle still adds its keys' terms in key order.
  order_.clear();
  for (const size_t j : todo_) {
    const double b = std::floor(particles_[j].y / 2.0);
    order_.push_back({std::isfinite(b) ? b : 0.0, particles_[j].x, j});
  }
  std::sort(order_.begin(), order_.end(), [](const Placement& a, const Placement& b) {
    if (a.band != b.band) return a.band < b.band;
    return a.x < b.x || (!(b.x < a.x) && a.j < b.j);
  });
  // Up to kMaxPositions neighbours at a time.
  constexpr int kGroup = SublocationGP::kMaxPositions;
  sums_.resize(kGroup * nHeard);
  for (size_t i = 0; i < order_.size(); i += kGroup) {
    const int n = static_cast<int>(std::min<size_t>(kGroup, order_.size() - i));
    double x[kGroup], y[kGroup];
    double* sums[kGroup];
    for (int q = 0; q < n; ++q) {
      const Particle& p = particles_[order_[i + q].j];
      x[q] = p.x;
      y[q] = p.y;
      sums[q] = sums_.data() + q * nHeard;
    }
    floor.kernelSums(block_, n, x, y, sums);
    for (int q = 0; q < n; ++q) addTerms(order_[i + q].j, sums[q]);
  }
}

void GaussianProcesses::normalModeCorrection(const SublocationGP& floor,
                                             std::vector<double>& logWeights) {
  const double logNorm = -0.5 * std::log(2.0 * kPi * noiseVariance_);
  const std::vector<Beacon>& beacons = floor.getBeacons();
  // Each measurement's beacon: the first floor beacon of the same id.
  std::vector<const Beacon*> beaconOf(measurements_.size(), nullptr);
  for (size_t i = 0; i < measurements_.size(); ++i) {
    const std::string id = measurements_[i].getBeaconId();
    for (const Beacon& b : beacons) {
      if (b.getId() == id) {
        beaconOf[i] = &b;
        break;
      }
    }
    if (!std::isfinite(measurements_[i].getRssi())) beaconOf[i] = nullptr;
  }
  auto addTerm = [&](size_t j, double r) {
    logWeights[j] += exponent_ * (-r * r / (2.0 * noiseVariance_) + logNorm);
  };

  if (!differential_) {
    double a = floor.getA(), b = floor.getB();
    for (size_t i = 0; i < measurements_.size(); ++i) {
      const Beacon* beacon = beaconOf[i];
      if (beacon == nullptr) continue;
      // A beacon's own coefficients replace the working ones and stay for
      // the measurements that follow in this pass.
      if (useBeaconPower_ && beacon->getA() != 0.0) a = beacon->getA();
      if (useBeaconPower_ && beacon->getB() != 0.0) b = beacon->getB();
      const double rssi = measurements_[i].getRssi();
      for (const size_t j : todo_) {
        const Particle& q = particles_[j];
        addTerm(j, rssi - (a - b * LogDistance(beacon->getX() - q.x, beacon->getY() - q.y)));
      }
    }
    return;
  }

  // Differential: pairs of measurements compared with the difference of the
  // path-loss model at the particle, each beacon with its own coefficients
  // when beacon power is used, so a common offset of the receiver cancels.
  const double n = static_cast<double>(measurements_.size());
  exponent_ = 1.0 / (n * n);
  auto coefA = [&](const Beacon* bc) {
    return useBeaconPower_ && bc->getA() != 0.0 ? bc->getA() : floor.getA();
  };
  auto coefB = [&](const Beacon* bc) {
    return useBeaconPower_ && bc->getB() != 0.0 ? bc->getB() : floor.getB();
  };
  for (size_t i = 0; i < measurements_.size(); ++i) {
    const Beacon* bi = beaconOf[i];
    if (bi == nullptr) continue;
    for (size_t k = 0; k < measurements_.size(); ++k) {
      const Beacon* bk = beaconOf[k];
      if (bk == nullptr) continue;
      const double measured = measurements_[i].getRssi() - measurements_[k].getRssi();
      for (const size_t j : todo_) {
        const Particle& q = particles_[j];
        const double mi = coefA(bi) - coefB(bi) * LogDistance(bi->getX() - q.x, bi->getY() - q.y);
        const double mk = coefA(bk) - coefB(bk) * LogDistance(bk->getX() - q.x, bk->getY() - q.y);
        addTerm(j, measured - (mi - mk));
      }
    }
  }
}
