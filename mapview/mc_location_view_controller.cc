#include "mapview/mc_location_view_controller.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Navigation/mc_navigation_manager.h"
#include "mapview/mc_artwork.h"
#include "platform/ui_render.h"

using mc_artwork::Art;
using platform::ui::Button;
using platform::ui::Color;
using platform::ui::ImageView;
using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;

namespace {

const Color kControlGrey = Color::rgb(237, 237, 237);
const Color kRouteBlue = Color::rgb(74, 173, 212);
constexpr double kDimmed = 0.7;

std::string FloorText(int64_t floor) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld", static_cast<long long>(floor));
  return text;
}

// The accuracy circle's side: none for a radius that is not a finite non-negative number;
// no larger than needed to cover the whole floor from anywhere on it (the renderer cannot
// draw an arc of an absurd radius, and a larger circle looks the same).
float AccuracySide(float side, Size content) {
  if (!std::isfinite(side) || !(side > 0)) return 0.f;
  const double cover = 2 * (content.width + content.height);
  return side > cover ? float(cover) : side;
}

}  // namespace

MCScreenNavigation MCScreenNavigation::sharedNavigationManager() {
  return forManager(MCNavigationManager::sharedInstance());
}

MCScreenNavigation MCScreenNavigation::forManager(std::shared_ptr<MCNavigationManager> m) {
  return {[m] { return m->deviceInfo(); }, [m](const MCLocationPoint& p) { m->addTatget(p); },
          [m] { m->cancelTargets(); }};
}

std::shared_ptr<MCLocationViewController> MCLocationViewController::create(MCScreenNavigation navigation) {
  return std::shared_ptr<MCLocationViewController>(new MCLocationViewController(std::move(navigation)));
}

MCLocationViewController::MCLocationViewController(MCScreenNavigation navigation)
    : navigation_(std::move(navigation)) {}

MCLocationViewController::~MCLocationViewController() {
  // Left running, the timer would keep refreshing for a screen nobody shows, and its arrival
  // rule would cancel the host's targets.
  if (timer_) timer_->invalidate();
}

std::shared_ptr<platform::ui::View> MCLocationViewController::view() {
  if (!view_) {
    view_ = std::make_shared<platform::ui::View>(Rect(0, 0, kScreenWidth, kScreenHeight));
    viewDidLoad();
  }
  return view_;
}

std::shared_ptr<platform::Image> MCLocationViewController::snapshot(double scale) {
  return platform::ui::renderView(*view(), scale);
}

bool MCLocationViewController::writePng(const std::filesystem::path& file, std::string* error, double scale) {
  return platform::ui::writePng(*view(), file, error, scale);
}

std::shared_ptr<MCSublocation> MCLocationViewController::floorAt(int64_t index) const {
  if (!location_ || index < 0 || index >= int64_t(location_->sublocations.size())) return nullptr;
  return location_->sublocations[size_t(index)];
}

Size MCLocationViewController::contentSizeFor(const MCSublocation* floor) const {
  if (!floor || !floor->image || !(floor->width > 0) || !(floor->height > 0) || !sv_) return {};
  const double iw = floor->image->pixelWidth(), ih = floor->image->pixelHeight();
  const Size v = sv_->frame().size;
  if (!(iw > 0) || !(ih > 0) || !(v.width > 0) || !(v.height > 0)) return {};
  const double scale = ih / iw > v.height / v.width ? v.width / iw : v.height / ih;
  // An extent so small or so large that a metre has no finite size in content points
  // cannot place anything on the floor.
  const float perMetre = float(iw * scale / floor->width), perMetreUp = float(ih * scale / floor->height);
  if (!std::isfinite(perMetre) || !(perMetre > 0) || !std::isfinite(perMetreUp) || !(perMetreUp > 0))
    return {};
  return {iw * scale, ih * scale};
}

void MCLocationViewController::viewDidLoad() {
  if (!view_) view_ = std::make_shared<platform::ui::View>(Rect(0, 0, kScreenWidth, kScreenHeight));
  const std::weak_ptr<const void> self = weak_from_this();
  floor_ = 0;
  venues_.clear();

  sv_ = std::make_shared<platform::ui::ScrollView>(view_->frame());
  sv_->setBackgroundColor(Color{1, 1, 1, 1});
  scrollDelegate_ = std::make_shared<platform::ui::ScrollViewDelegate>();
  scrollDelegate_->viewForZoomingInScrollView = [this] { return viewForZoomingInScrollView(); };
  sv_->setDelegate(scrollDelegate_);
  sv_->setMinimumZoomScale(1.0);
  sv_->setMaximumZoomScale(5.0);
  sv_->setZoomScale(1.0);
  sv_->setScrollEnabled(true);
  view_->addSubview(sv_);

  contentView_ = std::make_shared<ImageView>();
  contentView_->setUserInteractionEnabled(true);
  sv_->addSubview(contentView_);
  current_ = std::make_shared<MCPositionOnMap>();
  current_->setHidden(true);
  contentView_->addSubview(current_);
  showFloor();

  auto control = [&](Rect frame, Art art, const char* name, void (MCLocationViewController::*action)()) {
    auto b = std::make_shared<Button>(frame);
    b->setImage(mc_artwork::image(art));
    b->setBackgroundColor(kControlGrey);
    b->addTarget(self, name, [this, action](Button&) { (this->*action)(); });
    return b;
  };
  const double aw = mc_artwork::width(Art::FloorUp), ah = mc_artwork::height(Art::FloorUp);
  if (location_ && location_->sublocations.size() >= 2) {
    btnUpFloor_ = control({260, 80, aw, ah}, Art::FloorUp, "btnUpFloorPressed:",
                          &MCLocationViewController::btnUpFloorPressed);
    btnUpFloor_->setAlpha(1.0);
    view_->addSubview(btnUpFloor_);
    tfFloor_ = std::make_shared<platform::ui::TextField>(Rect(260, 124, 44, 44));
    tfFloor_->setTextAlignment(platform::ui::TextAlignment::Center);
    tfFloor_->setTextColor(Color::rgb(86, 101, 118));
    tfFloor_->setBackgroundColor(kControlGrey);
    tfFloor_->setText(FloorText(floor_));
    view_->addSubview(tfFloor_);
    btnDownFloor_ = control({260, 168, aw, ah}, Art::FloorUp, "btnDownFloorPressed:",
                            &MCLocationViewController::btnDownFloorPressed);
    btnDownFloor_->setTransform(platform::ui::Transform::makeRotation(M_PI));
    btnDownFloor_->setAlpha(kDimmed);
    view_->addSubview(btnDownFloor_);
  }

  const std::weak_ptr<MCLocationViewController> weak = weak_from_this();
  timer_ = platform::Timer::scheduledTimerWithTimeInterval(0.1, true, [weak] {
    if (const auto screen = weak.lock()) screen->changeCoordinates();
  });

  struct MapButton {
    double y;
    Art art;
    const char* name;
    void (MCLocationViewController::*action)();
  } mapButtons[] = {
      {268, Art::ZoomIn, "btnZoomInPressed:", &MCLocationViewController::btnZoomInPressed},
      {320, Art::ZoomOut, "btnZoomOutPressed:", &MCLocationViewController::btnZoomOutPressed},
      {508, Art::DynamicMap, "btnDynamicMapPressed:", &MCLocationViewController::btnDynamicMapPressed},
  };
  mapButtons_.clear();
  for (const MapButton& m : mapButtons) {
    auto b = control({260, m.y, mc_artwork::width(m.art), mc_artwork::height(m.art)}, m.art, m.name, m.action);
    b->setCornerRadius(b->frame().size.height * 0.5);
    view_->addSubview(b);
    mapButtons_.push_back(b);
  }

  auto press = std::make_shared<platform::ui::LongPressGestureRecognizer>();
  press->setMinimumPressDuration(1.0);
  press->setDelaysTouchesBegan(false);
  press->setTarget(self, [this](platform::ui::GestureRecognizer& r) { longPress(r); });
  sv_->addGestureRecognizer(press);
  auto tap = std::make_shared<platform::ui::TapGestureRecognizer>();
  tap->setDelaysTouchesBegan(false);
  tap->setTarget(self, [this](platform::ui::GestureRecognizer& r) { tapPress(r); });
  sv_->addGestureRecognizer(tap);
}

void MCLocationViewController::showFloor() {
  const int64_t count = location_ ? int64_t(location_->sublocations.size()) : 0;
  floor_ = std::clamp<int64_t>(floor_, 0, std::max<int64_t>(0, count - 1));
  const auto floor = floorAt(floor_);
  subLocationId_ = floor ? floor->id : 0;
  imageSize_ = floor ? Size{double(floor->width), double(floor->height)} : Size{};

  // The content view keeps the zoom: its bounds are the content size, its frame that scaled.
  const Size content = contentSizeFor(floor.get());
  const double z = sv_->zoomScale();
  contentView_->setBounds(Rect(0, 0, content.width, content.height));
  contentView_->setCenter({content.width * z * 0.5, content.height * z * 0.5});
  const bool shown = content.width > 0;
  contentView_->setImage(shown ? floor->image : nullptr);
  sv_->setContentSize(contentView_->frame().size);
  sv_->setContentOffset(sv_->contentOffset());
  pixPerMeter_ = shown ? float(contentView_->frame().size.width / z / floor->width) : 0.f;

  // A pin belongs to the floor it was dropped on; pressing it elsewhere would send a target
  // on a floor the user no longer sees.
  if (pin_) {
    const bool own = shown && pin_->sublocationId == double(subLocationId_);
    pin_->setHidden(!own);
    pin_->unnotationView->setHidden(!own);
  }

  for (const auto& v : venues_) v->removeFromSuperview();
  venues_.clear();
  if (!shown || !floor->venues) return;
  for (const auto& venue : *floor->venues) {
    if (!venue) continue;
    auto marker = std::make_shared<ImageView>(mc_artwork::image(Art::Venue));
    marker->setFrame(Rect(0, 0, mc_artwork::width(Art::Venue), mc_artwork::height(Art::Venue)));
    marker->setCenter({venue->x.doubleValue() / double(floor->width) * content.width,
                       (1 - venue->y.doubleValue() / double(floor->height)) * content.height});
    contentView_->addSubview(marker);
    venues_.push_back(marker);
  }
}

void MCLocationViewController::btnUpFloorPressed() {
  if (btnDownFloor_) btnDownFloor_->setAlpha(1.0);
  const int64_t count = location_ ? int64_t(location_->sublocations.size()) : 0;
  if (floor_ < count - 1) {
    ++floor_;
    btnChangeFloorPressed();
  }
}

void MCLocationViewController::btnDownFloorPressed() {
  if (btnUpFloor_) btnUpFloor_->setAlpha(1.0);
  if (floor_ > 0) {
    --floor_;
    btnChangeFloorPressed();
  }
}

void MCLocationViewController::btnChangeFloorPressed() {
  if (!view_) return;
  const int64_t count = location_ ? int64_t(location_->sublocations.size()) : 0;
  floor_ = std::clamp<int64_t>(floor_, 0, std::max<int64_t>(0, count - 1));
  if (floor_ == 0 && btnDownFloor_) btnDownFloor_->setAlpha(kDimmed);
  if (floor_ == count - 1 && btnUpFloor_) btnUpFloor_->setAlpha(kDimmed);
  if (tfFloor_) tfFloor_->setText(FloorText(floor_));
  showFloor();
}

void MCLocationViewController::btnZoomInPressed() {
  if (sv_) sv_->setZoomScale(sv_->zoomScale() + double(0.2f), true);
}

void MCLocationViewController::btnZoomOutPressed() {
  if (sv_) sv_->setZoomScale(sv_->zoomScale() - double(0.2f), true);
}

std::shared_ptr<const MCDeviceInfo> MCLocationViewController::info() const {
  return navigation_.deviceInfo ? navigation_.deviceInfo() : nullptr;
}

bool MCLocationViewController::routeExists() const {
  const auto i = info();
  return i && !i->paths.empty();
}

void MCLocationViewController::changeCoordinates() {
  if (!view_) return;
  // One snapshot for the whole refresh: the tick publishes a new one, never refills this.
  const auto i = info();
  if (!i) {
    current_->setHidden(true);
    return;
  }
  current_->setHidden(!(floorShown() && i->sublocation == subLocationId_));
  const Size f = contentView_->frame().size;
  const double z = sv_->zoomScale();
  current_->setCenter({double(i->kx) * f.width / z, (1 - double(i->ky)) * f.height / z});

  const float side = AccuracySide((pixPerMeter_ + pixPerMeter_) * i->r, contentView_->bounds().size);
  current_->background->setFrame(Rect(0, 0, side, side));
  const Rect marker = current_->frame();
  current_->background->setCenter({marker.size.width * 0.5, marker.size.height * 0.5});
  current_->background->setCornerRadius(side * 0.5);

  removeLine();
  const auto path = i->paths.empty() ? nullptr : i->paths.front();
  if (path && !path->points.empty()) drawRouteWithPath(path->points, path->lenght);
}

void MCLocationViewController::drawRouteWithPath(const std::vector<std::shared_ptr<MCLocationPoint>>& points,
                                                 float distance) {
  if (distance <= 3.0f) {
    stopRoute();
    return;
  }
  if (!floorShown() || !contentView_) return;
  uipath_ = std::make_unique<platform::ui::BezierPath>();
  routeLayer_ = std::make_shared<platform::ui::ShapeLayer>();
  const Size b = contentView_->bounds().size;
  bool inRun = false;
  for (const auto& p : points) {
    if (!p || p->sublocation != subLocationId_) {
      inRun = false;
      continue;
    }
    const Point at{b.width * p->x.doubleValue() / imageSize_.width,
                   b.height - p->y.doubleValue() * b.height / imageSize_.height};
    if (!std::isfinite(at.x) || !std::isfinite(at.y)) {  // a point nowhere breaks the line there
      inRun = false;
      continue;
    }
    inRun ? uipath_->addLineToPoint(at) : uipath_->moveToPoint(at);
    inRun = true;
  }
  routeLayer_->path = *uipath_;
  routeLayer_->strokeColor = kRouteBlue;
  routeLayer_->fillColor = Color::clear();
  routeLayer_->lineWidth = 2.0;
  routeLayer_->lineJoin = platform::ui::LineJoin::Round;
  contentView_->addSublayer(routeLayer_);
  contentView_->bringSubviewToFront(*current_);
}

void MCLocationViewController::longPress(platform::ui::GestureRecognizer& recognizer) {
  if (recognizer.state() != platform::ui::GestureState::Began || routeExists() || !floorShown()) return;
  const std::weak_ptr<const void> self = weak_from_this();
  const Point p = recognizer.locationInView(contentView_.get());
  removePin();
  pin_ = std::make_shared<MCPressPin>(Rect());
  pin_->addTarget(self, "btnRoutePin:", [this](Button&) { btnRoutePin(); });
  pin_->setCenter({p.x, p.y - pin_->frame().size.height * 0.5});
  pin_->setHidden(false);
  contentView_->addSubview(pin_);
  pin_->btn->addTarget(self, "btnRoute:", [this](Button&) { btnRoute(); });

  const Rect pinFrame = pin_->frame();
  Rect callout = pin_->unnotationView->frame();
  callout.origin.y = pinFrame.minY() - 10.0 - callout.size.height;
  pin_->unnotationView->setFrame(callout);
  pin_->unnotationView->setCenter({pin_->center().x, pin_->unnotationView->center().y});

  pin_->originalBottom = pinFrame.minY() + pinFrame.size.height;
  pin_->originalCenterX = pin_->center().x;
  pin_->sublocationId = double(subLocationId_);
  contentView_->addSubview(pin_->unnotationView);
  pin_->resizePressPinWithZoom(sv_->zoomScale());
}

void MCLocationViewController::tapPress(platform::ui::GestureRecognizer&) { deselectPins(); }

void MCLocationViewController::btnRoute() {
  if (!pin_ || !location_) return;
  // The pin's own floor and that floor's content size: the floor shown may have changed
  // since the pin was dropped.
  const int64_t floorId = int64_t(pin_->sublocationId);
  const auto floor = location_->subLocationWithId(floorId);
  const Size content = contentSizeFor(floor.get());
  if (content.width > 0) {
    const double x = double(floor->width) * pin_->originalCenterX / content.width;
    const double y = double(floor->height) * (content.height - pin_->originalBottom) / content.height;
    const auto target = MCLocationPoint::pointWithLocation(location_->id, floorId, MCNumber(x), MCNumber(y));
    if (navigation_.addTatget) navigation_.addTatget(*target);
  }
  pin_->unnotationView->removeFromSuperview();
}

void MCLocationViewController::btnRoutePin() {
  if (!pin_) return;
  pin_->swithPinMode();
  const auto names = pin_->btn->actionNames();
  if (std::find(names.begin(), names.end(), "btnCancelRoute:") == names.end())
    pin_->btn->addTarget(weak_from_this(), "btnCancelRoute:", [this](Button&) { btnCancelRoute(); });
  contentView_->addSubview(pin_->unnotationView);
}

void MCLocationViewController::btnCancelRoute() { stopRoute(); }

void MCLocationViewController::deselectPins() {
  if (!routeExists()) removePin();
}

void MCLocationViewController::stopRoute() {
  if (navigation_.cancelTargets) navigation_.cancelTargets();
  removePin();
  removeLine();
}

void MCLocationViewController::removePin() {
  if (!pin_) return;
  const auto pin = std::move(pin_);
  pin->removeFromSuperview();
  pin->unnotationView->removeFromSuperview();
}

void MCLocationViewController::removeLine() {
  if (routeLayer_) routeLayer_->removeFromSuperlayer();
  routeLayer_.reset();
  if (uipath_) uipath_->removeAllPoints();
  uipath_.reset();
}
