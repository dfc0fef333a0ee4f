// Radio-map entries of a surveyed floor end up where one insertion per entry,
// in reading order, would put them: equal keys in reading order, each naming
// its point, also when a floor is read into a radio map that already holds
// entries and when a bad point ends the floor.
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

struct Entry {
  std::string key;
  int point = 0;
  std::string value;
};

std::string keyOf(int k) {
  char buf[64];
  if (k % 3 == 0) {
    std::snprintf(buf, sizeof buf, "(00007,%05d,F7826DA6-4FA2-4E98-8024-BC5B71E0893E)", k);
  } else {
    std::snprintf(buf, sizeof buf, "aa:bb:cc:dd:%02x:%02x", k / 7, k);
  }
  return buf;
}

// A random survey of `points` points over 15 keys, each point hearing a
// random subset in random order; `firstIndex` is the index its first point
// gets. The entries it should add, in reading order, go to `expected`.
std::string survey(std::mt19937& rng, int points, int firstIndex, std::vector<Entry>& expected) {
  std::string text;
  for (int p = 0; p < points; ++p) {
    std::string entries;
    for (int n = static_cast<int>(rng() % 8); n > 0; --n) {
      const int k = static_cast<int>(rng() % 15);
      const std::string key = keyOf(k);
      const std::string value =
          std::to_string(60 + rng() % 30) + ":" + std::to_string(1 + rng() % 9) + " 95:1";
      if (k % 3 == 0) {
        entries += "<entry type=\"BEACON\" bssid=\"" + key + "\" value=\"" + value + "\"/>";
      } else {
        entries += "<entry type=\"WIFI\" bssid=\"" + key + "\" frequency=\"2412\" value=\"" +
                   value + "\"/>";
      }
      expected.push_back({key, firstIndex + p, value});
    }
    text += "<point name=\"p" + std::to_string(firstIndex + p) +
            "\" deviceModel=\"m\" deviceId=\"d\" kx=\"0.5\" ky=\"0.5\" quality=\"1\" "
            "duration=\"1000\">" +
            entries + "</point>";
  }
  return text;
}

std::vector<Entry> inMapOrder(const std::vector<Entry>& readingOrder) {
  std::multimap<std::string, Entry> model;
  for (const Entry& e : readingOrder) model.emplace(e.key, e);
  std::vector<Entry> out;
  for (const auto& [key, e] : model) out.push_back(e);
  return out;
}

void expectRadioMap(const SublocationMap& floor, const std::vector<Entry>& readingOrder) {
  const std::vector<Entry> want = inMapOrder(readingOrder);
  ASSERT_EQ(floor.getRadioMap().size(), want.size());
  size_t i = 0;
  for (const auto& [key, ap] : floor.getRadioMap()) {
    ASSERT_EQ(key, want[i].key) << i;
    EXPECT_EQ(ap.getBssid(), key) << i;
    EXPECT_EQ(ap.getRefPointIndex(), want[i].point) << i;
    EXPECT_EQ(ap.getDistribution(), want[i].value) << i;
    ++i;
  }
}

TEST(RadioMapPlacement, EntriesKeepReadingOrderAcrossPointsAndReadings) {
  mapfx::TempDir dir;
  const std::string path = dir.file("map.mvz");
  const std::string config = mapfx::configXml(12, mapfx::floorXml(1, "a", 20, 10));
  std::mt19937 rng(1107);
  for (int round = 0; round < 20; ++round) {
    std::vector<Entry> expected;
    const std::string first = survey(rng, 40, 0, expected);
    ASSERT_TRUE(mapfx::writeArchive(
        path, {{"config.xml", config}, {"measure.xml", mapfx::floorsMember(12, {{1, first}})}}));
    NavigationMap map;
    map.setPathToNavArchive(path.c_str());
    ASSERT_EQ(map.parseConfigXML(), 0);
    ASSERT_EQ(map.parseSignalsMapXML(), 0);
    const SublocationMap& floor = map.getSublocationsVector()[0];
    expectRadioMap(floor, expected);

    // A second survey read into the same floor goes after the first, and a
    // bad point ends it with the points before it kept, entries included.
    std::string second = survey(rng, 10, 40, expected);
    second += "<point name=\"bad\" deviceModel=\"m\" deviceId=\"d\" kx=\"0.5\" ky=\"0.5\" "
              "quality=\"1\"><entry type=\"WIFI\" bssid=\"" + keyOf(1) +
              "\" frequency=\"2412\" value=\"70:1\"/><entry type=\"LTE\"/></point>";
    std::vector<Entry> ignored;
    second += survey(rng, 3, 51, ignored);
    ASSERT_TRUE(mapfx::writeArchive(
        path, {{"config.xml", config}, {"measure.xml", mapfx::floorsMember(12, {{1, second}})}}));
    ASSERT_EQ(map.parseSignalsMapXML(), 0);
    ASSERT_EQ(floor.getNRp(), 50u);
    expectRadioMap(floor, expected);

    std::vector<std::string> keys;
    for (const Entry& e : inMapOrder(expected)) {
      if (keys.empty() || keys.back() != e.key) keys.push_back(e.key);
    }
    EXPECT_EQ(floor.getUniqueApsBssid(), keys);
  }
}

}  // namespace
