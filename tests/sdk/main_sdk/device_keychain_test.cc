// The device identifier in the keychain, the device values and the keychain
// store's rules.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "Device/mc_device.h"
#include "Device/mc_pw_keychain.h"
#include "platform/location_manager.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace {

using K = MCPWKeychain;

class DeviceKeychainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::RunLoop::setMainThread();
    platform::Device::reset();
    platform::Bundle::setBundleName("HostApp");
  }
  void TearDown() override { platform::Device::reset(); }
  platform::testing::ScopedHome home_;
};

TEST_F(DeviceKeychainTest, IdentifierSurvivesAndIsReplacedOnlyWhenEmpty) {
  platform::Device::setIdentifierForVendor("VENDOR-1");
  EXPECT_EQ(MCDevice::init()->deviceId, "VENDOR-1");
  platform::Device::setIdentifierForVendor("VENDOR-2");
  EXPECT_EQ(MCDevice::init()->loadDeviceId(), "VENDOR-1");
  ASSERT_TRUE(K::setPasswordData(std::vector<uint8_t>{}, "HostApp", "MCUUID"));
  EXPECT_EQ(K::passwordForService("HostApp", "MCUUID"), std::nullopt);
  EXPECT_EQ(MCDevice::init()->deviceId, "VENDOR-2");
  EXPECT_EQ(K::passwordForService("HostApp", "MCUUID"), "VENDOR-2");
}

// Stored bytes are the identifier only when they are UTF-8 text; otherwise the
// vendor identifier replaces them, in the store too.
TEST_F(DeviceKeychainTest, OnlyTextBecomesTheIdentifier) {
  const std::pair<std::string, std::string> cases[] = {
      {"ID-Caf\xC3\xA9", "ID-Caf\xC3\xA9"},
      {"\xFF\xFE" "ID", "VENDOR-9"},
      {"ID-\xE9\xFF", "VENDOR-9"},
      {"\xC0\xAF", "VENDOR-9"},  // an overlong "/"
      {"ID-\xE2\x82", "VENDOR-9"},  // cut short
  };
  platform::Device::setIdentifierForVendor("VENDOR-9");
  for (const auto& [stored, id] : cases) {
    ASSERT_TRUE(K::setPassword(stored, "HostApp", "MCUUID"));
    EXPECT_EQ(MCDevice::init()->deviceId, id);
    EXPECT_EQ(K::passwordForService("HostApp", "MCUUID"), id);
  }
}

// A write that fails part-way must leave the stored identifier in place. The
// failure is a file-size limit that the store's file may keep but not grow past.
TEST_F(DeviceKeychainTest, FailedOverwriteKeepsStoredIdentifier) {
  ASSERT_TRUE(K::setPassword("VENDOR-1", "HostApp", "MCUUID"));
  const auto size = std::filesystem::file_size(platform::Paths::library() / "keychain.plist");
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight{static_cast<rlim_t>(size + 64), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  std::optional<platform::Error> error;
  const bool written = K::setPassword(std::string(4096, 'x'), "HostApp", "MCUUID", &error);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  EXPECT_EQ(error->code, platform::errSecIO);
  platform::Device::setIdentifierForVendor("VENDOR-2");
  EXPECT_EQ(MCDevice::init()->deviceId, "VENDOR-1");
}

TEST_F(DeviceKeychainTest, RadioStateArrivesOnItsOwnQueue) {
  platform::location::setAuthorizationStatus(platform::kAuthorizationStatusDenied);
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOff);
  auto d = MCDevice::init();
  EXPECT_EQ(d->authorizationStatus, platform::kAuthorizationStatusDenied);
  const std::string label = d->centralManager->queue()->label();
  EXPECT_TRUE(label.ends_with(".centralManager") && d->centralManager->queue()->isSerial());
  EXPECT_TRUE(platform::testing::pumpUntil([&] { return d->centralManagerState() == 4; }));
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOn);
  EXPECT_TRUE(platform::testing::pumpUntil([&] { return d->centralManagerState() == 5; }));
  EXPECT_EQ(MCDevice::device(), MCDevice::device());
}

TEST_F(DeviceKeychainTest, StoreRules) {
  const std::function<bool(std::optional<platform::Error>*)> missing[] = {
      [](auto e) { return K::setPassword("x", "svc", std::nullopt, e); },
      [](auto e) { return K::setPasswordData(std::nullopt, "svc", "a", e); },
      [](auto e) { return K::passwordForService(std::nullopt, "a", e).has_value(); },
      [](auto e) { return K::deletePasswordForService("svc", std::nullopt, e); },
  };
  for (const auto& op : missing) {
    std::optional<platform::Error> error;
    EXPECT_FALSE(op(&error));
    EXPECT_EQ(error->code, -1001);
    EXPECT_EQ(error->domain, kMCPWKeychainErrorDomain);
  }
  EXPECT_FALSE(K::allAccounts());  // nothing stored: not found
  for (auto [value, service, account] : {std::tuple{"one", "svc", "a"}, {"two", "svc", "a"}, {"x", "svc2", "b"}}) {
    ASSERT_TRUE(K::setPassword(value, service, account));
  }
  EXPECT_EQ(K::passwordForService("svc", "a"), "two");
  auto svc = K::accountsForService("svc");
  ASSERT_EQ(svc->size(), 1u);
  EXPECT_EQ(std::any_cast<std::string>(svc->at(0).at(kMCPWKeychainAccountKey)), "a");
  EXPECT_EQ(K::allAccounts()->size(), 2u);
  std::optional<platform::Error> error;
  EXPECT_TRUE(K::deletePasswordForService("svc", "a", &error));
  EXPECT_FALSE(K::deletePasswordForService("svc", "a", &error));
  EXPECT_EQ(error->code, platform::errSecItemNotFound);
}

}  // namespace
