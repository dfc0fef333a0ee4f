#include "Device/mc_pw_keychain.h"

#include "Navigation/utf8_text.h"
#include "platform/mutex.h"

const char* const kMCPWKeychainErrorDomain = "com.marvisto.MCPWKeychain";
const char* const kMCPWKeychainAccountKey = "acct";
const char* const kMCPWKeychainCreatedAtKey = "cdat";
const char* const kMCPWKeychainClassKey = "class";
const char* const kMCPWKeychainDescriptionKey = "desc";
const char* const kMCPWKeychainLabelKey = "labl";
const char* const kMCPWKeychainLastModifiedKey = "mdat";
const char* const kMCPWKeychainWhereKey = "svce";

namespace {

constexpr int64_t kMissingArgument = -1001;

struct Accessibility {
  platform::Mutex mutex;
  MCPWKeychain::Text value GUARDED_BY(mutex);
  static Accessibility& instance() {
    static Accessibility a;
    return a;
  }
};

void Fail(MCPWKeychain::ErrorOut error, int64_t code) {
  platform::setError(error, platform::Error::make(kMCPWKeychainErrorDomain, code));
}

platform::UserInfo Attributes(const platform::KeychainItem& item) {
  return {{kMCPWKeychainClassKey, std::string("genp")},
          {kMCPWKeychainWhereKey, item.service},
          {kMCPWKeychainAccountKey, item.account},
          {kMCPWKeychainLabelKey, item.label},
          {kMCPWKeychainDescriptionKey, item.itemDescription},
          {kMCPWKeychainCreatedAtKey, item.createdAt},
          {kMCPWKeychainLastModifiedKey, item.modifiedAt}};
}

}  // namespace

platform::KeychainQuery MCPWKeychain::_queryForService(const Text& service, const Text& account) {
  return platform::KeychainQuery{service, account};
}

std::optional<std::vector<platform::UserInfo>> MCPWKeychain::accountsForService(
    const Text& service, ErrorOut error) {
  std::vector<platform::KeychainItem> items;
  const platform::OSStatus status =
      platform::Keychain::copyAllMatching(_queryForService(service, std::nullopt), &items);
  if (status != platform::errSecSuccess) {
    Fail(error, status);
    return std::nullopt;
  }
  std::vector<platform::UserInfo> out;
  for (const auto& item : items) out.push_back(Attributes(item));
  return out;
}

std::optional<std::vector<platform::UserInfo>> MCPWKeychain::allAccounts(ErrorOut error) {
  return accountsForService(std::nullopt, error);
}

MCPWKeychain::Bytes MCPWKeychain::passwordDataForService(const Text& service, const Text& account,
                                                         ErrorOut error) {
  if (!service || !account) {
    Fail(error, kMissingArgument);
    return std::nullopt;
  }
  platform::KeychainItem item;
  const platform::OSStatus status =
      platform::Keychain::copyMatching(_queryForService(service, account), &item);
  if (status != platform::errSecSuccess) {
    Fail(error, status);
    return std::nullopt;
  }
  return item.data;
}

MCPWKeychain::Text MCPWKeychain::passwordForService(const Text& service, const Text& account,
                                                    ErrorOut error) {
  Bytes data = passwordDataForService(service, account, error);
  if (!data || data->empty()) return std::nullopt;
  std::string text(data->begin(), data->end());
  // Bytes that are not UTF-8 are no text.
  if (!MCIsUtf8(text)) return std::nullopt;
  return text;
}

bool MCPWKeychain::deletePasswordForService(const Text& service, const Text& account,
                                            ErrorOut error) {
  if (!service || !account) {
    Fail(error, kMissingArgument);
    return false;
  }
  const platform::OSStatus status =
      platform::Keychain::remove(_queryForService(service, account));
  if (status != platform::errSecSuccess) {
    Fail(error, status);
    return false;
  }
  return true;
}

bool MCPWKeychain::setPasswordData(const Bytes& password, const Text& service,
                                   const Text& account, ErrorOut error) {
  if (!password || !service || !account) {
    Fail(error, kMissingArgument);
    return false;
  }
  platform::KeychainItem item;
  item.service = *service;
  item.account = *account;
  item.data = *password;
  const Text accessible = accessibilityType();
  if (accessible) item.accessible = *accessible;
  platform::OSStatus status = platform::Keychain::add(item);
  if (status == platform::errSecDuplicateItem) {
    status = platform::Keychain::update(_queryForService(service, account), *password, accessible);
  }
  if (status != platform::errSecSuccess) {
    Fail(error, status);
    return false;
  }
  return true;
}

bool MCPWKeychain::setPassword(const Text& password, const Text& service, const Text& account,
                               ErrorOut error) {
  if (!password) return setPasswordData(std::nullopt, service, account, error);
  return setPasswordData(std::vector<uint8_t>(password->begin(), password->end()), service,
                         account, error);
}

MCPWKeychain::Text MCPWKeychain::accessibilityType() {
  Accessibility& a = Accessibility::instance();
  platform::MutexLock lock(a.mutex);
  return a.value;
}

void MCPWKeychain::setAccessibilityType(const Text& accessibilityType) {
  Accessibility& a = Accessibility::instance();
  platform::MutexLock lock(a.mutex);
  a.value = accessibilityType;
}
