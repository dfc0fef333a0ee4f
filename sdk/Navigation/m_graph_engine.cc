#include "Navigation/m_graph_engine.h"

#include <utility>

#include "Navigation/utf8_text.h"
#include "platform/mutex.h"
#include "wifipos/navigation_processing/navigation_processing.h"

std::shared_ptr<MGraphEngine> MGraphEngine::initWithClient(
    std::shared_ptr<MNavigationClient> client) {
  auto engine = std::make_shared<MGraphEngine>();
  engine->setClient(std::move(client));
  return engine;
}

std::shared_ptr<MNavigationClient> MGraphEngine::client() {
  platform::MutexLock lock(mutex_);
  return client_;
}

void MGraphEngine::setClient(std::shared_ptr<MNavigationClient> client) {
  platform::MutexLock lock(mutex_);
  client_ = std::move(client);
}

template <class R, class F>
R MGraphEngine::call(R none, F&& f) {
  std::shared_ptr<MNavigationClient> c = client();
  if (!c) return none;
  return c->with([&](ClientNavigationState* state) -> R {
    if (state == nullptr) return none;
    return f(state);
  });
}

std::string MGraphEngine::graphDescription(const std::string& tag) {
  return call(std::string(),
              [&](ClientNavigationState* s) { return MCUtf8Text(GetGraphDescription(tag, s)); });
}

std::vector<std::string> MGraphEngine::graphTags() {
  return call(std::vector<std::string>(), [](ClientNavigationState* s) {
    std::vector<std::string> tags = GetGraphTags(s);
    for (std::string& t : tags) t = MCUtf8Text(t);
    return tags;
  });
}

void MGraphEngine::addTatgetToSublocation(int32_t sublocation, double x, double y) {
  call(0, [&](ClientNavigationState* s) {
    AddTarget(LocationPoint(sublocation, x, y), s);
    return 0;
  });
}

void MGraphEngine::cancelTargets() {
  call(0, [](ClientNavigationState* s) {
    CancelTargets(s);
    return 0;
  });
}

RoutePath MGraphEngine::makeRouteFrom(int32_t from, double xStart, double yStart, int32_t to,
                                      double xFinish, double yFinish) {
  return call(RoutePath(), [&](ClientNavigationState* s) {
    return MakeRoute(LocationPoint(from, xStart, yStart), LocationPoint(to, xFinish, yFinish), s);
  });
}

bool MGraphEngine::setGraphParameter(const std::map<std::string, std::string>& parameter) {
  if (parameter.empty()) return false;
  // Name and value come from the same entry.
  const std::string& name = parameter.begin()->first;
  const std::string& value = parameter.begin()->second;
  return call(false, [&](ClientNavigationState* s) { return SetGraphParam(name, value, s); });
}

void MGraphEngine::setCurrentTag(const std::string& tag) {
  call(0, [&](ClientNavigationState* s) {
    SetGraphTag(s, tag);
    return 0;
  });
}

std::string MGraphEngine::getCurrentTag() {
  return call(std::string(), [](ClientNavigationState* s) { return MCUtf8Text(GetGraphTag(s)); });
}
