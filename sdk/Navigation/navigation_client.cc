#include "Navigation/navigation_client.h"

#include <mutex>

void MNavigationClient::destroy() {
  ClientNavigationState* doomed = nullptr;
  {
    std::unique_lock lock(life_);
    doomed = state_;
    state_ = nullptr;
  }
  // Nobody can reach the client any more; the engine waits on the client's
  // own mutex for anything it runs by itself and releases the mutex before
  // freeing, so a held mutex is never destroyed.
  DeleteNavigationClient(doomed);
}
