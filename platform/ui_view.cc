#include "platform/ui_view.h"

#include <cairo.h>

#include <algorithm>

#include "platform/ui_gesture.h"

namespace platform::ui {

View::View(Rect frame) : bounds_(0, 0, frame.size.width, frame.size.height), center_{frame.midX(), frame.midY()} {}

View::~View() {
  for (auto& c : children_) {
    if (c.view) c.view->superview_ = nullptr;
    if (c.layer) c.layer->owner_ = nullptr;
  }
  for (auto& r : recognizers_) r->view_ = nullptr;
}

Rect View::frame() const {
  const double w = bounds_.size.width * 0.5, h = bounds_.size.height * 0.5;
  const Point corners[4] = {{-w, -h}, {w, -h}, {w, h}, {-w, h}};
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  for (int i = 0; i < 4; ++i) {
    const Point p = transform_.apply(corners[i]);
    x0 = i ? std::min(x0, p.x) : p.x;
    x1 = i ? std::max(x1, p.x) : p.x;
    y0 = i ? std::min(y0, p.y) : p.y;
    y1 = i ? std::max(y1, p.y) : p.y;
  }
  return {center_.x + x0, center_.y + y0, x1 - x0, y1 - y0};
}

void View::setFrame(Rect frame) {
  double w = frame.size.width, h = frame.size.height;
  if (transform_.b == 0 && transform_.c == 0 && transform_.a != 0 && transform_.d != 0) {
    w /= std::abs(transform_.a);
    h /= std::abs(transform_.d);
  }
  bounds_.size = {w, h};
  center_ = {frame.midX(), frame.midY()};
}

std::vector<std::shared_ptr<View>> View::subviews() const {
  std::vector<std::shared_ptr<View>> out;
  for (const auto& c : children_)
    if (c.view) out.push_back(c.view);
  return out;
}

std::vector<std::shared_ptr<ShapeLayer>> View::sublayers() const {
  std::vector<std::shared_ptr<ShapeLayer>> out;
  for (const auto& c : children_)
    if (c.layer) out.push_back(c.layer);
  return out;
}

void View::detach(const void* child) {
  std::erase_if(children_, [child](const Child& c) {
    return c.view.get() == child || static_cast<const void*>(c.layer.get()) == child;
  });
}

void View::addSubview(const std::shared_ptr<View>& view) {
  if (!view || view.get() == this || isDescendantOf(*view)) return;
  const std::shared_ptr<View> keep = view;
  if (view->superview_) view->superview_->detach(view.get());
  view->superview_ = this;
  children_.push_back({view, nullptr});
}

void View::removeFromSuperview() {
  if (!superview_) return;
  const std::shared_ptr<View> keep = shared_from_this();  // the parent may hold the last reference
  View* parent = superview_;
  superview_ = nullptr;
  parent->detach(this);
}

void View::bringSubviewToFront(const View& view) {
  auto it = std::find_if(children_.begin(), children_.end(), [&](const Child& c) { return c.view.get() == &view; });
  if (it == children_.end()) return;
  Child c = std::move(*it);
  children_.erase(it);
  children_.push_back(std::move(c));
}

void View::addSublayer(const std::shared_ptr<ShapeLayer>& layer) {
  if (!layer) return;
  const std::shared_ptr<ShapeLayer> keep = layer;
  if (layer->owner_) layer->owner_->detach(layer.get());
  layer->owner_ = this;
  children_.push_back({nullptr, layer});
}

bool View::isDescendantOf(const View& view) const {
  for (const View* v = this; v; v = v->superview_)
    if (v == &view) return true;
  return false;
}

void View::addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
  if (!recognizer) return;
  recognizer->view_ = this;
  recognizers_.push_back(recognizer);
}

Transform View::transformToSuperview() const {
  return Transform::makeTranslation(-bounds_.midX(), -bounds_.midY())
      .concat(transform_)
      .concat(Transform::makeTranslation(center_.x, center_.y));
}

void View::visitChildren(const std::function<void(const View*, const ShapeLayer*)>& visit) const {
  for (const auto& c : children_) visit(c.view.get(), c.layer.get());
}

Transform View::toRoot() const {
  Transform t;
  for (const View* v = this; v->superview_; v = v->superview_) t = t.concat(v->transformToSuperview());
  return t;
}

Point View::convertPoint(Point p, const View* to) const {
  const Point inRoot = toRoot().apply(p);
  return to ? to->toRoot().inverted().apply(inRoot) : inRoot;
}

View* View::hitTest(Point p) {
  if (hidden_ || alpha_ < 0.01 || !interaction_) return nullptr;
  const bool inside = bounds_.contains(p);
  if (clips_ && !inside) return nullptr;
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
    if (!it->view) continue;
    const Point q = it->view->transformToSuperview().inverted().apply(p);
    if (View* hit = it->view->hitTest(q)) return hit;
  }
  return inside ? this : nullptr;
}

void View::drawContent(cairo_t*) const {}

ImageView::ImageView(std::shared_ptr<Image> image)
    : View(image ? Rect(0, 0, image->width(), image->height()) : Rect()), image_(std::move(image)) {
  setUserInteractionEnabled(false);
}

void ImageView::drawContent(cairo_t* cr) const {
  if (image_) image_->drawInRect(cr, bounds().minX(), bounds().minY(), bounds().size.width, bounds().size.height);
}

void drawText(cairo_t* cr, const std::string& text, const Font& font, const Color& color, Rect rect,
              TextAlignment alignment) {
  if (text.empty() || !(font.size > 0)) return;
  cairo_save(cr);
  // The toy face goes through fontconfig, which answers an unknown family with its default.
  cairo_select_font_face(cr, font.name.empty() ? "sans-serif" : font.name.c_str(), CAIRO_FONT_SLANT_NORMAL,
                         CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, font.size);
  cairo_text_extents_t ext;
  cairo_text_extents(cr, text.c_str(), &ext);
  double x = rect.minX();
  if (alignment == TextAlignment::Center) x = rect.midX() - (ext.width * 0.5 + ext.x_bearing);
  if (alignment == TextAlignment::Right) x = rect.maxX() - ext.x_advance;
  const double y = rect.midY() - (ext.height * 0.5 + ext.y_bearing);
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, text.c_str());
  cairo_restore(cr);
}

Button::Button(Rect frame) : View(frame) {}

void Button::addTarget(std::weak_ptr<const void> target, std::string name, Action action) {
  targets_.push_back({std::move(target), std::move(name), std::move(action)});
}

std::vector<std::string> Button::actionNames() const {
  std::vector<std::string> out;
  for (const auto& t : targets_) out.push_back(t.name);
  return out;
}

void Button::sendActions() {
  // An action may add actions or drop this button: run a copy, keep the button alive.
  const std::shared_ptr<View> keep = shared_from_this();
  const std::vector<Target> targets = targets_;
  for (const Target& t : targets) {
    if (const auto alive = t.target.lock(); alive && t.action) t.action(*this);
  }
}

void Button::drawContent(cairo_t* cr) const {
  if (image_) image_->drawInRect(cr, bounds().minX(), bounds().minY(), bounds().size.width, bounds().size.height);
  drawText(cr, title_, font_, titleColor_, bounds(), TextAlignment::Center);
}

void TextField::drawContent(cairo_t* cr) const {
  drawText(cr, text_, font_, textColor_, bounds(), alignment_);
}

ScrollView::ScrollView(Rect frame) : View(frame) { setClipsToBounds(true); }

void ScrollView::setZoomScale(double scale, bool /*animated*/) {
  zoom_ = std::clamp(scale, minZoom_, std::max(minZoom_, maxZoom_));
  const auto delegate = delegate_.lock();
  const auto view = delegate && delegate->viewForZoomingInScrollView ? delegate->viewForZoomingInScrollView() : nullptr;
  if (!view) return;
  const Rect b = view->bounds();
  view->setTransform(Transform::makeScale(zoom_, zoom_));
  view->setCenter({b.size.width * zoom_ * 0.5, b.size.height * zoom_ * 0.5});
  contentSize_ = {b.size.width * zoom_, b.size.height * zoom_};
  setContentOffset(contentOffset());
}

void ScrollView::setContentOffset(Point offset) {
  const double maxX = std::max(0.0, contentSize_.width - bounds().size.width);
  const double maxY = std::max(0.0, contentSize_.height - bounds().size.height);
  Rect b = bounds();
  b.origin = {std::clamp(offset.x, 0.0, maxX), std::clamp(offset.y, 0.0, maxY)};
  setBounds(b);
}

void BezierPath::addLineToPoint(Point p) {
  if (subpaths_.empty())
    subpaths_.push_back({p});
  else
    subpaths_.back().push_back(p);
}

void ShapeLayer::removeFromSuperlayer() {
  if (!owner_) return;
  const std::shared_ptr<ShapeLayer> keep = shared_from_this();
  View* owner = owner_;
  owner_ = nullptr;
  owner->detach(this);
}

void ShapeLayer::draw(cairo_t* cr) const {
  cairo_save(cr);
  cairo_new_path(cr);
  for (const auto& sub : path.subpaths()) {
    cairo_move_to(cr, sub.front().x, sub.front().y);
    for (size_t i = 1; i < sub.size(); ++i) cairo_line_to(cr, sub[i].x, sub[i].y);
  }
  if (fillColor && fillColor->alpha > 0) {
    cairo_set_source_rgba(cr, fillColor->red, fillColor->green, fillColor->blue, fillColor->alpha);
    cairo_fill_preserve(cr);
  }
  if (strokeColor && lineWidth > 0) {
    cairo_set_source_rgba(cr, strokeColor->red, strokeColor->green, strokeColor->blue, strokeColor->alpha);
    cairo_set_line_width(cr, lineWidth);
    cairo_set_line_join(cr, lineJoin == LineJoin::Round   ? CAIRO_LINE_JOIN_ROUND
                            : lineJoin == LineJoin::Bevel ? CAIRO_LINE_JOIN_BEVEL
                                                          : CAIRO_LINE_JOIN_MITER);
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

}  // namespace platform::ui
