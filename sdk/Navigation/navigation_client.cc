#include "Navigation/navigation_client.h"

#include "wifipos/navigation_processing/navigation_processing.h"

void MNavigationClient::enter() {
  platform::UniqueLock lock(mutex_);
  while (writersWaiting_ != 0) changed_.wait(lock);
  ++inside_;
}

void MNavigationClient::leave() {
  platform::MutexLock lock(mutex_);
  if (--inside_ == 0) changed_.notify_all();
}

void MNavigationClient::destroy() {
  ClientNavigationState* doomed = nullptr;
  {
    platform::UniqueLock lock(mutex_);
    ++writersWaiting_;
    while (inside_ != 0) changed_.wait(lock);
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
