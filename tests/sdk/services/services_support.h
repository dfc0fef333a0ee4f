// Shared by the service manager tests: our content server with the SDK's
// paths on 127.0.0.1, a fresh app home and the manual clock for each test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "content_server/content_server.h"
#include "content_server/sdk_routes.h"
#include "platform/location_manager.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace services_test {

// 2026-01-01 00:00:00 UTC, a Thursday.
inline constexpr int64_t kStart = 1767225600;

class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RunLoop::setMainThread();
    platform::testing::useManualClock({kStart, 0});
    home_ = std::make_unique<platform::testing::ScopedHome>();
    contentserver::ServerOptions options;
    options.ipv6 = false;
    server_ = std::make_unique<contentserver::ContentServer>(options);
    routes_ = std::make_shared<contentserver::SdkRoutes>();
    routes_->install(*server_);
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
  }
  void TearDown() override {
    platform::testing::settle();
    server_->stop();
    home_.reset();
    platform::testing::useRealClock();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(server_->port()); }
  size_t count(const std::string& path) const { return routes_->records(path).size(); }
  // Pumps the main loop until the server has seen `n` requests on `path`.
  bool awaitCount(const std::string& path, size_t n) const {
    return platform::testing::pumpUntil([&] { return count(path) >= n; }, 20);
  }
  template <class F>
  void editReplies(F&& edit) {
    contentserver::SdkReplies r = routes_->replies();
    edit(r);
    routes_->setReplies(r);
  }

  std::unique_ptr<platform::testing::ScopedHome> home_;
  std::unique_ptr<contentserver::ContentServer> server_;
  std::shared_ptr<contentserver::SdkRoutes> routes_;
};

inline platform::Location Fix() {
  platform::Location fix;
  fix.latitude = 52.5;
  fix.longitude = 13.25;
  fix.altitude = 34.5;
  fix.horizontalAccuracy = 5;
  fix.timestamp = double(kStart);
  return fix;
}

inline platform::Beacon RangedBeacon(int64_t major, int64_t minor,
                                     const std::string& uuid = "A07C5CA8-59EB-4EA8-9956-30B776E0FEDC",
                                     int64_t proximity = 2) {
  platform::Beacon b;
  b.proximityUUID = uuid;
  b.major = major;
  b.minor = minor;
  b.proximity = proximity;
  b.rssi = -70;
  return b;
}

}  // namespace services_test
