#include "platform/ui_gesture.h"

#include <vector>

namespace platform::ui {

void GestureRecognizer::setTarget(std::weak_ptr<const void> target, Action action) {
  target_ = std::move(target);
  action_ = std::move(action);
}

Point GestureRecognizer::locationInView(const View* view) const {
  if (!root_) return {};
  return view ? root_->convertPoint(rootPoint_, view) : rootPoint_;
}

void GestureRecognizer::fire(GestureState state) {
  state_ = state;
  if (const auto alive = target_.lock(); alive && action_) action_(*this);
}

void touch(View& root, Point point, double seconds) {
  View* hit = root.hitTest(point);
  if (!hit) return;
  // The action may change the tree: hold the chain while it runs.
  std::vector<std::shared_ptr<View>> chain;
  for (View* v = hit; v; v = v->superview()) chain.push_back(v->shared_from_this());

  auto run = [&](GestureRecognizer& r, std::initializer_list<GestureState> states) {
    r.root_ = &root;
    r.rootPoint_ = point;
    for (GestureState s : states) r.fire(s);
    r.state_ = GestureState::Possible;
    r.root_ = nullptr;  // the touch is over; the tree may go
  };
  for (const auto& v : chain) {
    for (const auto& r : std::vector(v->gestureRecognizers())) {
      auto* press = dynamic_cast<LongPressGestureRecognizer*>(r.get());
      if (press && seconds >= press->minimumPressDuration()) {
        run(*press, {GestureState::Began, GestureState::Ended});
        return;
      }
    }
  }
  for (const auto& v : chain) {
    if (auto* button = dynamic_cast<Button*>(v.get())) {
      button->sendActions();
      return;
    }
  }
  for (const auto& v : chain) {
    for (const auto& r : std::vector(v->gestureRecognizers())) {
      if (auto* tap = dynamic_cast<TapGestureRecognizer*>(r.get())) {
        run(*tap, {GestureState::Ended});
        return;
      }
    }
  }
}

}  // namespace platform::ui
