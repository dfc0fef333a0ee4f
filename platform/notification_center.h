// Named notifications with an object and a user-info map. Safe from any thread. `post`
// delivers synchronously, on the poster's thread, to every matching observer in the order
// they were added; an observer added with a queue instead gets the notification as an async
// block on that queue. A removed observer is not called afterwards, not even for a delivery
// already queued.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/mutex.h"

namespace platform {

struct Notification {
  std::string name;
  std::shared_ptr<const void> object;  // null: none
  UserInfo userInfo;
};

class NotificationCenter : public std::enable_shared_from_this<NotificationCenter> {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = uint64_t;

  static std::shared_ptr<NotificationCenter> defaultCenter();
  NotificationCenter() = default;  // own instances must be held by shared_ptr

  // Observes notifications called `name` (empty: every name) whose object is `object`
  // (null: any object). `queue` null = delivered on the poster's thread.
  Token addObserverForName(const std::string& name, const void* object, QueuePtr queue,
                           Observer block);
  void removeObserver(Token token);

  void postNotification(const Notification& notification);
  void postNotificationName(const std::string& name, std::shared_ptr<const void> object = {},
                            UserInfo userInfo = {});

 private:
  bool stillObserving(Token token);
  struct Entry {
    Token token;
    std::string name;
    const void* object;
    QueuePtr queue;
    std::shared_ptr<Observer> block;
  };
  std::vector<Entry> observersOf(const std::string& name, const void* object);
  void deliver(std::vector<Entry>& observers, const Notification& n);
  Mutex mutex_;
  Token next_ GUARDED_BY(mutex_) = 1;
  std::vector<Entry> entries_ GUARDED_BY(mutex_);
};

}  // namespace platform
