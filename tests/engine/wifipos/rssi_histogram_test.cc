// The compact RSSI histogram against the std::map it stands for, and entries
// that share one key text.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>

#include "wifipos/sensor_value.h"

namespace {

// Random sets, overwrites and erasures, in and out of level order, must leave
// the same bins as a std::map given the same operations; copies and moves
// must not share bins.
TEST(RssiHistogram, BehavesLikeTheMapItStandsFor) {
  std::mt19937 rng(102);
  for (int round = 0; round < 200; ++round) {
    RssiHistogram h;
    std::map<int, int> want;
    for (int op = 0; op < 40; ++op) {
      const int level = static_cast<int>(rng() % 25) - 2;  // a few non-positive levels too
      if (rng() % 5 == 0 && !want.empty()) {
        auto it = h.find(level);
        ASSERT_EQ(it != h.end(), want.count(level) == 1);
        if (it != h.end()) {
          auto after = h.erase(it);
          auto wantAfter = want.erase(want.find(level));
          ASSERT_EQ(after == h.end(), wantAfter == want.end());
          if (after != h.end()) {
            ASSERT_EQ(after->first, wantAfter->first);
          }
        }
      } else {
        const int count = static_cast<int>(rng() % 1000);
        h.set(level, count);
        want[level] = count;
      }
      ASSERT_EQ(h, want);
      ASSERT_EQ(h.size(), want.size());
      ASSERT_EQ(h.count(level), want.count(level));
    }
    const std::map<int, int> converted = h;
    EXPECT_EQ(converted, want);

    RssiHistogram copy = h;
    RssiHistogram assigned;
    assigned = h;
    copy.set(1000, 1);
    EXPECT_EQ(h, want);
    EXPECT_NE(copy, h);
    EXPECT_EQ(assigned, h);
    RssiHistogram moved = std::move(copy);
    EXPECT_EQ(moved.size(), want.size() + 1);
    EXPECT_EQ(RssiHistogram(want), h);
    h.clear();
    EXPECT_TRUE(h.empty());
    EXPECT_EQ(h.begin(), h.end());
  }
}

}  // namespace
