// Tap and long-press recognisers and the synthetic touches that drive them.
//
// `touch(root, point, seconds)` is one finger put down at `point` (the root's bounds
// coordinates), held still for `seconds` and lifted. It is decided at once, in this order:
// a long-press recogniser on the touched view or an ancestor that the hold reaches
// (seconds >= its minimum press duration) acts with state began, then ended, and the touch
// goes nowhere else; otherwise a button under the finger (or an ancestor of the touched
// view) takes it as touch up inside; otherwise the deepest tap recogniser on the chain acts
// with state ended. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui_view.h"

namespace platform::ui {

enum class GestureState { Possible = 0, Began = 1, Changed = 2, Ended = 3, Cancelled = 4, Failed = 5 };

class GestureRecognizer {
 public:
  using Action = std::function<void(GestureRecognizer& sender)>;
  virtual ~GestureRecognizer() = default;

  // The action runs while its target lives.
  void setTarget(std::weak_ptr<const void> target, Action action);
  GestureState state() const { return state_; }
  View* view() const { return view_; }
  // Where the touch is, in `view`'s bounds coordinates; only while the action runs.
  Point locationInView(const View* view) const;
  bool delaysTouchesBegan() const { return delaysTouchesBegan_; }
  void setDelaysTouchesBegan(bool delays) { delaysTouchesBegan_ = delays; }

 protected:
  GestureRecognizer() = default;

 private:
  friend class View;
  friend void touch(View& root, Point point, double seconds);
  void fire(GestureState state);

  std::weak_ptr<const void> target_;
  Action action_;
  GestureState state_ = GestureState::Possible;
  View* view_ = nullptr;
  const View* root_ = nullptr;
  Point rootPoint_;
  bool delaysTouchesBegan_ = true;
};

class TapGestureRecognizer : public GestureRecognizer {};

class LongPressGestureRecognizer : public GestureRecognizer {
 public:
  double minimumPressDuration() const { return minimumPressDuration_; }
  void setMinimumPressDuration(double seconds) { minimumPressDuration_ = seconds; }

 private:
  double minimumPressDuration_ = 0.5;
};

void touch(View& root, Point point, double seconds = 0.1);

}  // namespace platform::ui
