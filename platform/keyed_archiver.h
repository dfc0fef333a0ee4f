// Keyed archiving of object graphs to binary property lists (libplist). Each object is a
// dictionary holding its class name under "$class" and its fields under their keys.
//
// A model class T takes part with:
//   static const char* className();
//   void encodeWithCoder(platform::KeyedArchiver& coder) const;
//   static std::shared_ptr<T> initWithCoder(const platform::KeyedUnarchiver& coder);
//
// Decoding never throws and never trusts the data: a missing key or a value of another type
// reads as zero, false, "" , empty or none; an object whose "$class" is not T's reads as
// none; nesting deeper than 64 objects reads as none. An archiver or unarchiver belongs to
// one thread at a time; distinct ones may be used concurrently.
//
// A key, class name or text holding a NUL character or not valid UTF-8 cannot be written
// whole: an archive given one is refused as a whole (archivedDataWithRootObject gives no
// bytes, archiveRootObject false and the file already there stays) rather than stored cut
// short or with the text lost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

class Image;

class KeyedArchiver {
 public:
  explicit KeyedArchiver(const std::string& className);
  KeyedArchiver(KeyedArchiver&& other) noexcept;
  KeyedArchiver& operator=(KeyedArchiver&&) = delete;
  KeyedArchiver(const KeyedArchiver&) = delete;
  ~KeyedArchiver();

  void encodeInt(int64_t value, const std::string& key);
  void encodeDouble(double value, const std::string& key);
  void encodeFloat(float value, const std::string& key);
  void encodeBool(bool value, const std::string& key);
  void encodeString(const std::string& value, const std::string& key);
  void encodeData(const std::vector<uint8_t>& value, const std::string& key);
  void encodeImage(const std::shared_ptr<Image>& image, const std::string& key);  // PNG
  template <class T>
  void encodeObject(const std::shared_ptr<T>& object, const std::string& key) {
    if (!object) return;
    KeyedArchiver sub(T::className());
    object->encodeWithCoder(sub);
    adopt(key, std::move(sub));
  }
  template <class T>
  void encodeArray(const std::vector<std::shared_ptr<T>>& list, const std::string& key) {
    std::vector<KeyedArchiver> subs;
    subs.reserve(list.size());
    for (const auto& o : list) {
      subs.emplace_back(T::className());
      if (o) o->encodeWithCoder(subs.back());
    }
    adoptArray(key, std::move(subs));
  }

  // The binary property list of `root`; empty when the archive was refused.
  template <class T>
  static std::vector<uint8_t> archivedDataWithRootObject(const std::shared_ptr<T>& root) {
    KeyedArchiver sub(T::className());
    if (root) root->encodeWithCoder(sub);
    return finish(std::move(sub));
  }
  template <class T>
  static bool archiveRootObject(const std::shared_ptr<T>& root, const std::filesystem::path& file) {
    return writeArchive(archivedDataWithRootObject(root), file);
  }

  // Objects whose class is known only at run time: each sub-archiver carries its class name.
  void adopt(const std::string& key, KeyedArchiver&& sub);
  void adoptArray(const std::string& key, std::vector<KeyedArchiver>&& subs);

 private:
  friend class KeyedUnarchiver;
  static std::vector<uint8_t> finish(KeyedArchiver&& root);
  static bool writeArchive(const std::vector<uint8_t>& bytes, const std::filesystem::path& file);
  void* node_;  // plist dictionary, owned
  bool refused_ = false;  // something given could not be written whole
};

class KeyedUnarchiver {
 public:
  bool containsValueForKey(const std::string& key) const;
  int64_t decodeIntForKey(const std::string& key) const;
  double decodeDoubleForKey(const std::string& key) const;
  float decodeFloatForKey(const std::string& key) const;
  bool decodeBoolForKey(const std::string& key) const;
  std::string decodeStringForKey(const std::string& key) const;
  std::vector<uint8_t> decodeDataForKey(const std::string& key) const;
  std::shared_ptr<Image> decodeImageForKey(const std::string& key) const;
  template <class T>
  std::shared_ptr<T> decodeObjectForKey(const std::string& key) const {
    auto sub = child(key, T::className());
    return sub ? T::initWithCoder(*sub) : nullptr;
  }
  // The decodable elements of the array under `key`, in order (others are skipped).
  template <class T>
  std::vector<std::shared_ptr<T>> decodeArrayForKey(const std::string& key) const {
    std::vector<std::shared_ptr<T>> out;
    for (const auto& sub : children(key, T::className()))
      if (auto o = T::initWithCoder(sub)) out.push_back(std::move(o));
    return out;
  }

  // The root object of an archive; none (and an error in
  // "MarvistoKeyedArchiverErrorDomain", code 1 unreadable, 2 not an archive of T) otherwise.
  template <class T>
  static std::shared_ptr<T> unarchiveObjectWithData(const std::vector<uint8_t>& data,
                                                    std::optional<Error>* error = nullptr) {
    auto root = open(data, T::className(), error);
    return root ? T::initWithCoder(*root) : nullptr;
  }
  template <class T>
  static std::shared_ptr<T> unarchiveObjectWithFile(const std::filesystem::path& file,
                                                    std::optional<Error>* error = nullptr) {
    return unarchiveObjectWithData<T>(readArchive(file), error);
  }

  // For objects whose class is known only at run time: this object's class name, its keys
  // in archive order, the object under `key` and the objects of the array under `key`,
  // whatever their classes (nesting limits as above).
  std::string className() const;
  std::vector<std::string> allKeys() const;
  std::optional<KeyedUnarchiver> objectForKey(const std::string& key) const;
  std::vector<KeyedUnarchiver> objectsForKey(const std::string& key) const;

  struct Doc;
  KeyedUnarchiver(std::shared_ptr<Doc> doc, void* node, int depth)
      : doc_(std::move(doc)), node_(node), depth_(depth) {}

 private:
  std::optional<KeyedUnarchiver> child(const std::string& key, const char* className) const;
  std::vector<KeyedUnarchiver> children(const std::string& key, const char* className) const;
  static std::optional<KeyedUnarchiver> open(const std::vector<uint8_t>& data,
                                             const char* className, std::optional<Error>* error);
  static std::vector<uint8_t> readArchive(const std::filesystem::path& file);
  void* value(const std::string& key) const;
  std::shared_ptr<Doc> doc_;
  void* node_;  // borrowed from doc_
  int depth_;
};

}  // namespace platform
