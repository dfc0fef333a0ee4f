// The decision of a nearest-beacon measurement: from each sampled beacon's
// mean RSSI, the one beacon that is clearly the strongest, or the error that
// says why none is. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

extern const char* const kMCBeaconManagerErrorDomain;

// How many dB the strongest mean must exceed the second by.
inline constexpr double kMCNearestBeaconMargin = 6.0;

struct MCNearestBeaconResult {
  std::optional<std::string> key;
  std::optional<platform::Error> error;
};

// The mean of each key's samples (summed as whole numbers).
std::map<std::string, double> MCAverageSamples(
    const std::map<std::string, std::vector<int64_t>>& samples);

MCNearestBeaconResult MCDecideNearestBeacon(const std::map<std::string, double>& means);
