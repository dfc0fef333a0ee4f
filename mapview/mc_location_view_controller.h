// The ready-made map screen: one location floor by floor, the floor image in a zooming
// scroll view (1.0 to 5.0) with venue markers, floor up and down buttons with the floor
// index between them, zoom buttons, the live position marker with its accuracy circle, a
// pin dropped by a long press whose callout makes it a route target, and the first route of
// the navigation result drawn as a line. The view is a tree of platform views (320 x 568
// points) that a host presents or renders to PNG (`writePng`).
//
// Threads: the main thread only; actions, touches and the 0.1 s refresh run there. The
// refresh reads the navigation manager's published snapshot of the device information, so
// it never sees a half-filled one. The refresh timer holds the screen weakly and stops
// when the screen goes away.
//
// A location without floors, or a floor without an image or without an extent, shows an
// empty content view: no marker, no line, no pin.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MCModels/mc_device_info.h"
#include "MCModels/mc_location.h"
#include "mapview/mc_position_on_map.h"
#include "mapview/mc_press_pin.h"
#include "platform/run_loop.h"
#include "platform/ui_gesture.h"
#include "platform/ui_view.h"

class MCNavigationManager;

// What the screen uses of the navigation manager; by default the process-wide one.
struct MCScreenNavigation {
  std::function<std::shared_ptr<const MCDeviceInfo>()> deviceInfo;
  std::function<void(const MCLocationPoint&)> addTatget;
  std::function<void()> cancelTargets;

  static MCScreenNavigation sharedNavigationManager();
  static MCScreenNavigation forManager(std::shared_ptr<MCNavigationManager> manager);
};

class MCLocationViewController : public std::enable_shared_from_this<MCLocationViewController> {
 public:
  static constexpr double kScreenWidth = 320, kScreenHeight = 568;

  static std::shared_ptr<MCLocationViewController> create(
      MCScreenNavigation navigation = MCScreenNavigation::sharedNavigationManager());
  ~MCLocationViewController();  // stops the refresh timer

  std::shared_ptr<MCLocation> location() const { return location_; }
  void setLocation(std::shared_ptr<MCLocation> location) { location_ = std::move(location); }

  // The controller's view, loaded (viewDidLoad) on first use.
  std::shared_ptr<platform::ui::View> view();
  bool isViewLoaded() const { return view_ != nullptr; }
  // The viewport as a user sees it now (loads the view if needed); null when it has no
  // area. `writePng` writes it to a PNG file. Frames for an animation: platform/animated_png.h.
  std::shared_ptr<platform::Image> snapshot(double scale = 1);
  bool writePng(const std::filesystem::path& file, std::string* error, double scale = 1);

  void viewDidLoad();
  std::shared_ptr<platform::ui::View> viewForZoomingInScrollView() const { return contentView_; }
  void btnUpFloorPressed();
  void btnDownFloorPressed();
  void btnChangeFloorPressed();
  void btnZoomInPressed();
  void btnZoomOutPressed();
  void btnDynamicMapPressed() {}
  void changeCoordinates();
  void drawRouteWithPath(const std::vector<std::shared_ptr<MCLocationPoint>>& points, float distance);
  void longPress(platform::ui::GestureRecognizer& recognizer);
  void tapPress(platform::ui::GestureRecognizer& recognizer);
  void btnRoute();
  void btnRoutePin();
  void btnCancelRoute();
  void deselectPins();
  void stopRoute();

  std::shared_ptr<platform::ui::ScrollView> sv() const { return sv_; }
  std::shared_ptr<platform::ui::ImageView> contentView() const { return contentView_; }
  std::shared_ptr<platform::ui::Button> btnUpFloor() const { return btnUpFloor_; }
  std::shared_ptr<platform::ui::Button> btnDownFloor() const { return btnDownFloor_; }
  std::shared_ptr<platform::ui::TextField> tfFloor() const { return tfFloor_; }
  // Zoom in, zoom out, dynamic map.
  const std::vector<std::shared_ptr<platform::ui::Button>>& mapButtons() const { return mapButtons_; }
  int64_t floor() const { return floor_; }
  void setFloor(int64_t floor) { floor_ = floor; }
  int64_t subLocationId() const { return subLocationId_; }
  float pixPerMeter() const { return pixPerMeter_; }
  std::shared_ptr<MCPositionOnMap> current() const { return current_; }
  const std::vector<std::shared_ptr<platform::ui::ImageView>>& venues() const { return venues_; }
  std::shared_ptr<MCPressPin> pin() const { return pin_; }
  platform::ui::Size imageSize() const { return imageSize_; }
  std::shared_ptr<platform::ui::ShapeLayer> routeLayer() const { return routeLayer_; }
  const platform::ui::BezierPath* uipath() const { return uipath_.get(); }
  const MCScreenNavigation& navigationManager() const { return navigation_; }
  bool isRefreshing() const { return timer_ && timer_->isValid(); }

 private:
  explicit MCLocationViewController(MCScreenNavigation navigation);
  std::shared_ptr<MCSublocation> floorAt(int64_t index) const;
  // The floor's content size by the fill scale against the scroll view; none (0 x 0) when
  // the floor cannot be shown.
  platform::ui::Size contentSizeFor(const MCSublocation* floor) const;
  void showFloor();  // the floor at `floor_`: ids, size, content view, venue markers
  bool floorShown() const { return pixPerMeter_ > 0; }
  std::shared_ptr<const MCDeviceInfo> info() const;
  bool routeExists() const;
  void removePin();
  void removeLine();

  MCScreenNavigation navigation_;
  std::shared_ptr<MCLocation> location_;
  std::shared_ptr<platform::ui::View> view_;
  std::shared_ptr<platform::ui::ScrollViewDelegate> scrollDelegate_;
  std::shared_ptr<platform::ui::ScrollView> sv_;
  std::shared_ptr<platform::ui::ImageView> contentView_;
  std::shared_ptr<platform::ui::Button> btnUpFloor_, btnDownFloor_;
  std::shared_ptr<platform::ui::TextField> tfFloor_;
  std::vector<std::shared_ptr<platform::ui::Button>> mapButtons_;
  int64_t floor_ = 0;
  int64_t subLocationId_ = 0;
  float pixPerMeter_ = 0;
  std::shared_ptr<MCPositionOnMap> current_;
  std::vector<std::shared_ptr<platform::ui::ImageView>> venues_;
  std::shared_ptr<MCPressPin> pin_;
  platform::ui::Size imageSize_;
  std::unique_ptr<platform::ui::BezierPath> uipath_;
  std::shared_ptr<platform::ui::ShapeLayer> routeLayer_;
  std::shared_ptr<platform::Timer> timer_;
};
