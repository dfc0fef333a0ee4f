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

inline constexpr int64_t kStart = 1767225600;  // 2026-01-01 00:00:00 UTC, a Thursday
inline constexpr const char* kUuid = "A07C5CA8-59EB-4EA8-9956-30B776E0FEDC";

class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RunLoop::setMainThread();
    platform::testing::useManualClock({kStart, 0});
    home_ = std::make_unique<platform::testing::ScopedHome>();
    contentserver::ServerOptions options;
    options.ipv6 = false;
    server_ = std::make_unique<contentserver::ContentServer>(options);
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
  std::shared_ptr<contentserver::SdkRoutes> routes_ = std::make_shared<contentserver::SdkRoutes>();
};

inline platform::Location Fix() { return {52.5, 13.25, 34.5, 5, 0, double(kStart)}; }

inline platform::Beacon RangedBeacon(int64_t major, int64_t minor, const std::string& uuid = kUuid,
                                     int64_t proximity = 2) {
  return {uuid, major, minor, proximity, -1, -70};
}

}  // namespace services_test
