#include "platform/user_defaults.h"

#include <fstream>
#include <sstream>

#include "platform/app.h"
#include "platform/json.h"
#include "platform/mutex.h"
#include "platform/paths.h"

namespace platform {

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
  static Mutex* mutex = new Mutex;
  static std::shared_ptr<UserDefaults>* shared = new std::shared_ptr<UserDefaults>;
  auto file = Paths::preferences() / (Bundle::bundleIdentifier() + ".json");
  MutexLock lk(*mutex);
  if (!*shared || (*shared)->file() != file) *shared = std::make_shared<UserDefaults>(file);
  return *shared;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
  std::ifstream in(file_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  auto v = json::parse(text.str());
  values_ = v && v->is_object() ? std::move(*v) : nlohmann::json::object();
}

nlohmann::json UserDefaults::objectForKey(const std::string& key) const {
  MutexLock lk(mutex_);
  auto it = values_.find(key);
  return it == values_.end() ? nlohmann::json() : *it;
}

void UserDefaults::setObject(const nlohmann::json& value, const std::string& key) {
  MutexLock lk(mutex_);
  if (value.is_null()) values_.erase(key);
  else values_[key] = value;
}

void UserDefaults::removeObjectForKey(const std::string& key) {
  MutexLock lk(mutex_);
  values_.erase(key);
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
  MutexLock lk(mutex_);
  return json::integer(values_, key);
}

double UserDefaults::doubleForKey(const std::string& key) const {
  MutexLock lk(mutex_);
  return json::number(values_, key);
}

bool UserDefaults::boolForKey(const std::string& key) const {
  MutexLock lk(mutex_);
  return json::boolean(values_, key);
}

std::string UserDefaults::stringForKey(const std::string& key) const {
  MutexLock lk(mutex_);
  return json::string(values_, key);
}

bool UserDefaults::synchronize() {
  MutexLock write(writeMutex_);
  std::string text;
  {
    MutexLock lk(mutex_);
    // Invalid UTF-8 in a stored text is replaced rather than failing the whole store.
    text = values_.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  std::error_code ec;
  std::filesystem::create_directories(file_.parent_path(), ec);
  return writeFileAtomically(file_, text.data(), text.size(), 0600);
}

}  // namespace platform
