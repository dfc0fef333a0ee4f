// Radio-map keys: ordered and compared exactly as the texts they hold, found
// by plain texts, and one shared text per transmitter in a loaded radio map.
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/radio_key.h"

namespace {

TEST(RadioKeyTest, OrdersAndComparesAsItsText) {
  // Pairs chosen where a careless comparison goes wrong: a proper prefix,
  // the empty text, bytes above 0x7f (unsigned in std::string's order), an
  // embedded zero byte, and texts equal but for their last byte.
  const std::string texts[] = {"",
                               "a",
                               "ab",
                               "b",
                               "aa:bb:cc:dd:ee:01",
                               "aa:bb:cc:dd:ee:02",
                               std::string("a\0b", 3),
                               std::string("a\0c", 3),
                               "\x7f",
                               "\x80",
                               "\xff" "a",
                               "(00001,00001,75AB96D4-7624-4C7A-9367-AC4DF41A76E9)",
                               "(00001,00002,75AB96D4-7624-4C7A-9367-AC4DF41A76E9)"};
  for (const std::string& a : texts) {
    for (const std::string& b : texts) {
      const RadioKey ka(a);
      const RadioKey kb(b);
      SCOPED_TRACE("'" + a + "' against '" + b + "'");
      EXPECT_EQ(ka < kb, a < b);
      EXPECT_EQ(ka == kb, a == b);
      EXPECT_EQ(ka != kb, a != b);
      EXPECT_EQ(ka < b, a < b);
      EXPECT_EQ(a < kb, a < b);
      EXPECT_EQ(ka == b, a == b);
      EXPECT_EQ(b == ka, a == b);
      EXPECT_EQ(ka.str(), a);
      EXPECT_EQ(ka.size(), a.size());
      // A key sharing its text with another compares as one with a text
      // of its own, with that other and with any key.
      const RadioKey shared(std::make_shared<const std::string>(a));
      const RadioKey sharer = shared;
      EXPECT_TRUE(shared == sharer);
      EXPECT_FALSE(shared < sharer);
      EXPECT_EQ(shared < kb, a < b);
      EXPECT_EQ(kb < shared, b < a);
      EXPECT_EQ(shared == kb, a == b);
    }
  }
  // No text at all and an empty text of its own are the same key.
  EXPECT_TRUE(RadioKey() == RadioKey(""));
  EXPECT_FALSE(RadioKey() < RadioKey(""));
  EXPECT_FALSE(RadioKey("") < RadioKey());
  EXPECT_EQ(RadioKey().str(), "");
  EXPECT_TRUE(RadioKey().empty());
  std::ostringstream out;
  out << RadioKey("k1");
  EXPECT_EQ(out.str(), "k1");
}

TEST(RadioKeyTest, RadioMapFindsEntriesByPlainTexts) {
  RadioMap map;
  const char* keys[] = {"k2", "k1", "k3", "k1", "k10"};
  for (int i = 0; i < 5; ++i) {
    AccessPoint ap;
    ap.setRefPointIndex(i);
    map.emplace(std::string(keys[i]), ap);
  }
  struct Case {
    const char* key;
    size_t count;
    int first;  // the first entry's point, -1 none
  };
  const Case cases[] = {{"k1", 2, 1}, {"k10", 1, 4}, {"k2", 1, 0}, {"k3", 1, 2}, {"k", 0, -1},
                        {"k4", 0, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(map.count(c.key), c.count);
    EXPECT_EQ(map.count(std::string(c.key)), c.count);
    const auto it = map.find(std::string_view(c.key));
    if (c.first < 0) {
      EXPECT_EQ(it, map.end());
    } else {
      ASSERT_NE(it, map.end());
      EXPECT_EQ(it->second.getRefPointIndex(), c.first);
    }
  }
  // Entries of one key keep their insertion order; keys come out ascending.
  std::vector<std::pair<std::string, int>> order;
  for (const auto& [key, ap] : map) order.emplace_back(key, ap.getRefPointIndex());
  const std::vector<std::pair<std::string, int>> expected = {
      {"k1", 1}, {"k1", 3}, {"k10", 4}, {"k2", 0}, {"k3", 2}};
  EXPECT_EQ(order, expected);
}

// A loaded radio map holds each transmitter's key text once: every entry of
// a key, and the entry's own bssid, read the same text.
TEST(RadioKeyTest, LoadedEntriesShareOneTextPerKey) {
  std::string points;
  for (int i = 0; i < 8; ++i) {
    std::string entries;
    for (int b = 0; b < 3; ++b) {
      char key[64];
      std::snprintf(key, sizeof key, "(00001,%05d,F7826DA6-4FA2-4E98-8024-BC5B71E0893E)", b);
      entries += std::string("<entry type=\"BEACON\" bssid=\"") + key + "\" value=\"7" +
                 std::to_string(b) + ":2\"/>";
    }
    points += "<point name=\"p" + std::to_string(i) +
              "\" deviceModel=\"m\" deviceId=\"d\" kx=\"0.5\" ky=\"0.5\" quality=\"1\" "
              "duration=\"2000\">" +
              entries + "</point>";
  }
  mapfx::TempDir dir;
  const std::string path = dir.file("map.mvz");
  ASSERT_TRUE(mapfx::writeArchive(
      path, {{"config.xml", mapfx::configXml(12, mapfx::floorXml(1, "a", 20, 10))},
             {"measure.xml", mapfx::floorsMember(12, {{1, points}})}}));
  NavigationMap map(EngineBehaviour::kit());
  map.setPathToNavArchive(path.c_str());
  ASSERT_EQ(map.parseConfigXML(), 0);
  ASSERT_EQ(map.parseSignalsMapXML(), 0);
  const RadioMap& radio = map.getSublocationsVector()[0].getRadioMap();
  ASSERT_EQ(radio.size(), 24u);
  std::map<std::string, const std::string*> texts;
  for (const auto& [key, ap] : radio) {
    const std::string* text = &key.str();
    EXPECT_EQ(&ap.getBssid(), text) << key;
    auto [it, fresh] = texts.emplace(key, text);
    EXPECT_EQ(it->second, text) << key;
  }
  EXPECT_EQ(texts.size(), 3u);
}

}  // namespace
