// Training of one floor's Gaussian processes: the survey read into the
// model, each key's coefficients solved, and the layout the kernel sums
// run over.
#include "wifipos/gaussian_processes/gp_methods.h"

#include <Eigen/Cholesky>
#include <Eigen/Dense>

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

// A Cholesky pivot this small against its diagonal means the kernel is
// numerically singular and the coefficients would be noise.
constexpr double kPivotTolerance = 1e-10;

// Solves K alpha = r for the symmetric kernel that fill(m, jitter) writes
// into the lower triangle of m (with jitter added to its diagonal), adding
// jitter while the factorisation fails or is numerically singular. The
// factor takes the kernel's place, so training holds one matrix of the
// key's size; a retry writes the kernel again. False when nothing works.
template <typename Fill>
bool SolveKernel(Eigen::MatrixXd& m, const Fill& fill, const Eigen::VectorXd& r,
                 Eigen::VectorXd& alpha) {
  const Eigen::Index n = m.rows();
  Eigen::VectorXd diagonal(n);
  double jitter = 0.0, scale = 1.0;
  for (int attempt = 0; attempt < 6; ++attempt) {
    fill(m, jitter);
    diagonal = m.diagonal();
    if (attempt == 0) scale = std::max(1.0, diagonal.cwiseAbs().maxCoeff());
    Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>> llt(m);
    if (llt.info() == Eigen::Success) {
      const auto l = llt.matrixLLT().diagonal();
      double worst = std::numeric_limits<double>::infinity();
      for (Eigen::Index i = 0; i < n; ++i) worst = std::min(worst, l[i] * l[i] / diagonal[i]);
      if (worst > kPivotTolerance) {
        alpha = llt.solve(r);
        if (alpha.allFinite()) return true;
      }
    }
    jitter = jitter == 0.0 ? 1e-10 * scale : jitter * 100.0;
  }
  return false;
}


// A table of first points per row and x index is kept while it is at most
// this many entries per point of the floor (plus a little).
constexpr size_t kRowTablePerPoint = 16;

// At most this many cells along an axis: a key's grid stays small however
// short its cutoff radius is against the floor.
constexpr double kMaxCellsPerAxis = 256.0;

}  // namespace

int SublocationGP::fillGpSublocation(SublocationMap& floor, int& mode) {
  const SublocationNavProperties& props = floor.getProperties();
  a_ = props.A;
  b_ = props.B;
  ell_ = props.ell;
  beacons_ = floor.getBeacons();
  params_ = std::as_const(floor).getGpParams();
  if (mode == 122) return 0;
  keys_ = std::as_const(floor).getUniqueApsBssid();
  fillRadioMap(floor);
  fillReferencePoints(floor);
  return 0;
}

int SublocationGP::fillRadioMap(SublocationMap& floor) {
  nPoints_ = static_cast<int>(floor.getNRp());
  nKeys_ = static_cast<int>(std::as_const(floor).getUniqueApsBssid().size());
  signals_.assign(nKeys_, std::vector<double>(nPoints_, 1.0));
  if (nPoints_ == 0 || nKeys_ == 0) {
    MV_LOG(11, "No Reference points or Access points for sublocation\n");
    return 4;
  }
  // The key list is the sorted list of the radio map's distinct keys, so a
  // key's row is its place in that list.
  std::unordered_map<std::string, int> row;
  const std::vector<std::string>& keys = std::as_const(floor).getUniqueApsBssid();
  for (int k = 0; k < nKeys_; ++k) row.emplace(keys[k], k);
  for (const auto& [key, entry] : std::as_const(floor).getRadioMap()) {
    auto it = row.find(key);
    const int point = entry.getRefPointIndex();
    if (it == row.end() || point < 0 || point >= nPoints_) continue;
    signals_[it->second][point] = entry.getRssi();
  }
  return 0;
}

int SublocationGP::fillReferencePoints(SublocationMap& floor) {
  points_.clear();
  for (const ReferencePoint& rp : std::as_const(floor).getReferencePoints()) {
    points_.emplace_back(rp.getX(), rp.getY());
  }
  return 0;
}

int SublocationGP::fillGpSublocation2(int& mode) {
  if (mode == 122) return 0;
  transformCovarianceParameters();
  calculateAdditionalVariables(mode);
  return 0;
}

int SublocationGP::transformCovarianceParameters() {
  if (static_cast<int>(params_.size()) < nKeys_) params_.resize(nKeys_, GpParams{});
  for (GpParams& p : params_) {
    p[GP_PARAM_SF] = std::exp(p[GP_PARAM_SF]) * std::exp(p[GP_PARAM_SF]);
    p[GP_PARAM_SN] = std::exp(p[GP_PARAM_SN]) * std::exp(p[GP_PARAM_SN]);
    p[GP_PARAM_ELL] = 2.0 * std::exp(p[GP_PARAM_ELL]) * std::exp(p[GP_PARAM_ELL]);
  }
  return 0;
}

int SublocationGP::calculateAdditionalVariables(int& mode) {
  const bool fixed = mode == 123;
  if (static_cast<int>(params_.size()) < nKeys_) params_.resize(nKeys_, GpParams{});
  if (static_cast<int>(signals_.size()) < nKeys_) nKeys_ = static_cast<int>(signals_.size());
  const int nPts = std::min<int>(nPoints_, static_cast<int>(points_.size()));
  active_.assign(nKeys_, {});
  alpha_.assign(nKeys_, {});
  kernels_.assign(nKeys_, KeyKernel{});
  count_.assign(nKeys_, 0);
  usable_.assign(nKeys_, 0);
  if (fixed && !(ell_ > 0.0 && std::isfinite(ell_))) {
    MV_LOG(11, "Fixed mode length scale %f is not positive; no transmitter can be used\n", ell_);
  }
  for (int k = 0; k < nKeys_; ++k) {
    for (int i = 0; i < nPts; ++i) {
      if (signals_[k][i] != 1.0) active_[k].push_back(i);
    }
    const int c = static_cast<int>(active_[k].size());
    count_[k] = c;
    alpha_[k].assign(c, 0.0);

    const KeyModel m = ModelFor(params_[k], fixed, behaviour_.addsFixedModeNugget(), ell_);
    const double diag = m.noiseVar / m.signalVar;
    const bool finite = std::isfinite(m.mu) && std::isfinite(m.a) && std::isfinite(m.b) &&
                        std::isfinite(m.xAp) && std::isfinite(m.yAp) &&
                        std::isfinite(m.twoEll2) && m.twoEll2 > 0.0 && std::isfinite(diag);
    if (!finite) continue;
    usable_[k] = 1;
    if (c == 0) continue;

    Eigen::VectorXd r(c);
    for (int i = 0; i < c; ++i) {
      const auto& [xi, yi] = points_[active_[k][i]];
      r[i] = signals_[k][active_[k][i]] - m.mu - m.a + m.b * LogDistance(m.xAp - xi, m.yAp - yi);
    }
    // The lower triangle: all the factorisation reads.
    auto fill = [&](Eigen::MatrixXd& kernel, double jitter) {
      for (int i = 0; i < c; ++i) {
        const auto& [xi, yi] = points_[active_[k][i]];
        for (int j = 0; j <= i; ++j) {
          const auto& [xj, yj] = points_[active_[k][j]];
          kernel(i, j) = std::exp(-((xi - xj) * (xi - xj) + (yi - yj) * (yi - yj)) / m.twoEll2);
        }
        kernel(i, i) += diag;
        if (jitter > 0.0) kernel(i, i) += jitter;
      }
    };
    Eigen::VectorXd alpha;
    Eigen::MatrixXd kernel;
    if (r.allFinite()) kernel.resize(c, c);
    if (r.allFinite() && SolveKernel(kernel, fill, r, alpha)) {
      for (int i = 0; i < c; ++i) alpha_[k][i] = alpha[i];
    } else {
      MV_LOG(11, "GP training of key %s failed; its mean model is used alone\n",
             k < static_cast<int>(keys_.size()) ? keys_[k].c_str() : "?");
    }
    buildKernel(k, m.twoEll2);
  }
  buildAxisGroups();
  // Only training reads the signal matrix, by far the largest part of a
  // floor's state (every key at every point); the corrections need the
  // coefficients alone.
  signals_ = {};
  return 0;
}

// exp(-((xi - x)^2 + (yi - y)^2) / c) is exp(-(xi - x)^2 / c) times
// exp(-(yi - y)^2 / c). Surveys lay their points out in rows and columns, so
// a floor has far fewer distinct x and y values than points: for keys of one
// length scale, the factors of those values are computed once per position
// and every key's sum is then a multiply-add per point. A length scale is
// summed this way only where that costs fewer exponentials than the grid.
void SublocationGP::buildAxisGroups() {
  ux_.clear();
  uy_.clear();
  orderCol_.clear();
  rowBegin_.clear();
  rowPoints_.clear();
  xBucket_.clear();
  groups_.clear();
  for (KeyKernel& kk : kernels_) kk.group = -1;
  for (const auto& [x, y] : points_) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    ux_.push_back(x);
    uy_.push_back(y);
  }
  std::sort(ux_.begin(), ux_.end());
  ux_.erase(std::unique(ux_.begin(), ux_.end()), ux_.end());
  std::sort(uy_.begin(), uy_.end());
  uy_.erase(std::unique(uy_.begin(), uy_.end()), uy_.end());

  // Keys by length scale, in key order.
  std::vector<std::pair<double, std::vector<int>>> scales;
  for (int k = 0; k < static_cast<int>(kernels_.size()); ++k) {
    const KeyKernel& kk = kernels_[k];
    if (kk.empty) continue;
    auto it = std::find_if(scales.begin(), scales.end(), [&](const auto& e) {
      return std::bit_cast<uint64_t>(e.first) == std::bit_cast<uint64_t>(kk.twoEll2);
    });
    if (it == scales.end()) {
      scales.emplace_back(kk.twoEll2, std::vector<int>{});
      it = scales.end() - 1;
    }
    it->second.push_back(k);
  }
  const auto axisCost = static_cast<double>(ux_.size() + uy_.size());
  std::vector<std::pair<double, std::vector<int>>> chosen;
  for (auto& [twoEll2, keys] : scales) {
    double terms = 0.0;
    for (int k : keys) terms += static_cast<double>(kernels_[k].alpha.size());
    // A multiply-add costs about a third of an exponential.
    if (3.0 * axisCost < 2.0 * terms) chosen.emplace_back(twoEll2, std::move(keys));
  }
  if (chosen.empty()) return;

  // The floor's point order: by row, then x, then point index.
  const int n = static_cast<int>(points_.size());
  struct Placed {
    int yi, xi, point;
  };
  std::vector<Placed> placed(n);
  for (int i = 0; i < n; ++i) {
    const auto& [x, y] = points_[i];
    placed[i] = {static_cast<int>(std::lower_bound(uy_.begin(), uy_.end(), y) - uy_.begin()),
                 static_cast<int>(std::lower_bound(ux_.begin(), ux_.end(), x) - ux_.begin()), i};
  }
  std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
    return std::tie(a.yi, a.xi, a.point) < std::tie(b.yi, b.xi, b.point);
  });
  // Every distinct y is some point's, so no row is empty.
  std::vector<int> positionOf(n);
  orderCol_.resize(n);
  rowBegin_.assign(uy_.size() + 1, n);
  for (int p = n - 1; p >= 0; --p) {
    positionOf[placed[p].point] = p;
    orderCol_[p] = placed[p].xi;
    rowBegin_[placed[p].yi] = p;
  }
  for (auto& [twoEll2, keys] : chosen) {
    for (int k : keys) {
      KeyKernel& kk = kernels_[k];
      const std::vector<int>& act = active_[k];
      const std::vector<double>& coef = alpha_[k];
      std::vector<std::pair<int, double>> at;  // floor position, coefficient
      for (size_t i = 0; i < std::min(act.size(), coef.size()); ++i) {
        if (coef[i] == 0.0) continue;  // adds exactly nothing
        at.emplace_back(positionOf[act[i]], coef[i]);
      }
      std::sort(at.begin(), at.end());
      kk.group = static_cast<int>(groups_.size());
      kk.x = {};
      kk.y = {};
      kk.start = {};
      kk.alpha.clear();
      kk.at.clear();
      for (const auto& [p, a] : at) {
        kk.at.push_back(p);
        kk.alpha.push_back(a);
      }
      kk.alpha.shrink_to_fit();
    }
    groups_.push_back(AxisGroup{twoEll2});
  }
  const int nx = static_cast<int>(ux_.size());
  const int buckets = 4 * nx;
  const double span = ux_.back() - ux_.front();
  xOrigin_ = ux_.front();
  xScale_ = span > 0.0 && std::isfinite(buckets / span) ? buckets / span : 0.0;
  xBucket_.assign(buckets, nx);
  for (int u = nx - 1; u >= 0; --u) {
    for (int i = xBucketOf(ux_[u]); i >= 0 && xBucket_[i] > u; --i) xBucket_[i] = u;
  }
  // rowPoint as a table, when that is small against the floor.
  const size_t cols = ux_.size() + 1;
  if (uy_.size() * cols <= kRowTablePerPoint * static_cast<size_t>(n) + 4096) {
    rowPoints_.resize(uy_.size() * cols);
    for (size_t v = 0; v < uy_.size(); ++v) {
      int p = rowBegin_[v];
      for (size_t u = 0; u < cols; ++u) {
        while (p < rowBegin_[v + 1] && orderCol_[p] < static_cast<int>(u)) ++p;
        rowPoints_[v * cols + u] = p;
      }
    }
  }
}

void SublocationGP::buildKernel(int k, double twoEll2) {
  KeyKernel& kk = kernels_[k];
  kk = KeyKernel{};
  kk.twoEll2 = twoEll2;
  const std::vector<int>& act = active_[k];
  const std::vector<double>& alpha = alpha_[k];
  const size_t c = std::min(act.size(), alpha.size());
  double sumAbs = 0.0;
  for (size_t i = 0; i < c; ++i) sumAbs += std::fabs(alpha[i]);
  // Every kernel value is at most 1, so the whole sum is within sumAbs of 0.
  const double bound = neglectedBound();
  if (c == 0 || !(sumAbs > bound)) return;
  kk.empty = false;
  // A term at squared distance d2 >= radius2 is at most |alpha_i| *
  // exp(-radius2 / twoEll2) = |alpha_i| * bound / sumAbs, so all the terms
  // left out add up to at most bound.
  kk.radius2 = twoEll2 * std::log(sumAbs / bound);
  if (!std::isfinite(kk.radius2)) kk.radius2 = std::numeric_limits<double>::infinity();

  double minX = std::numeric_limits<double>::infinity(), maxX = -minX;
  double minY = minX, maxY = -minX;
  for (size_t i = 0; i < c; ++i) {
    const auto& [x, y] = points_[act[i]];
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
  }
  const double extent = std::max(maxX - minX, maxY - minY);
  // Cells of half the radius: the visited runs stay close to the circle.
  double cell = std::max(0.5 * std::sqrt(kk.radius2), extent / kMaxCellsPerAxis);
  if (!std::isfinite(cell) || !(cell > 0.0)) cell = std::max(extent, 1.0);
  if (!std::isfinite(cell)) cell = 1.0;
  kk.x0 = minX;
  kk.y0 = minY;
  kk.cell = cell;
  kk.nx = CellIndex((maxX - minX) / cell, static_cast<int>(kMaxCellsPerAxis) + 1) + 1;
  kk.ny = CellIndex((maxY - minY) / cell, static_cast<int>(kMaxCellsPerAxis) + 1) + 1;

  // Counting sort by cell; points keep their order inside a cell.
  std::vector<int> cellOf(c);
  kk.start.assign(static_cast<size_t>(kk.nx) * kk.ny + 1, 0);
  for (size_t i = 0; i < c; ++i) {
    const auto& [x, y] = points_[act[i]];
    cellOf[i] = CellIndex((y - minY) / cell, kk.ny) * kk.nx + CellIndex((x - minX) / cell, kk.nx);
    ++kk.start[cellOf[i] + 1];
  }
  for (size_t j = 1; j < kk.start.size(); ++j) kk.start[j] += kk.start[j - 1];
  std::vector<int> next(kk.start.begin(), kk.start.end() - 1);
  kk.x.resize(c);
  kk.y.resize(c);
  kk.alpha.resize(c);
  for (size_t i = 0; i < c; ++i) {
    const int at = next[cellOf[i]]++;
    kk.x[at] = points_[act[i]].first;
    kk.y[at] = points_[act[i]].second;
    kk.alpha[at] = alpha[i];
  }
}

int SublocationGP::solveLinearSystem(const std::vector<double>& a, const std::vector<double>& b,
                                     std::vector<double>& x, int n) {
  if (n <= 0) return 4;
  const size_t un = static_cast<size_t>(n);
  if (a.size() < un * un || b.size() < un) return 4;
  const size_t cols = un + 1;
  std::vector<double> m(un * cols);
  for (size_t i = 0; i < un; ++i) {
    for (size_t j = 0; j < un; ++j) m[i * cols + j] = a[i * un + j];
    m[i * cols + un] = b[i];
  }
  for (size_t i = 0; i < un; ++i) {
    for (size_t j = i + 1; j < un; ++j) {
      const double aii = m[i * cols + i], aji = m[j * cols + i];
      const double rho = std::sqrt(aii * aii + aji * aji);
      if (rho == 0.0) continue;  // both zero: nothing to rotate away
      const double c = aii / rho, s = aji / rho;
      for (size_t col = i; col < cols; ++col) {
        const double ri = m[i * cols + col], rj = m[j * cols + col];
        m[i * cols + col] = c * ri + s * rj;
        m[j * cols + col] = c * rj - s * ri;
      }
    }
  }
  x.assign(un, 0.0);
  int result = 0;
  for (size_t ii = un; ii-- > 0;) {
    double sum = m[ii * cols + un];
    for (size_t k = ii + 1; k < un; ++k) sum -= m[ii * cols + k] * x[k];
    const double pivot = m[ii * cols + ii];
    if (pivot == 0.0) {
      result = 4;  // singular: this unknown stays 0
      continue;
    }
    x[ii] = sum / pivot;
    if (!std::isfinite(x[ii])) result = 4;
  }
  return result;
}
