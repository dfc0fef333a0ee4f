// Radio map: reading measure.xml and the three filters.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/server/log_capture.h"
#include "map_fixtures.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/parse_measure_xml.h"

namespace {

std::string beaconKey(int minor) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "(00001,%05d,F7826DA6-4FA2-4E98-8024-BC5B71E0893E)", minor);
  return buf;
}

std::string wifi(const std::string& bssid, const std::string& value,
                 const std::string& extra = "frequency=\"2412\"") {
  return "<entry type=\"WIFI\" bssid=\"" + bssid + "\" " + extra + " value=\"" + value + "\"/>";
}

std::string beacon(const std::string& key, const std::string& value,
                   const std::string& extra = "power=\"-59\" battery=\"90\"") {
  return "<entry type=\"BEACON\" bssid=\"" + key + "\" " + extra + " value=\"" + value + "\"/>";
}

std::string point(const std::string& name, const std::string& entries,
                  const std::string& extra = "duration=\"2000\"", const std::string& kx = "0.5") {
  return "<point name=\"" + name + "\" deviceModel=\"m\" deviceId=\"d\" kx=\"" + kx +
         "\" ky=\"0.25\" quality=\"1\" " + extra + ">" + entries + "</point>";
}

std::string measure(const std::string& floor1, const std::string& floor2 = "") {
  std::vector<std::pair<int, std::string>> floors;
  if (!floor1.empty()) floors.emplace_back(1, floor1);
  if (!floor2.empty()) floors.emplace_back(2, floor2);
  return mapfx::floorsMember(12, floors);
}

const std::string kWifiA = "aa:bb:cc:dd:ee:01";
const std::string kWifiB = "aa:bb:cc:dd:ee:02";
const std::string kKey30(30, 'k');  // neither a bssid nor a beacon key by its length

class RadioMapTest : public ::testing::Test {
 protected:
  // A fresh two-floor map (20 x 10 m and 30 x 15 m); `prepare` may change the
  // settings before the radio map is read.
  int read(const std::string& member, const std::function<void(NavigationMap&)>& prepare = {}) {
    mapfx::Members members = {{"config.xml", mapfx::configXml(12, mapfx::floorXml(1, "a", 20, 10) +
                                                                      mapfx::floorXml(2, "b", 30, 15))}};
    if (!member.empty()) members.emplace_back("measure.xml", member);
    EXPECT_TRUE(mapfx::writeArchive(path_, members));
    map_ = NavigationMap(EngineBehaviour::kit());
    map_.setPathToNavArchive(path_.c_str());
    EXPECT_EQ(map_.parseConfigXML(), 0);
    if (prepare) prepare(map_);
    return map_.parseSignalsMapXML();
  }
  SublocationMap& floor(int i) { return map_.getSublocationsVector()[i]; }

  // Every entry names a point of its floor, and the key list is exactly the
  // distinct keys of the radio map.
  static void expectConsistent(const SublocationMap& f) {
    std::set<std::string> keys;
    for (const auto& [k, ap] : f.getRadioMap()) {
      ASSERT_GE(ap.getRefPointIndex(), 0);
      ASSERT_LT(ap.getRefPointIndex(), static_cast<int>(f.getNRp())) << k;
      keys.insert(k);
    }
    for (unsigned i = 0; i < f.getNRp(); ++i) EXPECT_EQ(f.getRp(static_cast<int>(i))->getIndex(), static_cast<int>(i));
    EXPECT_EQ(f.getUniqueApsBssid(), std::vector<std::string>(keys.begin(), keys.end()));
  }

  mapfx::TempDir dir_;
  std::string path_ = dir_.file("map.mvz");
  NavigationMap map_{EngineBehaviour::kit()};
};

TEST_F(RadioMapTest, ABadEntryOrPointEndsTheFloorWithoutStrayEntries) {
  const std::string bad[] = {
      "<entry bssid=\"x\" value=\"70:1\"/>", "<entry type=\"LTE\" bssid=\"x\" value=\"70:1\"/>",
      wifi(kWifiB, "70:1", ""), wifi(kWifiB, "70:1", "frequency=\"GHz\""),
      "<entry type=\"WIFI\" value=\"70:1\" frequency=\"1\"/>",
      beacon(beaconKey(3).substr(0, 47), "70:1"),
      "<entry type=\"BEACON\" bssid=\"" + beaconKey(3) + "\"/>", "<entry type=\"MAGNET\"/>"};
  for (const std::string& entry : bad) {
    // Point p2's good entries come before the bad one; p3 is never reached.
    ASSERT_EQ(read(measure(point("p1", wifi(kWifiA, "70:1")) +
                           point("p2", beacon(beaconKey(4), "60:1") + wifi(kWifiB, "71:1") + entry) +
                           point("p3", wifi(kWifiA, "72:1")))),
              0);
    EXPECT_EQ(floor(0).getNRp(), 1u) << entry;
    EXPECT_EQ(floor(0).getRadioMap().size(), 1u) << entry;
    expectConsistent(floor(0));
  }
  const std::string badPoints[] = {
      "<point name=\"\" deviceModel=\"m\" deviceId=\"d\" kx=\"0\" ky=\"0\" quality=\"1\"/>",
      "<point name=\"b\" deviceModel=\"m\" kx=\"0\" ky=\"0\" quality=\"1\"/>",
      "<point name=\"b\" deviceModel=\"m\" deviceId=\"d\" kx=\"0\" quality=\"1\"/>",
      point("b", wifi(kWifiB, "70:1"), "", "x0.5"), point("b", wifi(kWifiB, "70:1"), "", "nan")};
  for (const std::string& p : badPoints) {
    ASSERT_EQ(read(measure(point("a", wifi(kWifiA, "70:1")) + p + point("c", ""))), 0);
    EXPECT_EQ(floor(0).getNRp(), 1u) << p;
    expectConsistent(floor(0));
  }
}

TEST_F(RadioMapTest, PointStatusDurationAndSkippedEntries) {
  // A missing or unreadable duration is 0, not the previous point's. A
  // deleted point adds nothing, not even its magnetic reading; another
  // spelling of the status is an ordinary point; equal names are both kept.
  ASSERT_EQ(read(measure(
                point("p1", wifi(kWifiA, "70:1")) + point("p2", wifi(kWifiA, "70:1"), "") +
                point("p3", wifi(kWifiA, "70:1"), "duration=\"long\"") +
                point("d", "<entry type=\"MAGNET\" value=\"40\"/>" + wifi(kWifiB, "70:1"),
                      "status=\"del\"") +
                point("p2", wifi(kWifiA, "70:1"), "status=\"DEL\""))),
            0);
  ASSERT_EQ(floor(0).getNRp(), 4u);
  EXPECT_EQ(floor(0).getRp(0)->getDuration(), 2000);
  EXPECT_EQ(floor(0).getRp(1)->getDuration(), 0);
  EXPECT_EQ(floor(0).getRp(2)->getDuration(), 0);
  EXPECT_EQ(floor(0).getRp(3)->getName(), "p2");
  EXPECT_EQ(floor(0).getRp(3)->getMagneticIntensity(), 0.0);
  EXPECT_EQ(floor(0).getRadioMap().count(kWifiB), 0u);
  expectConsistent(floor(0));

  // BLE entries and unusable histograms are dropped; the point stays.
  ASSERT_EQ(read(measure(point("p", "<entry type=\"BLE\" bssid=\"b\" value=\"70:1\"/>" +
                                        wifi(kWifiA, "7580") + wifi(kWifiB, "127:5") +
                                        beacon(beaconKey(1), "0:3 -4:1") +
                                        "<entry type=\"MAGNET\" value=\"strong\"/>" +
                                        wifi(kWifiA, "70:2")))),
            0);
  ASSERT_EQ(floor(0).getRadioMap().size(), 1u);
  EXPECT_EQ(floor(0).getRadioMap().begin()->second.getRssi(), -70.0);
}

// A point whose name an earlier point of its floor already has is reported
// (and kept), whether the names so far came in ascending order or not.
TEST_F(RadioMapTest, RepeatedPointNamesAreReported) {
  struct Case {
    std::vector<std::string> names;  // "-" ahead of a name marks the point deleted
    std::vector<std::string> reported;
  };
  const Case cases[] = {
      {{"a", "b", "c"}, {}},
      {{"a", "b", "b"}, {"b"}},
      {{"a9", "a10", "b"}, {}},
      {{"b", "a", "b"}, {"b"}},
      {{"c", "a", "c", "a", "d"}, {"c", "a"}},
      {{"a", "c", "b", "d", "e", "b"}, {"b"}},
      {{"a", "-a", "a"}, {"a"}},
      {{"a", "-b", "b"}, {}},
  };
  for (const Case& c : cases) {
    std::string points;
    for (const std::string& name : c.names) {
      const bool deleted = name[0] == '-';
      points += point(deleted ? name.substr(1) : name, wifi(kWifiA, "70:1"),
                      deleted ? "status=\"del\"" : "duration=\"2000\"");
    }
    LogCapture log(11);
    ASSERT_EQ(read(measure(points, points)), 0);
    std::vector<std::string> reported;
    const std::string text = log.text();
    for (size_t at = text.find("RP="); at != std::string::npos; at = text.find("RP=", at + 1))
      reported.push_back(text.substr(at + 3, text.find(" already exists", at) - at - 3));
    std::vector<std::string> both = c.reported;  // each floor reports its own
    both.insert(both.end(), c.reported.begin(), c.reported.end());
    EXPECT_EQ(reported, both) << ::testing::PrintToString(c.names);
  }
}

TEST_F(RadioMapTest, DurationFilterDropsRarelyHeardEntries) {
  // 2 s per point: 3 samples are 1.5 per second, 5 samples 2.5.
  const std::string floor1 = point("p1", wifi(kWifiA, "70:3") + wifi(kWifiB, "70:5")) +
                             point("p2", wifi(kWifiA, "70:5"), "") +
                             point("p3", wifi(kWifiB, "70:1"), "duration=\"-5\"");
  auto minimal = [](double f) {
    return [f](NavigationMap& m) { m.getNavigationProperties().knn.Minimal_ap_freq = f; };
  };
  ASSERT_EQ(read(measure(floor1), minimal(0.0)), 0);
  EXPECT_EQ(floor(0).getRadioMap().size(), 4u);
  // Kept: p1's 5-sample entry and p2's entry of no duration.
  ASSERT_EQ(read(measure(floor1), minimal(2.0)), 0);
  ASSERT_EQ(floor(0).getRadioMap().size(), 2u);
  EXPECT_EQ(floor(0).getRadioMap().find(kWifiA)->second.getRefPointIndex(), 1);
  EXPECT_EQ(floor(0).getRadioMap().find(kWifiB)->second.getRefPointIndex(), 0);
  expectConsistent(floor(0));
  // Read again into floors (one or both) that hold a reading made without the filter: the
  // filter also thins what they hold.
  for (const MeasureReading how :
       {MeasureReading::kWholeDocument, MeasureReading::kPiecewiseWherePossible}) {
    for (const std::string& second : {std::string(), floor1}) {
      ASSERT_EQ(read(measure(floor1, second), minimal(0.0)), 0);
      minimal(2.0)(map_);
      ASSERT_EQ(ReadSignalsMap(map_, how), 0);
      for (int i = 0; i < (second.empty() ? 1 : 2); ++i) {
        ASSERT_EQ(floor(i).getNRp(), 6u);
        EXPECT_EQ(floor(i).getRadioMap().size(), 4u)
            << "floor " << i << (how == MeasureReading::kWholeDocument ? " whole" : " piecewise");
        expectConsistent(floor(i));
      }
    }
  }
}

// Each entry is filed under its own key, in reading order, however the
// points list their transmitters: in one order or shuffled, hearing more or
// fewer than the point before, a key twice in a point, and keys alike at both
// ends (beacons that differ only inside their UUID).
TEST_F(RadioMapTest, EntriesGoUnderTheirKeysWhateverTheOrder) {
  std::vector<std::string> keys = {kWifiA, kWifiB, "aa:bb:cc:dd:ee:0a", beaconKey(1), beaconKey(2),
                                   beaconKey(10)};
  for (char c : std::string("0123456789")) {
    std::string key = beaconKey(7);
    key[20] = c;  // inside the UUID: the same first sixteen and last eight characters
    keys.push_back(key);
  }
  struct Case {
    const char* what;
    bool shuffled;
    int repeatEvery;  // a point lists a key twice every so many points; 0 never
  };
  const Case cases[] = {{"sorted subsets", false, 0}, {"shuffled subsets", true, 0},
                        {"sorted, repeated keys", false, 3}, {"shuffled, repeated keys", true, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::mt19937 rng(4242);
    std::map<std::string, std::vector<std::pair<int, std::string>>> expected;
    std::string points;
    for (int i = 0; i < 60; ++i) {
      std::vector<std::string> heard;
      for (const std::string& k : keys)
        if (rng() % 4 != 0) heard.push_back(k);
      if (c.repeatEvery && i % c.repeatEvery == 0 && !heard.empty()) heard.push_back(heard.front());
      if (c.shuffled) std::shuffle(heard.begin(), heard.end(), rng);
      std::string entries;
      for (size_t j = 0; j < heard.size(); ++j) {
        const std::string value = "70:" + std::to_string(i + 1) + " 80:" + std::to_string(j + 1);
        entries += heard[j].size() > 20 ? beacon(heard[j], value) : wifi(heard[j], value);
        expected[heard[j]].emplace_back(i, value);
      }
      points += point("p" + std::to_string(i), entries);
    }
    ASSERT_EQ(read(measure(points)), 0);
    expectConsistent(floor(0));
    std::map<std::string, std::vector<std::pair<int, std::string>>> got;
    for (const auto& [key, ap] : floor(0).getRadioMap()) {
      EXPECT_EQ(ap.getBssid(), key);
      got[key].emplace_back(ap.getRefPointIndex(), ap.getDistribution());
    }
    EXPECT_EQ(got, expected);
  }
}

TEST_F(RadioMapTest, RecordedSurveyReads) {
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  const std::filesystem::path archive =
      std::filesystem::path(shared ? shared : "/work/shared/data") / "ble-tetam" / "map.mvz";
  if (!std::filesystem::exists(archive)) GTEST_SKIP() << "no recorded survey at " << archive;
  map_.setPathToNavArchive(archive.string().c_str());
  ASSERT_EQ(map_.parseConfigXML(), 0);
  ASSERT_EQ(map_.parseSignalsMapXML(), 0);
  EXPECT_EQ(floor(0).getNRp(), 81u);
  EXPECT_EQ(floor(0).getUniqueApsBssid().size(), 12u);
  expectConsistent(floor(0));
}

// Mutated radio maps: any code, no crash or hang, and what was read stays
// consistent through the filters.
TEST_F(RadioMapTest, MutatedMembersAreReadSafely) {
  std::string floor1, floor2;
  for (int i = 0; i < 6; ++i) {
    floor1 += point("p" + std::to_string(i),
                    wifi(kWifiA, "70:3 71:2") + beacon(beaconKey(i), "60:1 65:4") +
                        "<entry type=\"MAGNET\" value=\"41\"/>",
                    "duration=\"2000\" status=\"ok\"");
    floor2 += point("q" + std::to_string(i), beacon(beaconKey(9), "80:2"));
  }
  const std::string valid = measure(floor1, floor2);
  std::mt19937 rng(1130);
  int succeeded = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = valid;
    for (int e = static_cast<int>(rng() % 6); e >= 0; --e) text = mapfx::mutate(text, rng);
    const int rc = read(text.empty() ? " " : text, [i](NavigationMap& m) {
      m.getNavigationProperties().knn.Minimal_ap_freq = (i % 4) * 0.5;
      m.getNavigationProperties().Use_Signals = NAV_SIGNALS_BOTH + i % 3;
    });
    EXPECT_TRUE(rc == 0 || rc == 5 || rc == 21 || rc == 25) << rc;
    succeeded += rc == 0;
    map_.clearUnknownBeacons();
    for (const SublocationMap& f : map_.getSublocationsVector()) expectConsistent(f);
  }
  EXPECT_GT(succeeded, 0);
}

}  // namespace
