// Mutated settings and actions replies, and mutated form bodies at the
// content server, from a fixed seed: readers must never throw or crash, and
// whatever they accept must leave the managers usable.
#include <random>

#include "MCPushManager/mc_push_manager.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "MainSDK/mc_log.h"
#include "sdk/services/services_support.h"

using nlohmann::json;

namespace {

const char* const kSeeds[] = {
    R"({"fast_scan_enabled": true, "regular_scan_enabled": false, "restart_bluetooth_timeout": 10,
        "production_enabled": false, "post_zone_timeout": 30, "post_messages_timeout_foreground": 10,
        "post_messages_timeout_background": 300, "actions_update_timeout": 900, "config_update_timeout": 3600,
        "post_rfsignals_enabled": true, "post_rfsignals_timeout": 40, "post_rfsignals_length": 30,
        "debug_level": 0, "debug_log_file": "fuzz.txt", "notifications_enabled": 1,
        "regions_list": [1, 2], "working_timetable": {"monday": "9-18"}})",
    R"({"data": {"success": 1, "location": {"sublocations": [{"beacons": [{"id": 5, "major": 7, "minor": 9,
        "uuid": "A07C5CA8-59EB-4EA8-9956-30B776E0FEDC", "zoneId": 2, "description": "door",
        "actions": [{"id": 41, "active": 1, "title": "Hello", "content": "c", "frequency": 60, "priority": 2,
        "proximity": "Far", "when": "now", "duration": 5, "image": "i",
        "schedule": {"thursday": {"is_open": true, "start": "00:01", "end": "23:59"},
                     "Monday": {"is_open": false, "start": "9", "end": ":"}}}]}]}]}}})",
};

const char kAlphabet[] = "{}[]\":,.-+0123456789eEtruefalsnl \\/abc";

std::string Mutate(std::string text, std::mt19937& rng) {
  const int edits = 1 + int(rng() % 4);
  for (int k = 0; k < edits && !text.empty(); ++k) {
    const size_t at = rng() % text.size();
    switch (rng() % 4) {
      case 0: text[at] = kAlphabet[rng() % (sizeof kAlphabet - 1)]; break;
      case 1: text.erase(at, 1 + rng() % 8); break;
      case 2: text.insert(at, 1, kAlphabet[rng() % (sizeof kAlphabet - 1)]); break;
      default: text.insert(at, text.substr(at, rng() % 16)); break;
    }
  }
  return text;
}

// Replaces one value somewhere in the tree by a value of another type.
void Retype(json& j, std::mt19937& rng) {
  const json others[] = {nullptr, "text", -1, 0, 1.5, 1e300, -9e18, true, json::array(), json::object(),
                         json::array({1, "x"})};
  json* at = &j;
  for (int depth = 0; depth < 8 && (at->is_object() || at->is_array()) && !at->empty(); ++depth) {
    auto it = at->begin();
    std::advance(it, rng() % at->size());
    at = &*it;
    if (rng() % 3 == 0) break;
  }
  *at = others[rng() % std::size(others)];
}

TEST(ReplyFuzz, MutatedRepliesNeverThrowOrCrash) {
  platform::RunLoop::setMainThread();
  platform::testing::useManualClock({services_test::kStart, 0});
  {
    platform::testing::ScopedHome home;
    auto settings = std::make_shared<MCSettingsManager>();
    auto push = std::make_shared<MCPushManager>();
    auto delegate = std::make_shared<MCPushManagerDelegate>();
    int fired = 0;
    delegate->didRangePushWithTitle = [&](const std::string&, const std::string&, const std::string&, int64_t) {
      ++fired;
    };
    push->setDelegate(delegate);
    std::mt19937 rng(20261207);
    int parsed = 0;
    for (int round = 0; round < 800; ++round) {
      json reply;
      if (round % 3 == 2) {
        reply = json::parse(kSeeds[rng() % std::size(kSeeds)]);
        for (int k = 0; k < 3; ++k) Retype(reply, rng);
      } else {
        reply = json::parse(Mutate(kSeeds[rng() % std::size(kSeeds)], rng), nullptr, false);
        if (reply.is_discarded()) continue;
      }
      ++parsed;
      SCOPED_TRACE(reply.dump());
      ASSERT_NO_THROW({
        if (settings->parseSettings(reply)) settings->applySettings();
        push->parsePushes(reply);
        push->checkBeacons({services_test::RangedBeacon(7, 9)});
        settings->addNewBeacons({services_test::RangedBeacon(1, 2)});
      });
      for (const auto& b : push->beacons())
        for (const auto& a : b->actions) a->stopAction();
    }
    EXPECT_GT(parsed, 350);
    EXPECT_GT(fired, 0);
    settings->stopManager();
    settings->applyDebugLevel(0);
    _Logger.setDebugLevel(1);
    platform::testing::settle();
  }
  platform::testing::useRealClock();
}

TEST(ReplyFuzz, MutatedFormBodiesDecode) {
  std::mt19937 rng(7);
  const std::string seed = "data=%3Cdevice%20deviceId%3D%22d%22%2F%3E&format=json&xml=a%0Ab%0A&x=%&y=%2&z=+";
  for (int round = 0; round < 2000; ++round) {
    const std::string body = Mutate(seed, rng);
    std::map<std::string, std::string> form;
    ASSERT_NO_THROW(form = contentserver::DecodeForm(body)) << body;
    for (const auto& [k, v] : form) EXPECT_LE(k.size() + v.size(), body.size()) << body;
  }
  EXPECT_EQ(contentserver::DecodeForm("a=1%202&b=x+y&c").at("a"), "1 2");
  EXPECT_EQ(contentserver::DecodeForm("a=1%202&b=x+y&c").at("b"), "x y");
}

}  // namespace
