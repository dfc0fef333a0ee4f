// Push actions and zone visits: what an actions reply becomes, when an action
// fires (schedule, local time, cool-down), and zone-visit lines that reach the
// server exactly once however posts succeed, fail or overlap.
#include <chrono>
#include <thread>

#include "MCModels/mc_location.h"
#include "MCPushManager/mc_push_manager.h"
#include "platform/app.h"
#include "sdk/services/services_support.h"

using nlohmann::json;
using services_test::kStart;
using services_test::RangedBeacon;

namespace {

// One beacon (major 7, minor 9) with the given action object or actions value.
json Reply(const json& actions, const std::string& uuid = services_test::kUuid) {
  json beacon = {{"id", 5}, {"major", 7}, {"minor", 9}, {"uuid", uuid}, {"zoneId", 2}};
  beacon["actions"] = actions.is_object() ? json::array({actions}) : actions;
  json floor = json::object();
  floor["beacons"] = json::array({beacon});
  json data = {{"success", 1}};
  data["location"] = {{"sublocations", json::array({floor})}};
  return {{"data", data}};
}

json Action(json schedule, int active = 1) {
  json a = {{"id", 41}, {"active", active}, {"title", "Hello"}, {"frequency", 60}, {"proximity", "Near"}};
  if (!schedule.is_null()) a["schedule"] = schedule;
  return a;
}

json Open(const char* start, const char* end) { return {{"is_open", true}, {"start", start}, {"end", end}}; }

class Push : public services_test::ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    delegate_->didRangePushWithTitle = [this](const std::string& title, const std::string&, const std::string&,
                                              int64_t id) {
      EXPECT_EQ(title + std::to_string(id), "Hello41");
      fired_.push_back(platform::Clock::nowSeconds());
      onMain_ = onMain_ && platform::RunLoop::isMainThread();
    };
    push_->setDelegate(delegate_);
  }
  void TearDown() override {
    stopActions();
    platform::Device::reset();
    ServicesTest::TearDown();
  }
  void stopActions() {
    for (const auto& b : push_->beacons())
      for (const auto& a : b->actions) a->stopAction();
  }
  std::shared_ptr<MCPushManager> push_ = std::make_shared<MCPushManager>();
  std::shared_ptr<MCPushManagerDelegate> delegate_ = std::make_shared<MCPushManagerDelegate>();
  std::vector<double> fired_;
  bool onMain_ = true;
};

TEST_F(Push, WhatAnActionsReplyBecomes) {
  struct Row {
    const char* name;
    json reply;
    bool accepted;
    size_t beacons, actions;
    std::vector<std::array<int64_t, 3>> days;  // of the action, sorted
  };
  const Row rows[] = {
      {"success without a list", {{"data", {{"success", 1}}}}, true, 0, 0, {}},
      {"success 0", {{"data", {{"success", 0}}}}, false, 1, 1, {}},
      {"data not an object", {{"data", "yes"}}, false, 1, 1, {}},
      {"actions not an array", Reply("many"), true, 1, 0, {}},
      {"day names in any case", Reply(Action({{"Monday", Open("09:00", "18:00")}, {"FRIDAY", Open("8:30", "9:15")}})),
       true, 1, 1, {{2, 9 * 3600, 18 * 3600}, {6, 8 * 3600 + 1800, 9 * 3600 + 900}}},
      {"unknown and closed days dropped", Reply(Action({{"funday", Open("1:00", "2:00")}, {"sunday", {{"is_open", false}}}})),
       true, 1, 1, {}},
      {"times without a colon or digits",
       Reply(Action({{"sunday", Open("9", "x")}, {"saturday", {{"is_open", true}, {"start", 7}}}})), true, 1, 1,
       {{1, 9 * 3600, 0}, {7, 0, 0}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(push_->parsePushes(Reply(Action(nullptr))));  // a list that rejected replies keep
    EXPECT_EQ(push_->parsePushes(row.reply), row.accepted);
    const auto beacons = push_->beacons();
    ASSERT_EQ(beacons.size(), row.beacons);
    if (beacons.empty()) continue;
    EXPECT_EQ(beacons[0]->major * 100 + beacons[0]->sublocation, 702);
    ASSERT_EQ(beacons[0]->actions.size(), row.actions);
    if (row.actions == 0) continue;
    EXPECT_EQ(beacons[0]->actions[0]->proximity, 2u);
    std::vector<std::array<int64_t, 3>> days;
    for (const MCDay& d : beacons[0]->actions[0]->shedule) days.push_back({d.weekDay, d.start, d.end});
    std::sort(days.begin(), days.end());
    EXPECT_EQ(days, row.days);
  }
}

// One sighting at a given time and zone: does the action fire?
TEST_F(Push, SchedulesAllowFiringOnlyInsideOpenWindowsOfLocalTime) {
  struct Row {
    const char* name;
    json action;
    int64_t offset;   // seconds after Thursday 00:00 UTC
    int minutesWest;
    bool fires;
  };
  const json thursday = {{"thursday", Open("09:00", "18:00")}};
  const Row rows[] = {
      {"no schedule", Action(nullptr), 0, 0, true},
      {"inactive", Action(nullptr, 0), 0, 0, false},
      {"every day closed", Action({{"thursday", {{"is_open", false}}}}), 36000, 0, false},
      {"window start itself", Action(thursday), 9 * 3600, 0, false},
      {"one second in", Action(thursday), 9 * 3600 + 1, 0, true},
      {"window end itself", Action(thursday), 18 * 3600, 0, false},
      {"another day", Action({{"wednesday", Open("00:00", "23:59")}}), 36000, 0, false},
      {"capitalised day", Action({{"Thursday", Open("09:00", "18:00")}}), 36000, 0, true},
      {"unknown day only", Action({{"Donnerstag", Open("00:00", "23:59")}}), 36000, 0, false},
      {"hours without minutes", Action({{"thursday", Open("9", "18")}}), 36000, 0, true},
      {"east of UTC: already Friday", Action({{"friday", Open("00:30", "02:00")}}), 23 * 3600, -120, true},
      {"west of UTC: still 18:00", Action({{"thursday", Open("17:00", "19:00")}}), 23 * 3600, 300, true},
      {"UTC day is not the local day", Action({{"thursday", Open("22:00", "23:59")}}), 23 * 3600, -120, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    stopActions();
    platform::testing::useManualClock({kStart + row.offset, 0}, row.minutesWest);
    fired_.clear();
    ASSERT_TRUE(push_->parsePushes(Reply(row.action)));
    push_->checkBeacons({RangedBeacon(7, 9, services_test::kUuid, 0)});
    EXPECT_EQ(fired_.size(), row.fires ? 1u : 0u);
  }
  EXPECT_TRUE(onMain_);
}

TEST_F(Push, AnActionFiresAtMostOncePerTwoPeriods) {
  ASSERT_TRUE(push_->parsePushes(Reply(Action(nullptr))));
  for (int second = 0; second < 600; ++second) {
    push_->checkBeacons({RangedBeacon(7, 9), RangedBeacon(7, 10)});
    platform::testing::advance(1.0);
  }
  EXPECT_EQ(fired_, (std::vector<double>{kStart, kStart + 120, kStart + 240, kStart + 360, kStart + 480}));
  EXPECT_TRUE(onMain_);
}

TEST_F(Push, ActionsLoadFromTheServerForTheCurrentLocation) {
  editReplies([](contentserver::SdkReplies& r) { r.actions = Reply(Action(nullptr)); });
  auto location = std::make_shared<MCLocation>();
  location->id = 77;
  push_->setServer(base());
  push_->setUserHash("hash-3");
  push_->setLocation(location);
  push_->loadPushesFromServer();
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return !push_->beacons().empty(); }));
  EXPECT_EQ(push_->beacons()[0]->location, 77);
  const auto seen = server_->records();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path + " " + std::to_string(seen[0].locationId) + " " + seen[0].userHash, "/actions 77 hash-3");
}

class ZoneVisits : public Push {
 protected:
  void SetUp() override {
    Push::SetUp();
    push_->setZoneVisitURL(base() + "/zones/visit");
    push_->setTargetRef("https://example.test/app");
    push_->setUserHash("hash-4");
  }
  // Waits for the server without running the main loop, so no reply is handled meanwhile.
  bool serverSaw(size_t n) {
    for (int k = 0; k < 10000 && count("/zones/visit") < n; ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return count("/zones/visit") >= n;
  }
  std::map<std::string, std::string> last() { return routes_->records("/zones/visit").back().form; }
};

TEST_F(ZoneVisits, EveryLineIsAcknowledgedOnceWhateverTheServerAnswers) {
  platform::testing::useManualClock({kStart + 3723, 0}, -120);  // 01:02:03 UTC, 03:02:03 local
  platform::Device::setBatteryLevel(0.5f);
  std::thread([&] { push_->loadPushesByXML("a", "dev-9", "iPhone9,1"); }).join();  // as the tick does
  ASSERT_TRUE(awaitCount("/zones/visit", 1));
  const auto form = last();
  EXPECT_EQ(form.at("userHash") + "|" + form.at("localTime") + "|" + form.at("deviceId") + "|" +
                form.at("deviceModel") + "|" + form.at("target-ref"),
            "hash-4|2026-01-01 03:02:03|dev-9|iPhone9,1|https://example.test/app");
  EXPECT_EQ(std::stod(form.at("batteryLevel")), 50.0);
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return push_->xmlArray().empty(); }));
  platform::Device::setBatteryLevel(-1);
  struct Step {
    const char* line;
    int status;
    bool notJson;
    const char* carried;
  };
  const Step steps[] = {
      {"b", 500, false, "b\n"},
      {"c", 200, true, "b\nc\n"},  // a body that is not JSON is a failure too
      {"d", 200, false, "b\nc\nd\n"},
      {"e", 200, false, "e\n"},
  };
  size_t n = 1;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.line);
    editReplies([&](contentserver::SdkReplies& r) {
      r.zoneVisitStatus = s.status;
      r.zoneVisitNotJson = s.notJson;
    });
    push_->loadPushesByXML(s.line, "dev", "model");
    ASSERT_TRUE(awaitCount("/zones/visit", ++n));
    EXPECT_EQ(last().at("xml"), s.carried);
    EXPECT_EQ(last().at("packetNumber"), std::to_string(n - 1));
    EXPECT_EQ(std::stod(last().at("batteryLevel")), -100.0);
    const bool ok = s.status == 200 && !s.notJson;
    ASSERT_TRUE(platform::testing::pumpUntil([&] { return push_->xmlArray().empty() == ok; }));
  }
}

TEST_F(ZoneVisits, LinesAddedWhileAPostIsUnderWaySurviveItsSuccess) {
  push_->loadPushesByXML("first", "dev", "model");
  ASSERT_TRUE(serverSaw(1));  // answered 200; its success waits on the main loop
  editReplies([](contentserver::SdkReplies& r) { r.zoneVisitStatus = 503; });
  std::thread([&] { push_->loadPushesByXML("second", "dev", "model"); }).join();
  ASSERT_TRUE(serverSaw(2));
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return push_->xmlArray().size() == 1; }, 5));
  platform::testing::settle();
  EXPECT_EQ(push_->xmlArray(), std::vector<std::string>{"second"});
}

}  // namespace
