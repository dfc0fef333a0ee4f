#include "platform/keyed_archiver.h"

#include "platform/image.h"
#include "platform/paths.h"
#include "platform/plist_util.h"

namespace platform {
namespace {

constexpr const char* kClassKey = "$class";
constexpr const char* kArchiverKey = "$archiver";
constexpr const char* kArchiverName = "MarvistoKeyedArchiver";
constexpr const char* kRootKey = "root";
constexpr const char* kImageClass = "Image";
constexpr const char* kErrorDomain = "MarvistoKeyedArchiverErrorDomain";
constexpr int kMaxDepth = 64;

bool holdsNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// Keys become C strings in the property list: one with a NUL would be cut short.
bool usableKey(const std::string& key) {
  return !key.empty() && !holdsNul(key) && key != kClassKey;
}

// Whether a value goes in under `key`. A key cut at its NUL would store the value under
// another key, or lose it: it refuses the archive.
bool admits(const std::string& key, bool& refused) {
  if (holdsNul(key)) refused = true;
  return usableKey(key);
}

bool hasClass(plist_t node, const char* className) {
  if (!node || plist_get_node_type(node) != PLIST_DICT) return false;
  auto name = plist::string(plist_dict_get_item(node, kClassKey));
  return name && (!className || *name == className);  // null: any class
}

}  // namespace

struct KeyedUnarchiver::Doc {
  plist::Node root;
};

// ---- KeyedArchiver ----

KeyedArchiver::KeyedArchiver(const std::string& className) : node_(plist_new_dict()), refused_(holdsNul(className)) {
  plist_dict_set_item(node_, kClassKey, plist_new_string(className.c_str()));
}

KeyedArchiver::KeyedArchiver(KeyedArchiver&& other) noexcept : node_(other.node_), refused_(other.refused_) {
  other.node_ = nullptr;
}

KeyedArchiver::~KeyedArchiver() {
  if (node_) plist_free(node_);
}

void KeyedArchiver::encodeInt(int64_t value, const std::string& key) {
  if (admits(key, refused_)) plist_dict_set_item(node_, key.c_str(), plist::newInteger(value));
}

void KeyedArchiver::encodeDouble(double value, const std::string& key) {
  if (admits(key, refused_)) plist_dict_set_item(node_, key.c_str(), plist_new_real(value));
}

void KeyedArchiver::encodeFloat(float value, const std::string& key) {
  encodeDouble(double(value), key);
}

void KeyedArchiver::encodeBool(bool value, const std::string& key) {
  if (admits(key, refused_)) plist_dict_set_item(node_, key.c_str(), plist_new_bool(value));
}

void KeyedArchiver::encodeString(const std::string& value, const std::string& key) {
  if (holdsNul(value)) refused_ = true;
  if (admits(key, refused_)) plist_dict_set_item(node_, key.c_str(), plist_new_string(value.c_str()));
}

void KeyedArchiver::encodeData(const std::vector<uint8_t>& value, const std::string& key) {
  if (admits(key, refused_)) plist_dict_set_item(node_, key.c_str(), plist::newData(value));
}

void KeyedArchiver::encodeImage(const std::shared_ptr<Image>& image, const std::string& key) {
  if (!image || !admits(key, refused_)) return;
  KeyedArchiver sub(kImageClass);
  sub.encodeData(image->pngData(), "data");
  sub.encodeDouble(image->scale(), "scale");
  adopt(key, std::move(sub));
}

void KeyedArchiver::adopt(const std::string& key, KeyedArchiver&& sub) {
  refused_ = refused_ || sub.refused_;
  if (!admits(key, refused_)) return;
  plist_dict_set_item(node_, key.c_str(), sub.node_);
  sub.node_ = nullptr;
}

void KeyedArchiver::adoptArray(const std::string& key, std::vector<KeyedArchiver>&& subs) {
  for (const auto& s : subs) refused_ = refused_ || s.refused_;
  if (!admits(key, refused_)) return;
  plist_t array = plist_new_array();
  for (auto& s : subs) {
    plist_array_append_item(array, s.node_);
    s.node_ = nullptr;
  }
  plist_dict_set_item(node_, key.c_str(), array);
}

std::vector<uint8_t> KeyedArchiver::finish(KeyedArchiver&& root) {
  if (root.refused_) return {};
  plist::Node top(plist_new_dict());
  plist_dict_set_item(top.get(), kArchiverKey, plist_new_string(kArchiverName));
  plist_dict_set_item(top.get(), kRootKey, root.node_);
  root.node_ = nullptr;
  return plist::toBinary(top.get());
}

bool KeyedArchiver::writeArchive(const std::vector<uint8_t>& bytes,
                                 const std::filesystem::path& file) {
  return !bytes.empty() && writeFileAtomically(file, bytes.data(), bytes.size());
}

// ---- KeyedUnarchiver ----

void* KeyedUnarchiver::value(const std::string& key) const {
  if (!node_ || !usableKey(key)) return nullptr;
  return plist_dict_get_item(node_, key.c_str());
}

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const {
  return value(key) != nullptr;
}

int64_t KeyedUnarchiver::decodeIntForKey(const std::string& key) const {
  return plist::integer(value(key)).value_or(0);
}

double KeyedUnarchiver::decodeDoubleForKey(const std::string& key) const {
  return plist::number(value(key)).value_or(0);
}

float KeyedUnarchiver::decodeFloatForKey(const std::string& key) const {
  return float(decodeDoubleForKey(key));
}

bool KeyedUnarchiver::decodeBoolForKey(const std::string& key) const {
  return plist::integer(value(key)).value_or(0) != 0;
}

std::string KeyedUnarchiver::decodeStringForKey(const std::string& key) const {
  return plist::string(value(key)).value_or("");
}

std::vector<uint8_t> KeyedUnarchiver::decodeDataForKey(const std::string& key) const {
  return plist::data(value(key)).value_or(std::vector<uint8_t>());
}

std::shared_ptr<Image> KeyedUnarchiver::decodeImageForKey(const std::string& key) const {
  auto sub = child(key, kImageClass);
  if (!sub) return nullptr;
  double scale = sub->decodeDoubleForKey("scale");
  return Image::imageWithData(sub->decodeDataForKey("data"), scale > 0 ? scale : 1);
}

std::optional<KeyedUnarchiver> KeyedUnarchiver::child(const std::string& key,
                                                      const char* className) const {
  plist_t v = value(key);
  if (depth_ >= kMaxDepth || !hasClass(v, className)) return std::nullopt;
  return KeyedUnarchiver(doc_, v, depth_ + 1);
}

std::vector<KeyedUnarchiver> KeyedUnarchiver::children(const std::string& key,
                                                       const char* className) const {
  std::vector<KeyedUnarchiver> out;
  plist_t v = value(key);
  if (depth_ >= kMaxDepth || !v || plist_get_node_type(v) != PLIST_ARRAY) return out;
  uint32_t n = plist_array_get_size(v);
  for (uint32_t i = 0; i < n; ++i) {
    plist_t e = plist_array_get_item(v, i);
    if (hasClass(e, className)) out.emplace_back(doc_, e, depth_ + 1);
  }
  return out;
}

std::string KeyedUnarchiver::className() const {
  return node_ ? plist::string(plist_dict_get_item(node_, kClassKey)).value_or("") : "";
}

std::vector<std::string> KeyedUnarchiver::allKeys() const {
  std::vector<std::string> keys;
  if (!node_) return keys;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(node_, &it);
  for (;;) {
    plist_t item = nullptr;
    // Keys are read through their nodes: the reader already refused keys holding a NUL.
    plist_dict_next_item(node_, it, nullptr, &item);
    if (!item) break;
    char* key = nullptr;
    plist_get_key_val(plist_dict_item_get_key(item), &key);
    if (key && std::string(key) != kClassKey) keys.emplace_back(key);
    free(key);
  }
  free(it);
  return keys;
}

std::optional<KeyedUnarchiver> KeyedUnarchiver::objectForKey(const std::string& key) const {
  return child(key, nullptr);
}

std::vector<KeyedUnarchiver> KeyedUnarchiver::objectsForKey(const std::string& key) const {
  return children(key, nullptr);
}

std::optional<KeyedUnarchiver> KeyedUnarchiver::open(const std::vector<uint8_t>& data,
                                                     const char* className,
                                                     std::optional<Error>* error) {
  auto doc = std::make_shared<Doc>();
  doc->root = plist::fromBinary(data);
  plist_t top = doc->root.get();
  if (!top || plist_get_node_type(top) != PLIST_DICT ||
      plist::string(plist_dict_get_item(top, kArchiverKey)) != std::string(kArchiverName)) {
    setError(error, Error::make(kErrorDomain, 1, "The data is not a keyed archive."));
    return std::nullopt;
  }
  plist_t root = plist_dict_get_item(top, kRootKey);
  if (!hasClass(root, className)) {
    setError(error, Error::make(kErrorDomain, 2,
                                std::string("The archive holds no object of class ") + className + "."));
    return std::nullopt;
  }
  return KeyedUnarchiver(doc, root, 1);
}

std::vector<uint8_t> KeyedUnarchiver::readArchive(const std::filesystem::path& file) {
  return plist::readFile(file.string());
}

}  // namespace platform
