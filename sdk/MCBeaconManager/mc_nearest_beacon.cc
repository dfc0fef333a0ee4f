#include "MCBeaconManager/mc_nearest_beacon.h"

#include <algorithm>

const char* const kMCBeaconManagerErrorDomain = "com.marvisto.beaconmanager.errordomain";

std::map<std::string, double> MCAverageSamples(
    const std::map<std::string, std::vector<int64_t>>& samples) {
  std::map<std::string, double> means;
  for (const auto& [key, list] : samples) {
    if (list.empty()) continue;
    __int128 sum = 0;  // no overflow however many samples
    for (int64_t v : list) sum += v;
    means[key] = double(sum) / double(list.size());
  }
  return means;
}

MCNearestBeaconResult MCDecideNearestBeacon(const std::map<std::string, double>& means) {
  if (means.empty())
    return {std::nullopt,
            platform::Error::make(kMCBeaconManagerErrorDomain, 0,
                                  "  Couldn't detect nearest beacon. Beacon far away or not working!")};
  if (means.size() == 1) return {means.begin()->first, std::nullopt};
  std::vector<std::pair<std::string, double>> order(means.begin(), means.end());
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  if (order[0].second > order[1].second + kMCNearestBeaconMargin) return {order[0].first, std::nullopt};
  return {std::nullopt, platform::Error::make(kMCBeaconManagerErrorDomain, 0,
                                              "  Couldn't detect nearest beacon. Too many candidates!")};
}
