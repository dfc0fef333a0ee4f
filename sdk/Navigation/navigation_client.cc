#include "Navigation/navigation_client.h"

#include "wifipos/navigation_processing/navigation_processing.h"

void MNavigationClient::enter() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return writersWaiting_ == 0; });
  ++inside_;
}

void MNavigationClient::leave() {
  std::lock_guard lock(mutex_);
  if (--inside_ == 0) changed_.notify_all();
}

void MNavigationClient::destroy() {
  ClientNavigationState* doomed = nullptr;
  {
    std::unique_lock lock(mutex_);
    ++writersWaiting_;
    changed_.wait(lock, [&] { return inside_ == 0; });
    --writersWaiting_;
    doomed = state_;
    state_ = nullptr;
  }
  changed_.notify_all();
  // Nobody can reach the client any more; the engine waits on the client's
  // own mutex for anything it runs by itself and releases the mutex before
  // freeing, so a held mutex is never destroyed.
  DeleteNavigationClient(doomed);
}
