// Radio map: reading measure.xml and the three filters.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/zip_archive.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

namespace fs = std::filesystem;

const char* kConfig = R"(<Location id="12" name="loc">
  <Sublocation id="1" name="f1"><Files><File type="BMP" name="f1.bmp"/></Files>
    <Metrics width_meters="20" height_meters="10"/></Sublocation>
  <Sublocation id="2" name="f2"><Files><File type="BMP" name="f2.bmp"/></Files>
    <Metrics width_meters="30" height_meters="15"/></Sublocation>
</Location>)";

const std::string kUuid = "F7826DA6-4FA2-4E98-8024-BC5B71E0893E";

std::string beaconKey(int minor) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%05d", minor);
  return "(00001," + std::string(buf) + "," + kUuid + ")";
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
                  const std::string& extra = "duration=\"2000\"", const std::string& kx = "0.5",
                  const std::string& ky = "0.25") {
  return "<point name=\"" + name + "\" deviceModel=\"m\" deviceId=\"d\" kx=\"" + kx +
         "\" ky=\"" + ky + "\" quality=\"1\" " + extra + ">" + entries + "</point>";
}

std::string measure(const std::string& floor1, const std::string& floor2 = "",
                    const std::string& id = "12") {
  std::string text = "<?xml version=\"1.0\"?>\n<Location id=\"" + id + "\">";
  if (!floor1.empty()) text += "<Sublocation id=\"1\">" + floor1 + "</Sublocation>";
  if (!floor2.empty()) text += "<Sublocation id=\"2\">" + floor2 + "</Sublocation>";
  return text + "</Location>";
}

const std::string kWifiA = "aa:bb:cc:dd:ee:01";
const std::string kWifiB = "aa:bb:cc:dd:ee:02";
const std::string kKey30(30, 'k');  // neither a bssid nor a beacon key by length

class RadioMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mv_radio_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "map.mvz").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Fresh map over config.xml; `prepare` may change the settings first.
  int read(const std::string& member, const std::function<void(NavigationMap&)>& prepare = {}) {
    zip* z = ZipCreate(path_.c_str());
    EXPECT_NE(z, nullptr);
    ZipWriteBuffer(z, "config.xml", kConfig, static_cast<int>(std::string(kConfig).size()));
    if (!member.empty())
      ZipWriteBuffer(z, "measure.xml", member.data(), static_cast<int>(member.size()));
    EXPECT_EQ(ZipClose(z), 0);
    map_ = NavigationMap();
    map_.setPathToNavArchive(path_.c_str());
    EXPECT_EQ(map_.parseConfigXML(), 0);
    if (prepare) prepare(map_);
    return map_.parseSignalsMapXML();
  }

  SublocationMap& floor(int i) { return map_.getSublocationsVector()[i]; }

  static std::vector<std::string> keysOf(const SublocationMap& f) {
    std::set<std::string> s;
    for (const auto& [k, ap] : f.getRadioMap()) s.insert(k);
    return {s.begin(), s.end()};
  }

  // Every entry names a point of its floor and the key list is exactly the
  // distinct keys of the radio map.
  static void expectConsistent(const SublocationMap& f) {
    for (const auto& [k, ap] : f.getRadioMap()) {
      ASSERT_GE(ap.getRefPointIndex(), 0);
      ASSERT_LT(ap.getRefPointIndex(), static_cast<int>(f.getNRp())) << k;
      EXPECT_EQ(k, ap.getBssid());
    }
    for (unsigned i = 0; i < f.getNRp(); ++i) EXPECT_EQ(f.getRp(static_cast<int>(i))->getIndex(), static_cast<int>(i));
    EXPECT_EQ(f.getUniqueApsBssid(), keysOf(f));
  }

  fs::path dir_;
  std::string path_;
  NavigationMap map_;
};

TEST_F(RadioMapTest, ReadsPointsEntriesAndKeys) {
  const std::string floor1 =
      point("p1", wifi(kWifiB, "75:3 80:1") + beacon(beaconKey(7), "60:2 62:2") +
                      "<entry type=\"MAGNET\" value=\"48.5\"/>") +
      "<note/>" +
      point("p2", wifi(kWifiA, "70:1") + wifi(kWifiB, "71:1", "frequency=\"5180\""), "duration=\"1500\"",
            "0.1", "0.9") +
      point("p3", beacon(beaconKey(7), "65:4", ""));
  ASSERT_EQ(read(measure(floor1, point("q1", wifi(kWifiA, "70:2")) + point("q2", ""))), 0);

  SublocationMap& f = floor(0);
  ASSERT_EQ(f.getNRp(), 3u);
  const ReferencePoint& p1 = *f.getRp(0);
  EXPECT_EQ(p1.getName(), "p1");
  EXPECT_EQ(p1.getX(), 10.0);
  EXPECT_EQ(p1.getY(), 2.5);
  EXPECT_EQ(p1.getMagneticIntensity(), 48.5);
  EXPECT_EQ(p1.getDuration(), 2000);
  EXPECT_EQ(p1.getDeviceModel(), "m");
  const ReferencePoint& p2 = *f.getRp(1);
  EXPECT_EQ(p2.getX(), 2.0);
  EXPECT_EQ(p2.getY(), 9.0);
  EXPECT_EQ(p2.getDuration(), 1500);
  EXPECT_EQ(p2.getMagneticIntensity(), 0.0);

  EXPECT_EQ(f.getUniqueApsBssid(), (std::vector<std::string>{beaconKey(7), kWifiA, kWifiB}));
  ASSERT_EQ(f.getRadioMap().size(), 5u);
  auto range = f.getRadioMap().equal_range(kWifiB);
  ASSERT_EQ(std::distance(range.first, range.second), 2);
  const AccessPoint& b1 = range.first->second;  // insertion order kept
  EXPECT_EQ(b1.getRefPointIndex(), 0);
  EXPECT_EQ(b1.getRssi(), -76.25);
  EXPECT_EQ(b1.getMeasurementCount(), 4);
  EXPECT_EQ(b1.getType(), 0);
  EXPECT_EQ(b1.getFrequency(), 2412.0);
  EXPECT_EQ(std::next(range.first)->second.getRefPointIndex(), 1);
  EXPECT_EQ(std::next(range.first)->second.getFrequency(), 5180.0);
  auto beacons = f.getRadioMap().equal_range(beaconKey(7));
  EXPECT_EQ(beacons.first->second.getType(), 2);
  EXPECT_EQ(beacons.first->second.getPower(), -59.0);
  EXPECT_EQ(beacons.first->second.getBattery(), 90);
  EXPECT_EQ(std::next(beacons.first)->second.getRefPointIndex(), 2);
  expectConsistent(f);

  // Two points are too few to navigate on, but the floor keeps them.
  EXPECT_EQ(floor(1).getNRp(), 2u);
  EXPECT_EQ(floor(1).getRp(0)->getX(), 15.0);
  expectConsistent(floor(1));
}

TEST_F(RadioMapTest, AFailingEntryAddsNothingOfItsPoint) {
  const std::string floor1 =
      point("p1", wifi(kWifiA, "70:1")) +
      point("p2", wifi(kWifiB, "71:1") + beacon(beaconKey(3), "60:1") +
                      "<entry type=\"WIFI\" value=\"70:1\" frequency=\"1\"/>") +
      point("p3", wifi(kWifiA, "72:1"));
  ASSERT_EQ(read(measure(floor1)), 0);
  SublocationMap& f = floor(0);
  ASSERT_EQ(f.getNRp(), 1u);  // the floor's reading stops at the bad point
  EXPECT_EQ(f.getRadioMap().size(), 1u);
  EXPECT_EQ(f.getUniqueApsBssid(), std::vector<std::string>{kWifiA});
  expectConsistent(f);

  // Each kind of bad entry ends the floor the same way.
  const std::string bad[] = {
      "<entry bssid=\"x\" value=\"70:1\"/>",
      "<entry type=\"LTE\" bssid=\"x\" value=\"70:1\"/>",
      wifi(kWifiB, "70:1", ""),
      wifi(kWifiB, "70:1", "frequency=\"GHz\""),
      beacon(beaconKey(3).substr(0, 47), "70:1"),
      "<entry type=\"BEACON\" bssid=\"" + beaconKey(3) + "\"/>",
      "<entry type=\"MAGNET\"/>"};
  for (const std::string& entry : bad) {
    ASSERT_EQ(read(measure(point("p1", wifi(kWifiA, "70:1")) +
                           point("p2", beacon(beaconKey(4), "60:1") + entry))),
              0);
    EXPECT_EQ(floor(0).getNRp(), 1u) << entry;
    EXPECT_EQ(floor(0).getRadioMap().count(beaconKey(4)), 0u) << entry;
    expectConsistent(floor(0));
  }
}

TEST_F(RadioMapTest, PointAttributes) {
  // A missing or unreadable duration is 0, not the previous point's.
  ASSERT_EQ(read(measure(point("p1", wifi(kWifiA, "70:1")) + point("p2", wifi(kWifiA, "70:1"), "") +
                         point("p3", wifi(kWifiA, "70:1"), "duration=\"long\""))),
            0);
  EXPECT_EQ(floor(0).getRp(0)->getDuration(), 2000);
  EXPECT_EQ(floor(0).getRp(1)->getDuration(), 0);
  EXPECT_EQ(floor(0).getRp(2)->getDuration(), 0);

  // Deleted points add nothing, not even their magnetic reading; another
  // spelling of the status is an ordinary point. Equal names are both kept.
  ASSERT_EQ(read(measure(point("p1", "<entry type=\"MAGNET\" value=\"40\"/>" + wifi(kWifiA, "70:1"),
                               "status=\"del\"") +
                         point("p2", wifi(kWifiA, "70:1"), "status=\"DEL\"") +
                         point("p2", wifi(kWifiB, "70:1"), "status=\"dele\""))),
            0);
  ASSERT_EQ(floor(0).getNRp(), 2u);
  EXPECT_EQ(floor(0).getRp(0)->getStatus(), "DEL");
  EXPECT_EQ(floor(0).getRp(0)->getMagneticIntensity(), 0.0);
  EXPECT_EQ(floor(0).getRp(1)->getName(), "p2");
  EXPECT_EQ(floor(0).getRp(1)->getIndex(), 1);
  expectConsistent(floor(0));

  // Point attributes that end the floor's reading: empty name, no device,
  // no or unreadable coordinates.
  const std::string bad[] = {
      "<point name=\"\" deviceModel=\"m\" deviceId=\"d\" kx=\"0\" ky=\"0\" quality=\"1\"/>",
      "<point name=\"b\" deviceModel=\"m\" kx=\"0\" ky=\"0\" quality=\"1\"/>",
      "<point name=\"b\" deviceModel=\"m\" deviceId=\"d\" kx=\"0\" quality=\"1\"/>",
      point("b", wifi(kWifiB, "70:1"), "", "x0.5"),
      point("b", wifi(kWifiB, "70:1"), "", "nan")};
  for (const std::string& p : bad) {
    ASSERT_EQ(read(measure(point("a", wifi(kWifiA, "70:1")) + p + point("c", ""))), 0);
    EXPECT_EQ(floor(0).getNRp(), 1u) << p;
    expectConsistent(floor(0));
  }
}

TEST_F(RadioMapTest, UnusableEntriesAreSkipped) {
  ASSERT_EQ(read(measure(point("p1", "<entry type=\"BLE\" bssid=\"b\" value=\"70:1\"/>" +
                                         wifi(kWifiA, "7580") + wifi(kWifiB, "127:5") +
                                         beacon(beaconKey(1), "0:3 -4:1") +
                                         "<entry type=\"MAGNET\" value=\"strong\"/>" +
                                         wifi(kWifiA, "70:2")))),
            0);
  ASSERT_EQ(floor(0).getNRp(), 1u);
  ASSERT_EQ(floor(0).getRadioMap().size(), 1u);
  EXPECT_EQ(floor(0).getRadioMap().begin()->second.getRssi(), -70.0);
}

TEST_F(RadioMapTest, MemberErrors) {
  EXPECT_EQ(read(""), 25);
  EXPECT_EQ(read(" "), 21);
  EXPECT_EQ(read("<Location id=\"12\"><Sublocation"), 21);
  EXPECT_EQ(read("<Measure id=\"12\"/>"), 21);
  EXPECT_EQ(read("<Location/>"), 5);
  EXPECT_EQ(read(measure(point("p", ""), "", "13")), 5);

  // Problems of a floor only cost that floor.
  EXPECT_EQ(read(measure("", point("q1", wifi(kWifiA, "70:1")))), 0);
  EXPECT_EQ(floor(0).getNRp(), 0u);
  EXPECT_EQ(floor(1).getNRp(), 1u);
  EXPECT_EQ(read(measure("<!-- survey -->" + point("p", wifi(kWifiA, "70:1")))), 0);
  EXPECT_EQ(floor(0).getNRp(), 0u);
  EXPECT_EQ(read("<Location id=\"12\"/>"), 0);

  // A map without floors.
  zip* z = ZipCreate(path_.c_str());
  const std::string text = measure(point("p", ""), "", "0");
  ZipWriteBuffer(z, "measure.xml", text.data(), static_cast<int>(text.size()));
  ZipClose(z);
  NavigationMap empty;
  empty.setPathToNavArchive(path_.c_str());
  EXPECT_EQ(empty.parseSignalsMapXML(), 9);
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

  ASSERT_EQ(read(measure(floor1), minimal(2.0)), 0);
  SublocationMap& f = floor(0);
  // Kept: p1's 5-sample entry and p2's entry of no duration (infinitely frequent).
  ASSERT_EQ(f.getRadioMap().size(), 2u);
  EXPECT_EQ(f.getRadioMap().count(kWifiA), 1u);
  EXPECT_EQ(f.getRadioMap().find(kWifiA)->second.getRefPointIndex(), 1);
  EXPECT_EQ(f.getRadioMap().find(kWifiB)->second.getRefPointIndex(), 0);
  expectConsistent(f);
}

TEST_F(RadioMapTest, SignalKindFilterGoesByKeyLength) {
  const std::string floor1 = point("p1", wifi(kWifiA, "70:1") + wifi(kKey30, "70:1") +
                                             beacon(beaconKey(1), "70:1"));
  auto signals = [](int kind) {
    return [kind](NavigationMap& m) { m.getNavigationProperties().Use_Signals = kind; };
  };
  ASSERT_EQ(read(measure(floor1), signals(NAV_SIGNALS_WIFI)), 0);
  EXPECT_EQ(floor(0).getUniqueApsBssid(), (std::vector<std::string>{kWifiA, kKey30}));
  expectConsistent(floor(0));

  ASSERT_EQ(read(measure(floor1), signals(NAV_SIGNALS_BLE)), 0);
  EXPECT_EQ(floor(0).getUniqueApsBssid(), (std::vector<std::string>{beaconKey(1), kKey30}));
  expectConsistent(floor(0));

  ASSERT_EQ(read(measure(floor1), signals(111)), 0);
  EXPECT_EQ(map_.getNavigationProperties().Use_Signals, NAV_SIGNALS_BOTH);
  EXPECT_EQ(floor(0).getUniqueApsBssid().size(), 3u);
}

TEST_F(RadioMapTest, UnknownBeaconsLoseTheirEntries) {
  const std::string floor1 =
      point("p1", wifi(kWifiA, "70:1") + wifi(kKey30, "70:1") + beacon(beaconKey(1), "70:1") +
                      beacon(beaconKey(2), "70:1")) +
      point("p2", beacon(beaconKey(2), "71:1") + beacon(beaconKey(1), "71:1"));
  ASSERT_EQ(read(measure(floor1, point("q", beacon(beaconKey(2), "70:1")))), 0);
  Beacon known;
  known.setBeaconId(beaconKey(1));
  floor(0).getBeacons().push_back(known);
  EXPECT_EQ(map_.clearUnknownBeacons(), 0);
  EXPECT_EQ(floor(0).getUniqueApsBssid(), (std::vector<std::string>{beaconKey(1), kWifiA}));
  EXPECT_EQ(floor(0).getRadioMap().count(beaconKey(1)), 2u);
  EXPECT_TRUE(floor(1).getRadioMap().empty());
  EXPECT_TRUE(floor(1).getUniqueApsBssid().empty());
  expectConsistent(floor(0));
}

TEST_F(RadioMapTest, RecordedSurveyReads) {
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  const fs::path archive = fs::path(shared ? shared : "/work/shared/data") / "ble-tetam" / "map.mvz";
  if (!fs::exists(archive)) GTEST_SKIP() << "no recorded survey at " << archive;
  NavigationMap map;
  map.setPathToNavArchive(archive.string().c_str());
  ASSERT_EQ(map.parseConfigXML(), 0);
  ASSERT_EQ(map.parseSignalsMapXML(), 0);
  const SublocationMap& f = map.getSublocationsVector()[0];
  EXPECT_EQ(f.getNRp(), 81u);
  EXPECT_EQ(f.getUniqueApsBssid().size(), 12u);
  expectConsistent(f);
  for (const auto& [key, ap] : f.getRadioMap()) {
    EXPECT_LT(ap.getRssi(), -30.0);
    EXPECT_GT(ap.getRssi(), -110.0);
  }
}

// Mutated radio maps: any result, but no crash or hang, and whatever was read
// stays consistent.
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
  const char tokens[] = "<>/=\"' \n&;:!?-0123456789.eE+x";
  std::mt19937 rng(1130);
  int succeeded = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string text = valid;
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = rng() % text.size();
      switch (rng() % 5) {
        case 0: text[at] = tokens[rng() % (sizeof tokens - 1)]; break;
        case 1: text.erase(at, 1 + rng() % 16); break;
        case 2: text.insert(at, 1, tokens[rng() % (sizeof tokens - 1)]); break;
        case 3: text.resize(at); break;
        default: text.insert(at, text.substr(rng() % text.size(), rng() % 64)); break;
      }
    }
    if (text.empty()) text = " ";
    const int rc = read(text, [i](NavigationMap& m) {
      m.getNavigationProperties().knn.Minimal_ap_freq = (i % 4) * 0.5;
      m.getNavigationProperties().Use_Signals = NAV_SIGNALS_BOTH + i % 3;
    });
    EXPECT_TRUE(rc == 0 || rc == 5 || rc == 21 || rc == 25) << rc;
    succeeded += rc == 0;
    for (const SublocationMap& f : map_.getSublocationsVector()) expectConsistent(f);
    map_.clearUnknownBeacons();
  }
  EXPECT_GT(succeeded, 0);
}

}  // namespace
