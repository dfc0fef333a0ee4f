#include "platform/notification_center.h"

#include <algorithm>

#include "platform/mutex.h"

namespace platform {

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
  // Never destroyed: queued deliveries may still reach it while the process exits.
  static auto* center = new std::shared_ptr<NotificationCenter>(std::make_shared<NotificationCenter>());
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserverForName(const std::string& name,
                                                                 const void* object,
                                                                 QueuePtr queue, Observer block) {
  MutexLock lk(mutex_);
  Token t = next_++;
  entries_.push_back({t, name, object, std::move(queue),
                      std::make_shared<Observer>(std::move(block))});
  return t;
}

void NotificationCenter::removeObserver(Token token) {
  std::shared_ptr<Observer> released;  // dropped outside the lock
  MutexLock lk(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.token == token; });
  if (it == entries_.end()) return;
  released = std::move(it->block);
  entries_.erase(it);
}

std::vector<NotificationCenter::Entry> NotificationCenter::observersOf(const std::string& name, const void* object) {
  std::vector<Entry> matching;
  MutexLock lk(mutex_);
  for (const auto& e : entries_)
    if ((e.name.empty() || e.name == name) && (!e.object || e.object == object)) matching.push_back(e);
  return matching;
}

void NotificationCenter::deliver(std::vector<Entry>& observers, const Notification& n) {
  auto self = weak_from_this();
  for (auto& e : observers) {
    if (!e.queue) {
      if (stillObserving(e.token)) (*e.block)(n);
      continue;
    }
    e.queue->async([self, token = e.token, block = e.block, n] {
      auto center = self.lock();
      if (center && center->stillObserving(token)) (*block)(n);
    });
  }
}

void NotificationCenter::postNotification(const Notification& n) {
  auto matching = observersOf(n.name, n.object.get());
  deliver(matching, n);
}

void NotificationCenter::postNotificationName(const std::string& name,
                                              std::shared_ptr<const void> object,
                                              UserInfo userInfo) {
  auto matching = observersOf(name, object.get());
  if (matching.empty()) return;  // nobody observes it: the notification need not be built
  deliver(matching, {name, std::move(object), std::move(userInfo)});
}

bool NotificationCenter::stillObserving(Token token) {
  MutexLock lk(mutex_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const Entry& e) { return e.token == token; });
}

}  // namespace platform
