// The life of one engine navigation client, shared by MNavigationEngine (its
// owner) and the MGraphEngine made for it. Every call reaches the client only
// through `with`, which holds the life lock shared for the call's duration;
// `destroy` takes it exclusively, so it waits for calls in progress, and after
// it every call sees no client. Safe for concurrent use from any thread.
#pragma once

#include <shared_mutex>

#include "wifipos/navigation_processing/navigation_processing.h"

class MNavigationClient {
 public:
  // Takes ownership of the engine client (may be null).
  explicit MNavigationClient(ClientNavigationState* state) : state_(state) {}
  ~MNavigationClient() { destroy(); }
  MNavigationClient(const MNavigationClient&) = delete;
  MNavigationClient& operator=(const MNavigationClient&) = delete;

  // Calls f with the client, or with null once it is destroyed.
  template <class F>
  decltype(auto) with(F&& f) {
    std::shared_lock lock(life_);
    return f(state_);
  }

  bool alive() {
    std::shared_lock lock(life_);
    return state_ != nullptr;
  }

  // Destroys the engine client once no call is inside it. Idempotent.
  void destroy();

 private:
  std::shared_mutex life_;
  ClientNavigationState* state_;
};
