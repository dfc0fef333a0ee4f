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
using services_test::ServicesTest;

namespace {

const char* const kUuid = "A07C5CA8-59EB-4EA8-9956-30B776E0FEDC";

json Reply(const json& actions, const std::string& uuid = kUuid) {
  json beacon = {{"id", 5}, {"major", 7}, {"minor", 9}, {"uuid", uuid}, {"zoneId", 2}, {"description", "door"}};
  // One action object stands for a list of one.
  beacon["actions"] = actions.is_object() ? json::array({actions}) : actions;
  json floor = json::object();
  floor["beacons"] = json::array({beacon});
  json location = json::object();
  location["sublocations"] = json::array({floor});
  json data = {{"success", 1}};
  data["location"] = location;
  return {{"data", data}};
}

json Action(json schedule, int active = 1, int frequency = 60) {
  json a = {{"id", 41}, {"active", active}, {"title", "Hello"}, {"content", "Near the door"},
            {"frequency", frequency}, {"proximity", "Near"}, {"image", "http://img/x.png"}};
  if (!schedule.is_null()) a["schedule"] = schedule;
  return a;
}

json Open(const char* start, const char* end) { return {{"is_open", true}, {"start", start}, {"end", end}}; }

struct Fired {
  std::vector<double> at;
  bool allOnMain = true;
};

class Push : public ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    push_ = std::make_shared<MCPushManager>();
    delegate_ = std::make_shared<MCPushManagerDelegate>();
    delegate_->didRangePushWithTitle = [this](const std::string& title, const std::string&, const std::string&,
                                              int64_t id) {
      EXPECT_EQ(title, "Hello");
      EXPECT_EQ(id, 41);
      fired_.at.push_back(platform::Clock::nowSeconds());
      fired_.allOnMain = fired_.allOnMain && platform::RunLoop::isMainThread();
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
  std::shared_ptr<MCPushManager> push_;
  std::shared_ptr<MCPushManagerDelegate> delegate_;
  Fired fired_;
};

TEST_F(Push, WhatAnActionsReplyBecomes) {
  struct Row {
    const char* name;
    json reply;
    bool accepted;
    size_t beacons, actions;
    std::vector<std::array<int64_t, 3>> days;  // of the first action
    bool scheduled;
  };
  const Row rows[] = {
      {"success without a list", {{"data", {{"success", 1}}}}, true, 0, 0, {}, false},
      {"success 0", {{"data", {{"success", 0}}}}, false, 1, 1, {}, false},
      {"no data", {{"success", 1}}, false, 1, 1, {}, false},
      {"data not an object", {{"data", "yes"}}, false, 1, 1, {}, false},
      {"actions not an array", Reply("many"), true, 1, 0, {}, false},
      {"beacon without actions", Reply(nullptr), true, 1, 0, {}, false},
      {"lower- and mixed-case day names",
       Reply({Action({{"Monday", Open("09:00", "18:00")}, {"FRIDAY", Open("8:30", "9:15")}})}), true, 1, 1,
       {{2, 9 * 3600, 18 * 3600}, {6, 8 * 3600 + 1800, 9 * 3600 + 900}}, true},
      {"unknown and closed days dropped",
       Reply({Action({{"funday", Open("09:00", "18:00")}, {"sunday", {{"is_open", false}}}})}), true, 1, 1, {}, true},
      {"times without a colon or digits",
       Reply({Action({{"sunday", Open("9", "x")}, {"saturday", {{"is_open", true}, {"start", 7}}}})}), true, 1, 1,
       {{1, 9 * 3600, 0}, {7, 0, 0}}, true},
      {"schedule not an object", Reply({Action("always")}), true, 1, 1, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A list in place, which rejected replies must leave as it is.
    ASSERT_TRUE(push_->parsePushes(Reply({Action(nullptr)})));
    EXPECT_EQ(push_->parsePushes(row.reply), row.accepted);
    const auto beacons = push_->beacons();
    ASSERT_EQ(beacons.size(), row.beacons);
    if (beacons.empty()) continue;
    EXPECT_EQ(beacons[0]->major, 7);
    EXPECT_EQ(beacons[0]->sublocation, 2);
    EXPECT_EQ(beacons[0]->name, "door");
    ASSERT_EQ(beacons[0]->actions.size(), row.actions);
    if (row.actions == 0 || !row.accepted) continue;
    const auto& action = beacons[0]->actions[0];
    EXPECT_EQ(action->proximity, 2u);
    EXPECT_EQ(action->scheduled, row.scheduled);
    std::vector<std::array<int64_t, 3>> days;
    for (const MCDay& d : action->shedule) days.push_back({d.weekDay, d.start, d.end});
    std::sort(days.begin(), days.end());
    auto want = row.days;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(days, want);
  }
}

// One sighting at a given local time: does the action fire? The start is a
// Thursday, 00:00 UTC.
TEST_F(Push, SchedulesAllowFiringOnlyInsideOpenWindowsOfLocalTime) {
  struct Row {
    const char* name;
    json action;
    int64_t offset;   // seconds after the start
    int minutesWest;  // the zone
    bool fires;
  };
  const json thursday = {{"thursday", Open("09:00", "18:00")}};
  const Row rows[] = {
      {"no schedule", Action(nullptr), 0, 0, true},
      {"inactive", Action(nullptr, 0), 0, 0, false},
      {"every day closed", Action({{"thursday", {{"is_open", false}}}, {"friday", {{"is_open", false}}}}), 36000, 0,
       false},
      {"window start itself", Action(thursday), 9 * 3600, 0, false},
      {"one second in", Action(thursday), 9 * 3600 + 1, 0, true},
      {"window end itself", Action(thursday), 18 * 3600, 0, false},
      {"another day", Action({{"wednesday", Open("00:00", "23:59")}}), 36000, 0, false},
      {"capitalised day", Action({{"Thursday", Open("09:00", "18:00")}}), 36000, 0, true},
      {"unknown day only", Action({{"Donnerstag", Open("00:00", "23:59")}}), 36000, 0, false},
      {"hours without minutes", Action({{"thursday", Open("9", "18")}}), 36000, 0, true},
      {"local time east of UTC", Action({{"friday", Open("00:30", "02:00")}}), 23 * 3600, -120, true},
      {"local time west of UTC", Action({{"thursday", Open("17:00", "19:00")}}), 23 * 3600, 300, true},
      {"UTC day is not local day", Action({{"thursday", Open("22:00", "23:59")}}), 23 * 3600, -120, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    stopActions();
    platform::testing::useManualClock({kStart + row.offset, 0}, row.minutesWest);
    fired_ = {};
    ASSERT_TRUE(push_->parsePushes(Reply({row.action})));
    push_->checkBeacons({RangedBeacon(7, 9, kUuid, 0)});
    EXPECT_EQ(fired_.at.size(), row.fires ? 1u : 0u);
    EXPECT_TRUE(fired_.allOnMain);
  }
}

TEST_F(Push, AnActionFiresAtMostOncePerTwoPeriods) {
  ASSERT_TRUE(push_->parsePushes(Reply({Action(nullptr, 1, 60)})));
  for (int second = 0; second < 600; ++second) {
    push_->checkBeacons({RangedBeacon(7, 9), RangedBeacon(7, 10)});
    platform::testing::advance(1.0);
  }
  ASSERT_EQ(fired_.at.size(), 5u);
  for (size_t k = 1; k < fired_.at.size(); ++k) EXPECT_GE(fired_.at[k] - fired_.at[k - 1], 120.0);
  EXPECT_TRUE(fired_.allOnMain);
  // A lower-case UUID in the reply never matches the ranged canonical text.
  stopActions();
  fired_ = {};
  std::string lower = kUuid;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  ASSERT_TRUE(push_->parsePushes(Reply({Action(nullptr)}, lower)));
  push_->checkBeacons({RangedBeacon(7, 9)});
  EXPECT_TRUE(fired_.at.empty());
}

TEST_F(Push, ActionsLoadFromTheServerForTheCurrentLocation) {
  editReplies([](contentserver::SdkReplies& r) { r.actions = Reply({Action(nullptr)}); });
  auto location = std::make_shared<MCLocation>();
  location->id = 77;
  push_->setServer(base());
  push_->setUserHash("hash-3");
  push_->setLocation(location);
  push_->loadPushesFromServer();
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return !push_->beacons().empty(); }));
  EXPECT_EQ(push_->beacons()[0]->location, 77);
  const auto seen = server_->records();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().path, "/actions");
  EXPECT_EQ(seen.back().locationId, 77);
  EXPECT_EQ(seen.back().userHash, "hash-3");
  // A reply of "success" 0 leaves the list as it was.
  editReplies([](contentserver::SdkReplies& r) { r.actions = {{"data", {{"success", 0}}}}; });
  push_->loadPushesFromServer();
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return server_->records().size() == 2; }));
  platform::testing::settle();
  EXPECT_EQ(push_->beacons().size(), 1u);
}

class ZoneVisits : public Push {
 protected:
  void SetUp() override {
    Push::SetUp();
    push_->setZoneVisitURL(base() + "/zones/visit");
    push_->setTargetRef("https://example.test/app");
    push_->setUserHash("hash-4");
  }
  // Waits for the server without running the main loop, so that no reply is
  // handled meanwhile.
  bool serverSaw(size_t n) {
    for (int k = 0; k < 10000 && count("/zones/visit") < n; ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return count("/zones/visit") >= n;
  }
  // Every line the server acknowledged, in order.
  std::string acknowledged() {
    std::string out;
    for (const auto& r : routes_->records("/zones/visit"))
      if (r.status == 200) out += r.form.at("xml");
    return out;
  }
};

TEST_F(ZoneVisits, PostsCarryTheFieldsAndTrueLocalTime) {
  platform::testing::useManualClock({kStart + 3723, 0}, -120);  // 01:02:03 UTC, 03:02:03 local
  platform::Device::setBatteryLevel(0.5f);
  std::thread tick([&] { push_->loadPushesByXML("<Z i=\"1\"/>", "dev-9", "iPhone9,1"); });
  tick.join();
  ASSERT_TRUE(awaitCount("/zones/visit", 1));
  const auto form = routes_->records("/zones/visit")[0].form;
  EXPECT_EQ(form.at("userHash"), "hash-4");
  EXPECT_EQ(form.at("packetNumber"), "0");
  EXPECT_EQ(form.at("localTime"), "2026-01-01 03:02:03");
  EXPECT_EQ(form.at("deviceId"), "dev-9");
  EXPECT_EQ(form.at("deviceModel"), "iPhone9,1");
  EXPECT_EQ(form.at("xml"), "<Z i=\"1\"/>\n");
  EXPECT_EQ(std::stod(form.at("batteryLevel")), 50.0);
  EXPECT_EQ(form.at("target-ref"), "https://example.test/app");
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return push_->xmlArray().empty(); }));
  platform::Device::setBatteryLevel(-1);
  push_->loadPushesByXML("<Z i=\"2\"/>", "dev-9", "iPhone9,1");
  ASSERT_TRUE(awaitCount("/zones/visit", 2));
  EXPECT_EQ(std::stod(routes_->records("/zones/visit")[1].form.at("batteryLevel")), -100.0);
  EXPECT_EQ(routes_->records("/zones/visit")[1].form.at("packetNumber"), "1");
}

TEST_F(ZoneVisits, EveryLineIsAcknowledgedOnceWhateverTheServerAnswers) {
  struct Step {
    const char* line;
    int status;
    bool notJson;
    const char* carried;  // what the post carries
  };
  const Step steps[] = {
      {"a", 200, false, "a\n"},
      {"b", 500, false, "b\n"},
      {"c", 200, true, "b\nc\n"},  // a body that is not JSON is a failure too
      {"d", 200, false, "b\nc\nd\n"},
      {"e", 200, false, "e\n"},
  };
  size_t n = 0;
  std::string acked;  // what the server took and answered with JSON
  for (const Step& s : steps) {
    SCOPED_TRACE(s.line);
    editReplies([&](contentserver::SdkReplies& r) {
      r.zoneVisitStatus = s.status;
      r.zoneVisitNotJson = s.notJson;
    });
    push_->loadPushesByXML(s.line, "dev", "model");
    ASSERT_TRUE(awaitCount("/zones/visit", ++n));
    EXPECT_EQ(routes_->records("/zones/visit").back().form.at("xml"), s.carried);
    EXPECT_EQ(routes_->records("/zones/visit").back().form.at("packetNumber"), std::to_string(n - 1));
    const bool ok = s.status == 200 && !s.notJson;
    if (ok) acked += s.carried;
    ASSERT_TRUE(platform::testing::pumpUntil([&] { return push_->xmlArray().empty() == ok; }));
  }
  EXPECT_EQ(acked, "a\nb\nc\nd\ne\n");
}

TEST_F(ZoneVisits, LinesAddedWhileAPostIsUnderWaySurviveItsSuccess) {
  push_->loadPushesByXML("first", "dev", "model");
  ASSERT_TRUE(serverSaw(1));  // answered 200; its success waits on the main loop
  editReplies([](contentserver::SdkReplies& r) { r.zoneVisitStatus = 503; });
  std::thread tick([&] { push_->loadPushesByXML("second", "dev", "model"); });
  tick.join();
  ASSERT_TRUE(serverSaw(2));
  // Both replies handled: the first success removes only what it carried.
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return push_->xmlArray().size() == 1; }, 5));
  platform::testing::settle();
  EXPECT_EQ(push_->xmlArray(), std::vector<std::string>{"second"});
  editReplies([](contentserver::SdkReplies& r) { r.zoneVisitStatus = 200; });
  push_->loadPushesByXML("third", "dev", "model");
  ASSERT_TRUE(awaitCount("/zones/visit", 3));
  ASSERT_TRUE(platform::testing::pumpUntil([&] { return push_->xmlArray().empty(); }));
  EXPECT_EQ(acknowledged(), "first\nsecond\nthird\n");
}

}  // namespace
