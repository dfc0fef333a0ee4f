// Mutated settings and actions replies, and mutated form bodies at the
// content server, from a fixed seed: the readers never throw or crash.
#include <random>

#include "MCPushManager/mc_push_manager.h"
#include "MCSettingsManager/mc_settings_manager.h"
#include "Foundation/mc_log.h"
#include "sdk/services/services_support.h"

using nlohmann::json;

namespace {

const char* const kSeeds[] = {
    R"({"fast_scan_enabled": true, "regular_scan_enabled": false, "restart_bluetooth_timeout": 10,
        "production_enabled": false, "post_zone_timeout": 30, "post_messages_timeout_foreground": 10,
        "actions_update_timeout": 900, "config_update_timeout": 3600, "post_rfsignals_enabled": true,
        "post_rfsignals_timeout": 40, "post_rfsignals_length": 30, "debug_level": 0,
        "debug_log_file": "fuzz.txt", "notifications_enabled": 1, "regions_list": [1, 2]})",
    R"({"data": {"success": 1, "location": {"sublocations": [{"beacons": [{"id": 5, "major": 7, "minor": 9,
        "uuid": "A07C5CA8-59EB-4EA8-9956-30B776E0FEDC", "zoneId": 2, "actions": [{"id": 41, "active": 1,
        "title": "Hello", "frequency": 60, "proximity": "Far", "schedule": {"thursday": {"is_open": true,
        "start": "00:01", "end": "23:59"}, "Monday": {"is_open": true, "start": "9", "end": ":"}}}]}]}]}}})",
};
const char kAlphabet[] = "{}[]\":,.-+0123456789eEtruefalsnl \\/%&=";

std::string Mutate(std::string text, std::mt19937& rng) {
  for (int k = 1 + int(rng() % 4); k > 0 && !text.empty(); --k) {
    const size_t at = rng() % text.size();
    const char c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
    switch (rng() % 4) {
      case 0: text[at] = c; break;
      case 1: text.erase(at, 1 + rng() % 8); break;
      case 2: text.insert(at, 1, c); break;
      default: text.insert(at, text.substr(at, rng() % 16)); break;
    }
  }
  return text;
}

// One value somewhere in the tree becomes a value of another type.
void Retype(json& j, std::mt19937& rng) {
  const json others[] = {nullptr, "text", -1, 1.5, 1e300, true, json::array(), json::object()};
  json* at = &j;
  while ((at->is_object() || at->is_array()) && !at->empty() && rng() % 4 != 0)
    at = &*std::next(at->begin(), long(rng() % at->size()));
  *at = others[rng() % std::size(others)];
}

TEST(ReplyFuzz, MutatedRepliesAndFormBodies) {
  platform::RunLoop::setMainThread();
  std::mt19937 rng(20261207);
  platform::testing::useManualClock({services_test::kStart, 0});
  {
    platform::testing::ScopedHome home;
    auto settings = std::make_shared<MCSettingsManager>();
    auto push = std::make_shared<MCPushManager>();
    int parsed = 0;
    for (int round = 0; round < 800; ++round) {
      json reply = json::parse(Mutate(kSeeds[rng() % 2], rng), nullptr, false);
      if (round % 3 == 2) {
        reply = json::parse(kSeeds[rng() % 2]);
        for (int k = 0; k < 3; ++k) Retype(reply, rng);
      }
      if (reply.is_discarded()) continue;
      ++parsed;
      ASSERT_NO_THROW({
        if (settings->parseSettings(reply)) settings->applySettings();
        push->parsePushes(reply);
        push->checkBeacons({services_test::RangedBeacon(7, 9)});
        settings->addNewBeacons({services_test::RangedBeacon(1, 2)});
      }) << reply.dump();
      for (const auto& b : push->beacons())
        for (const auto& a : b->actions) a->stopAction();
    }
    EXPECT_GT(parsed, 350);
    settings->stopManager();
    settings->applyDebugLevel(0);
    _Logger.setDebugLevel(1);
    platform::testing::settle();
  }
  platform::testing::useRealClock();
  const std::string form = "data=%3Cdevice%20id%3D%22d%22%2F%3E&format=json&xml=a%0Ab%0A&x=%&y=%2&z=+";
  for (int round = 0; round < 2000; ++round) {
    const std::string body = Mutate(form, rng);
    for (const auto& [k, v] : contentserver::DecodeForm(body)) EXPECT_LE(k.size() + v.size(), body.size()) << body;
  }
  EXPECT_EQ(contentserver::DecodeForm("a=1%202&b=x+y&c").at("a") + contentserver::DecodeForm("b=x+y&c").at("b"), "1 2x y");
}

}  // namespace
