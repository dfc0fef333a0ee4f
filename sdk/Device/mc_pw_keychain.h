// A small store of generic-password items keyed by service and account, over
// the platform keychain. Class operations only. Errors are in
// kMCPWKeychainErrorDomain with the keychain status as code, or -1001 when a
// required argument is missing. Safe from any thread; the accessibility value
// is process-wide and meant to be set once before use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/keychain.h"

extern const char* const kMCPWKeychainErrorDomain;
extern const char* const kMCPWKeychainAccountKey;
extern const char* const kMCPWKeychainCreatedAtKey;
extern const char* const kMCPWKeychainClassKey;
extern const char* const kMCPWKeychainDescriptionKey;
extern const char* const kMCPWKeychainLabelKey;
extern const char* const kMCPWKeychainLastModifiedKey;
extern const char* const kMCPWKeychainWhereKey;

class MCPWKeychain {
 public:
  using Text = std::optional<std::string>;
  using Bytes = std::optional<std::vector<uint8_t>>;
  using ErrorOut = std::optional<platform::Error>*;

  // Attribute dictionaries (keys above) of every item of the service, or of
  // every service when none is given; none on failure.
  static std::optional<std::vector<platform::UserInfo>> accountsForService(const Text& service,
                                                                          ErrorOut error = nullptr);
  static std::optional<std::vector<platform::UserInfo>> allAccounts(ErrorOut error = nullptr);
  static Bytes passwordDataForService(const Text& service, const Text& account,
                                      ErrorOut error = nullptr);
  // None also when the stored bytes are empty or not UTF-8.
  static Text passwordForService(const Text& service, const Text& account,
                                 ErrorOut error = nullptr);
  static bool deletePasswordForService(const Text& service, const Text& account,
                                       ErrorOut error = nullptr);
  // Adds the item, or updates it in place when it exists, so a failed write
  // never loses what was stored.
  static bool setPasswordData(const Bytes& password, const Text& service, const Text& account,
                              ErrorOut error = nullptr);
  static bool setPassword(const Text& password, const Text& service, const Text& account,
                          ErrorOut error = nullptr);
  static Text accessibilityType();
  static void setAccessibilityType(const Text& accessibilityType);
  static platform::KeychainQuery _queryForService(const Text& service, const Text& account);
};
