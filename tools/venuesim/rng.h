// Deterministic random numbers for the venue generator. Everything a venue is
// made of is drawn from these, so one seed always yields the same venue on any
// machine: no std distributions (their output differs between libraries).
#pragma once

#include <cstdint>
#include <initializer_list>

namespace venuesim {

// Mixes one 64-bit value into a well-spread one (SplitMix64 finaliser).
uint64_t MixBits(uint64_t value);

// Derives an independent stream id from a seed and a list of small integers
// (e.g. a purpose tag, a floor index and a beacon index), so that the values
// of one stream do not depend on how many values other streams consumed.
uint64_t DeriveSeed(uint64_t seed, std::initializer_list<uint64_t> parts);

class Rng {
 public:
  explicit Rng(uint64_t seed);

  uint64_t nextU64();
  // Uniform in [0, 1).
  double uniform();
  // Uniform in [lo, hi).
  double uniform(double lo, double hi);
  // Uniform integer in [lo, hi]; lo > hi returns lo.
  int uniformInt(int lo, int hi);
  // Standard normal (Box-Muller, both halves used).
  double normal();
  double normal(double mean, double sigma) { return mean + sigma * normal(); }

 private:
  uint64_t state_;
  bool haveSpare_ = false;
  double spare_ = 0.0;
};

}  // namespace venuesim
