// Generic-password items keyed by (service, account), with the status codes a phone's
// keychain returns. Items live in "<home>/Library/keychain.plist" (mode 0600, rewritten
// atomically on every change). Safe for concurrent use (one process-wide lock).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using OSStatus = int32_t;

constexpr OSStatus errSecSuccess = 0;
constexpr OSStatus errSecUnimplemented = -4;
constexpr OSStatus errSecIO = -36;
constexpr OSStatus errSecParam = -50;
constexpr OSStatus errSecAllocate = -108;
constexpr OSStatus errSecNotAvailable = -25291;
constexpr OSStatus errSecDuplicateItem = -25299;
constexpr OSStatus errSecItemNotFound = -25300;
constexpr OSStatus errSecInteractionNotAllowed = -25308;
constexpr OSStatus errSecDecode = -26275;

struct KeychainItem {
  std::string service;     // "svce"
  std::string account;     // "acct"
  std::vector<uint8_t> data;
  std::string accessible;  // the accessibility value; empty: none
  std::string label;       // "labl"
  std::string itemDescription;  // "desc"
  double createdAt = 0;    // "cdat", seconds since 1970
  double modifiedAt = 0;   // "mdat"
};

// A query: absent fields match any item.
struct KeychainQuery {
  std::optional<std::string> service;
  std::optional<std::string> account;
};

class Keychain {
 public:
  // Adds `item` (service and account must both be set): errSecDuplicateItem when one with
  // that service and account exists. Sets the created and modified dates.
  static OSStatus add(const KeychainItem& item);
  // The first matching item (errSecItemNotFound when none).
  static OSStatus copyMatching(const KeychainQuery& query, KeychainItem* out);
  // Every matching item, in insertion order (errSecItemNotFound when none).
  static OSStatus copyAllMatching(const KeychainQuery& query, std::vector<KeychainItem>* out);
  // Replaces data (and the accessibility value when given) of every matching item.
  static OSStatus update(const KeychainQuery& query, const std::vector<uint8_t>& data,
                         const std::optional<std::string>& accessible = std::nullopt);
  // Deletes every matching item (errSecItemNotFound when none).
  static OSStatus remove(const KeychainQuery& query);
};

}  // namespace platform
