#include "venuesim/rng.h"

#include <cmath>

namespace venuesim {

uint64_t MixBits(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t DeriveSeed(uint64_t seed, std::initializer_list<uint64_t> parts) {
  uint64_t h = MixBits(seed + 0x9E3779B97F4A7C15ULL);
  for (uint64_t p : parts) h = MixBits(h ^ (p + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2)));
  return h;
}

Rng::Rng(uint64_t seed) : state_(seed) {}

uint64_t Rng::nextU64() {
  state_ += 0x9E3779B97F4A7C15ULL;
  return MixBits(state_);
}

double Rng::uniform() {
  // 53 random bits give every representable multiple of 2^-53 in [0, 1).
  return static_cast<double>(nextU64() >> 11) * 0x1.0p-53;
}

double Rng::uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

int Rng::uniformInt(int lo, int hi) {
  if (hi <= lo) return lo;
  const uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(hi) - lo) + 1;
  return static_cast<int>(lo + static_cast<int64_t>(nextU64() % span));
}

double Rng::normal() {
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  double u1 = uniform();
  while (u1 <= 0.0) u1 = uniform();
  const double u2 = uniform();
  const double r = std::sqrt(-2.0 * std::log(u1));
  const double a = 2.0 * M_PI * u2;
  spare_ = r * std::sin(a);
  haveSpare_ = true;
  return r * std::cos(a);
}

}  // namespace venuesim
