// The device identifier in the keychain and the keychain store's rules.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "MainSDK/mc_device.h"
#include "MainSDK/mc_pw_keychain.h"
#include "platform/location_manager.h"
#include "platform/paths.h"
#include "platform/run_loop.h"
#include "platform/testing.h"

namespace {

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
  EXPECT_EQ(MCPWKeychain::passwordForService("HostApp", "MCUUID"), "VENDOR-1");
  platform::Device::setIdentifierForVendor("VENDOR-2");
  EXPECT_EQ(MCDevice::init()->loadDeviceId(), "VENDOR-1");

  ASSERT_TRUE(MCPWKeychain::setPasswordData(std::vector<uint8_t>{}, "HostApp", "MCUUID"));
  EXPECT_EQ(MCPWKeychain::passwordForService("HostApp", "MCUUID"), std::nullopt);
  EXPECT_EQ(MCDevice::init()->deviceId, "VENDOR-2");
  EXPECT_EQ(MCPWKeychain::passwordForService("HostApp", "MCUUID"), "VENDOR-2");
}

TEST_F(DeviceKeychainTest, DeviceValuesAndRadioStateOnItsOwnQueue) {
  platform::Device::setMachine("Phone9,9");
  platform::Device::setSystemVersion("17.1");
  platform::Device::setCurrentWifi(platform::WifiInfo{"aa:bb", "net", {1, 2}});
  platform::location::setAuthorizationStatus(platform::kAuthorizationStatusDenied);
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOff);
  auto d = MCDevice::init();
  EXPECT_EQ(d->model, "Phone9,9");
  EXPECT_EQ(d->osVersion, "17.1");
  ASSERT_TRUE(d->wifiInfo);
  EXPECT_EQ(d->wifiInfo->BSSID, "aa:bb");
  EXPECT_EQ(d->authorizationStatus, platform::kAuthorizationStatusDenied);
  const std::string label = d->centralManager->queue()->label();
  EXPECT_EQ(label.substr(label.size() - 15), ".centralManager");
  EXPECT_TRUE(d->centralManager->queue()->isSerial());
  EXPECT_TRUE(platform::testing::pumpUntil([&] { return d->centralManagerState() == 4; }));
  platform::bluetooth::setRadioState(platform::kCentralStatePoweredOn);
  EXPECT_TRUE(platform::testing::pumpUntil([&] { return d->centralManagerState() == 5; }));
  EXPECT_EQ(MCDevice::device(), MCDevice::device());
}

TEST_F(DeviceKeychainTest, StoreRules) {
  using K = MCPWKeychain;
  const struct {
    const char* name;
    std::function<bool(std::optional<platform::Error>*)> op;
  } missing[] = {
      {"set no account", [](auto e) { return K::setPassword("x", "svc", std::nullopt, e); }},
      {"set no bytes", [](auto e) { return K::setPasswordData(std::nullopt, "svc", "a", e); }},
      {"read no service", [](auto e) { return K::passwordForService(std::nullopt, "a", e).has_value(); }},
      {"delete no account", [](auto e) { return K::deletePasswordForService("svc", std::nullopt, e); }},
  };
  for (const auto& c : missing) {
    std::optional<platform::Error> error;
    EXPECT_FALSE(c.op(&error)) << c.name;
    ASSERT_TRUE(error) << c.name;
    EXPECT_EQ(error->code, -1001);
    EXPECT_EQ(error->domain, kMCPWKeychainErrorDomain);
  }
  EXPECT_FALSE(K::allAccounts());  // nothing stored: the store's not-found status

  ASSERT_TRUE(K::setPassword("one", "svc", "a"));
  ASSERT_TRUE(K::setPassword("two", "svc", "a"));
  ASSERT_TRUE(K::setPassword("other", "svc2", "b"));
  EXPECT_EQ(K::passwordForService("svc", "a"), "two");
  auto svc = K::accountsForService("svc");
  ASSERT_TRUE(svc);
  ASSERT_EQ(svc->size(), 1u);
  EXPECT_EQ(std::any_cast<std::string>(svc->at(0).at(kMCPWKeychainAccountKey)), "a");
  EXPECT_EQ(K::allAccounts()->size(), 2u);

  std::optional<platform::Error> error;
  EXPECT_TRUE(K::deletePasswordForService("svc", "a", &error));
  EXPECT_FALSE(K::deletePasswordForService("svc", "a", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, platform::errSecItemNotFound);
  EXPECT_EQ(K::passwordDataForService("svc", "a"), std::nullopt);

  K::setAccessibilityType("ak");
  ASSERT_TRUE(K::setPassword("three", "svc", "c"));
  platform::KeychainItem item;
  ASSERT_EQ(platform::Keychain::copyMatching({"svc", "c"}, &item), 0);
  EXPECT_EQ(item.accessible, "ak");
  K::setAccessibilityType(std::nullopt);
}

}  // namespace

namespace {

// A write that fails part-way must leave the stored identifier in place. The
// failure is a file-size limit that the store's file may keep but not grow past.
TEST_F(DeviceKeychainTest, FailedOverwriteKeepsStoredIdentifier) {
  ASSERT_TRUE(MCPWKeychain::setPassword("VENDOR-1", "HostApp", "MCUUID"));
  const auto size = std::filesystem::file_size(platform::Paths::library() / "keychain.plist");
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight{static_cast<rlim_t>(size + 64), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  std::optional<platform::Error> error;
  const bool written =
      MCPWKeychain::setPassword(std::string(4096, 'x'), "HostApp", "MCUUID", &error);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, platform::errSecIO);
  EXPECT_EQ(MCPWKeychain::passwordForService("HostApp", "MCUUID"), "VENDOR-1");
  platform::Device::setIdentifierForVendor("VENDOR-2");
  EXPECT_EQ(MCDevice::init()->deviceId, "VENDOR-1");
}

}  // namespace
