#include "platform/keychain.h"

#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/paths.h"
#include "platform/plist_util.h"
#include "platform/text_encoding.h"

namespace platform {
namespace {

Mutex& keychainMutex() {
  static Mutex* m = new Mutex;
  return *m;
}

std::filesystem::path keychainFile() { return Paths::library() / "keychain.plist"; }

std::string text(plist_t dict, const char* key) {
  return plist::string(plist_dict_get_item(dict, key)).value_or("");
}

// Reads every item; errSecDecode when the file exists but is not a keychain of ours (it is
// then left alone, never overwritten).
OSStatus load(std::vector<KeychainItem>* items) {
  bool missing = false;
  auto bytes = plist::readFile(keychainFile().string(), &missing);
  items->clear();
  if (missing) return errSecSuccess;
  auto root = plist::fromBinary(bytes);
  if (!root || plist_get_node_type(root.get()) != PLIST_ARRAY) return errSecDecode;
  uint32_t n = plist_array_get_size(root.get());
  for (uint32_t i = 0; i < n; ++i) {
    plist_t d = plist_array_get_item(root.get(), i);
    if (!d || plist_get_node_type(d) != PLIST_DICT) return errSecDecode;
    KeychainItem it;
    it.service = text(d, "svce");
    it.account = text(d, "acct");
    it.data = plist::data(plist_dict_get_item(d, "v_Data")).value_or(std::vector<uint8_t>());
    it.accessible = text(d, "pdmn");
    it.label = text(d, "labl");
    it.itemDescription = text(d, "desc");
    it.createdAt = plist::number(plist_dict_get_item(d, "cdat")).value_or(0);
    it.modifiedAt = plist::number(plist_dict_get_item(d, "mdat")).value_or(0);
    items->push_back(std::move(it));
  }
  return errSecSuccess;
}

OSStatus save(const std::vector<KeychainItem>& items) {
  plist::Node root(plist_new_array());
  for (const auto& it : items) {
    plist_t d = plist_new_dict();
    plist_dict_set_item(d, "svce", plist_new_string(it.service.c_str()));
    plist_dict_set_item(d, "acct", plist_new_string(it.account.c_str()));
    plist_dict_set_item(d, "v_Data", plist::newData(it.data));
    if (!it.accessible.empty()) plist_dict_set_item(d, "pdmn", plist_new_string(it.accessible.c_str()));
    if (!it.label.empty()) plist_dict_set_item(d, "labl", plist_new_string(it.label.c_str()));
    if (!it.itemDescription.empty())
      plist_dict_set_item(d, "desc", plist_new_string(it.itemDescription.c_str()));
    plist_dict_set_item(d, "cdat", plist_new_real(it.createdAt));
    plist_dict_set_item(d, "mdat", plist_new_real(it.modifiedAt));
    plist_array_append_item(root.get(), d);
  }
  auto bytes = plist::toBinary(root.get());
  if (bytes.empty()) return errSecAllocate;
  return writeFileAtomically(keychainFile(), bytes.data(), bytes.size(), 0600) ? errSecSuccess
                                                                                 : errSecIO;
}

bool matches(const KeychainQuery& q, const KeychainItem& it) {
  return (!q.service || *q.service == it.service) && (!q.account || *q.account == it.account);
}

// Texts go into the store as C strings: an embedded NUL would silently cut them; and the
// store is a binary property list, which cannot hold text that is not UTF-8.
bool storable(const std::string& s) { return s.find('\0') == std::string::npos && isUTF8(s); }

}  // namespace

OSStatus Keychain::add(const KeychainItem& item) {
  if (!storable(item.service) || !storable(item.account) || !storable(item.accessible) ||
      !storable(item.label) || !storable(item.itemDescription))
    return errSecParam;
  MutexLock lk(keychainMutex());
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != errSecSuccess) return s;
  for (const auto& it : items)
    if (it.service == item.service && it.account == item.account) return errSecDuplicateItem;
  KeychainItem added = item;
  added.createdAt = added.modifiedAt = Clock::nowSeconds();
  items.push_back(std::move(added));
  return save(items);
}

OSStatus Keychain::copyMatching(const KeychainQuery& query, KeychainItem* out) {
  MutexLock lk(keychainMutex());
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != errSecSuccess) return s;
  for (auto& it : items)
    if (matches(query, it)) {
      if (out) *out = std::move(it);
      return errSecSuccess;
    }
  return errSecItemNotFound;
}

OSStatus Keychain::copyAllMatching(const KeychainQuery& query, std::vector<KeychainItem>* out) {
  MutexLock lk(keychainMutex());
  std::vector<KeychainItem> items, found;
  if (OSStatus s = load(&items); s != errSecSuccess) return s;
  for (auto& it : items)
    if (matches(query, it)) found.push_back(std::move(it));
  if (found.empty()) return errSecItemNotFound;
  if (out) *out = std::move(found);
  return errSecSuccess;
}

OSStatus Keychain::update(const KeychainQuery& query, const std::vector<uint8_t>& data,
                          const std::optional<std::string>& accessible) {
  if (accessible && !storable(*accessible)) return errSecParam;
  MutexLock lk(keychainMutex());
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != errSecSuccess) return s;
  bool any = false;
  for (auto& it : items)
    if (matches(query, it)) {
      it.data = data;
      if (accessible) it.accessible = *accessible;
      it.modifiedAt = Clock::nowSeconds();
      any = true;
    }
  return any ? save(items) : errSecItemNotFound;
}

OSStatus Keychain::remove(const KeychainQuery& query) {
  MutexLock lk(keychainMutex());
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != errSecSuccess) return s;
  size_t before = items.size();
  std::erase_if(items, [&](const KeychainItem& it) { return matches(query, it); });
  return items.size() == before ? errSecItemNotFound : save(items);
}

}  // namespace platform
