// Measurement logs: the server-clock field of every record once the offset is
// known, recording that never starts without a location folder, logs with
// empty pieces, the time service's reply (also mutated), and log removal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "MCLogManager/mc_log_manager.h"
#include "platform/testing.h"
#include "sdk/facade/facade_scene.h"
#include "text_mutation.h"

namespace {

namespace fs = std::filesystem;
namespace pt = platform::testing;

WScanMessage At(int64_t unix, int ms) {
  WScanMessage m;
  m.tmUnixTime = int32_t(unix);
  m.tmMillisecond = ms;
  m.tmYear = 2026, m.tmMonth = 1, m.tmDay = 1, m.tmHour = 12;
  m.deviceId = "dev";
  return m;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(LogManagerTest, RecordsCarryTheServerTimeWheneverTheOffsetIsKnown) {
  struct Case {
    std::optional<MCDeviceOffset> offset;
    const char* serverTime;
  };
  // The message: 2026-01-01 12:00:00.100 UTC on the device's clock.
  const std::vector<Case> cases = {
      {std::nullopt, ""},
      {MCDeviceOffset{0, 250000}, "2026-01-01 11:59:59.850"},
      {MCDeviceOffset{5, 0}, "2026-01-01 11:59:55.100"},
      {MCDeviceOffset{0, 0}, "2026-01-01 12:00:00.100"},
      {MCDeviceOffset{-2, -300000}, "2026-01-01 12:00:02.400"},
      {MCDeviceOffset{1, -950000}, "2026-01-01 12:00:00.050"},
  };
  for (const Case& c : cases) {
    pt::ScopedHome home;
    auto logs = std::make_shared<MCLogManager>();
    logs->setFullPathToDir(home.path().string() + "/venue");
    fs::create_directories(home.path() / "venue");
    logs->setDeviceOffset(c.offset);
    EXPECT_EQ(logs->serverTimeOf(At(1767268800, 100)), c.serverTime);
    const std::string path = logs->startSaveLogToFile();
    ASSERT_FALSE(path.empty());
    logs->saveWsMsg(At(1767268800, 100));
    EXPECT_NE(ReadAll(path).find("serverTime=\"" + std::string(c.serverTime) + "\""), std::string::npos);
  }
}

TEST(LogManagerTest, RecordingBeforeAnyLoadWritesNothing) {
  pt::ScopedHome home;
  const fs::path cwd = fs::current_path();
  fs::current_path(home.path());
  auto logs = std::make_shared<MCLogManager>();
  EXPECT_EQ(logs->startSaveLogToFile(), "");
  logs->saveWsMsg(At(1767268800, 0));
  logs->stopSaveLogToFile(At(1767268800, 0));
  const bool empty = fs::is_empty(home.path()) ||
                     std::none_of(fs::directory_iterator(home.path()), fs::directory_iterator(),
                                  [](const auto& e) { return e.path().extension() == ".log"; });
  fs::current_path(cwd);
  EXPECT_TRUE(empty);
}

TEST(LogManagerTest, EmptyPiecesBetweenRecordsAreSkipped) {
  pt::ScopedHome home;
  auto logs = std::make_shared<MCLogManager>();
  logs->setFullPathToDir(home.path().string());
  const std::string record = At(1767268800, 0).toString("b", "1:1", "os", "") + "\n\n";
  struct Case {
    std::string text;
    uint64_t records;
  };
  const std::vector<Case> cases = {
      {record + record + record, 3},
      {"\n\n\n" + record + "\n\n\n\n\n\n" + record + "\n\n\n", 2},
      {"\n\n\n\n\n\n", 0},
      {record + " \n\n\n\t\n\n\n" + record, 2},
  };
  for (const Case& c : cases) {
    std::ofstream(home.path() / "x.log", std::ios::binary) << c.text;
    std::optional<platform::Error> error;
    EXPECT_EQ(logs->wsMsgFromLog("x.log", &error), c.records);
    EXPECT_FALSE(error);
  }
}

TEST(LogManagerTest, TimeServiceReplies) {
  struct Case {
    const char* body;
    std::optional<int64_t> ms;
  };
  const std::vector<Case> cases = {
      {"1767268800123", 1767268800123}, {" 1767268800123\n", 1767268800123}, {"0", 0},
      {"", std::nullopt},  {"-5", std::nullopt}, {"12a", std::nullopt}, {"1.5", std::nullopt},
      {"<html>", std::nullopt}, {"1234567890123456789012", std::nullopt}, {"12 34", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(MCLogManager::parseServerTime(c.body), c.ms) << c.body;
  std::mt19937 rng(2109);
  for (int i = 0; i < 2000; ++i) {
    const std::string body = testmut::Mutate("1767268800123\n", rng, {"-", " ", "\0", "99999999999999", "x"});
    const auto ms = MCLogManager::parseServerTime(body);
    if (ms) {
      EXPECT_EQ(body.find_first_not_of("0123456789 \t\r\n\f\v"), std::string::npos) << body;
    }
  }
}

TEST(LogManagerTest, TheServerClockSetsTheOffsetAndABadReplyKeepsIt) {
  facade_test::FacadeScene s;
  auto logs = std::make_shared<MCLogManager>();
  logs->setServer(s.serverUrl());  // asks the clock (the scene's service is 1.5 s behind)
  ASSERT_TRUE(pt::pumpUntil([&] { return logs->deviceOffset().has_value(); }, 10));
  const MCDeviceOffset offset = *logs->deviceOffset();
  EXPECT_EQ(offset.seconds * 1000 + offset.microseconds / 1000, 1500);
  // A server whose time service answers something else: the offset stays.
  logs->setServer(s.serverUrl() + "/nowhere");
  ASSERT_TRUE(pt::pumpUntil([&] {
    for (const auto& r : s.server->records())
      if (r.path == "/nowhere/tracking/time/time.php") return true;
    return false;
  }));
  pt::pumpUntil([] { return false; }, 0.3);
  ASSERT_TRUE(logs->deviceOffset());
  EXPECT_EQ(logs->deviceOffset()->seconds, offset.seconds);
  EXPECT_EQ(logs->deviceOffset()->microseconds, offset.microseconds);
}

TEST(LogManagerTest, RemovingLogs) {
  pt::ScopedHome home;
  auto logs = std::make_shared<MCLogManager>();
  const fs::path dir = home.path() / "venue";
  fs::create_directories(dir);
  logs->setFullPathToDir(dir.string());
  for (const char* f : {"a.log", "b.log", "map.mvz", "notes.txt"}) std::ofstream(dir / f) << "x";
  std::ofstream(home.path() / "outside.log") << "x";
  struct Case {
    const char* name;
    bool removed;
  };
  for (const Case& c : std::vector<Case>{{"notes.txt", false}, {"../outside.log", false}, {"a.log", true}}) {
    std::optional<platform::Error> error;
    logs->removeLog(c.name, &error);
    EXPECT_FALSE(error) << c.name;
  }
  EXPECT_TRUE(fs::exists(dir / "notes.txt"));
  EXPECT_TRUE(fs::exists(home.path() / "outside.log"));
  EXPECT_FALSE(fs::exists(dir / "a.log"));
  std::optional<platform::Error> error;
  logs->removeAllLogs(&error);
  EXPECT_FALSE(error);
  EXPECT_FALSE(fs::exists(dir / "b.log"));
  EXPECT_TRUE(fs::exists(dir / "map.mvz"));
  logs->setFullPathToDir((home.path() / "gone").string());
  logs->removeAllLogs(&error);
  EXPECT_TRUE(error);
}

}  // namespace
