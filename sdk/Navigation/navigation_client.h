// The life of one engine navigation client, shared by MNavigationEngine (its
// owner) and the MGraphEngine made for it. Every call reaches the client only
// through `with`, which holds the life lock shared for the call's duration;
// `destroy` takes it exclusively, so it waits for calls in progress, and after
// it every call sees no client. Safe for concurrent use from any thread.
//
// The lock lets a waiting `destroy` in first: calls that arrive while it waits
// queue behind it, so however busily host threads call into the client, its
// destruction (and with it a stop, a reload or the tick) waits only for the
// calls already inside. `with` must therefore not be nested on one thread.
#pragma once

#include "platform/mutex.h"

// The engine's client state stays opaque above the engine.
class ClientNavigationState;

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
    Shared hold(*this);
    return f(state_);
  }

  bool alive() {
    Shared hold(*this);
    return state_ != nullptr;
  }

  // Destroys the engine client once no call is inside it. Idempotent.
  void destroy();

 private:
  struct Shared {
    explicit Shared(MNavigationClient& c) : client(c) { client.enter(); }
    ~Shared() { client.leave(); }
    MNavigationClient& client;
  };
  void enter();
  void leave();

  platform::Mutex mutex_;  // guards the two counts
  platform::CondVar changed_;
  int inside_ GUARDED_BY(mutex_) = 0;          // calls inside `with`
  int writersWaiting_ GUARDED_BY(mutex_) = 0;  // destroys waiting for them; new calls wait while any does
  ClientNavigationState* state_;  // cleared only by destroy, once no call is inside
};
