// Route-graph and target operations over one navigation client, without
// owning it. Called from the host's thread; safe for concurrent use with the
// navigation tick and with the client's destruction: once the client is gone
// every operation does nothing and gives an empty result.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Navigation/navigation_client.h"
#include "platform/mutex.h"
#include "server/route_path.h"

class MGraphEngine {
 public:
  MGraphEngine() = default;
  static std::shared_ptr<MGraphEngine> initWithClient(std::shared_ptr<MNavigationClient> client);

  std::string graphDescription(const std::string& tag);
  std::vector<std::string> graphTags();
  void addTatgetToSublocation(int32_t sublocation, double x, double y);
  void cancelTargets();
  RoutePath makeRouteFrom(int32_t from, double xStart, double yStart, int32_t to, double xFinish,
                          double yFinish);
  // The dictionary's first entry gives the parameter name and its value.
  // False for an empty dictionary or when the graph refuses.
  bool setGraphParameter(const std::map<std::string, std::string>& parameter);
  void setCurrentTag(const std::string& tag);
  std::string getCurrentTag();

  std::shared_ptr<MNavigationClient> client();
  void setClient(std::shared_ptr<MNavigationClient> client);

 private:
  template <class R, class F>
  R call(R none, F&& f);

  platform::Mutex mutex_;  // guards client_ only
  std::shared_ptr<MNavigationClient> client_ GUARDED_BY(mutex_);
};
