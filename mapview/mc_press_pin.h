// The pin a long press drops, and its callout: a rounded bar holding one button ("Make
// route", or "Remove pin" in remove mode) with a small arrow (`pipka`) under it pointing at
// the pin. The callout is not the pin's subview: the map screen places both in its content
// view and wires their actions. Main thread only.
#pragma once

#include <memory>

#include "platform/ui_view.h"

class MCPressPin : public platform::ui::Button {
 public:
  // The frame given is replaced by one of the pin artwork's size at the origin.
  explicit MCPressPin(platform::ui::Rect frame);  // initWithFrame

  // Remove mode, for good: red callout, red arrow, "Remove pin".
  void swithPinMode();
  void resizePressPinWithZoom(double) {}
  void savePressPinSize() {}
  bool isRemoveMode() const { return removeMode_; }

  std::shared_ptr<platform::ui::View> unnotationView;
  std::shared_ptr<platform::ui::Button> btn;
  platform::ui::Point routePoint;
  double originalBottom = 0;   // content points, recorded when dropped
  double originalCenterX = 0;  // content points, recorded when dropped
  double sublocationId = 0;    // the floor it was dropped on

 private:
  std::shared_ptr<platform::ui::ImageView> pipka_;
  bool removeMode_ = false;
};
