// The user interface's views, headless: a tree of views with frame, bounds, centre,
// transform, hidden flag, alpha, background colour and corner radius; image views; buttons
// with ordered target-actions; a text field; a scroll view with zoom limits and a content
// size; shape layers stroking poly-line paths. Nothing is drawn until the tree is rendered
// (platform/ui_render.h); touches are synthetic (platform/ui_gesture.h).
//
// Threads: the main thread only, like a phone's views; nothing here is locked. Views are
// held by shared_ptr; a parent holds its subviews and layers, a child knows its parent
// without holding it. Targets of actions and delegates are held weakly: an action whose
// target is gone is skipped.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image.h"
#include "platform/ui_geometry.h"

typedef struct _cairo cairo_t;

namespace platform::ui {

class GestureRecognizer;
class ShapeLayer;

class View : public std::enable_shared_from_this<View> {
 public:
  explicit View(Rect frame = {});
  virtual ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // The frame is the bounds' box after the transform, in the parent's coordinates. Setting
  // it moves the centre and, under a pure scale, sets the bounds' size to the frame's size
  // over that scale.
  Rect frame() const;
  void setFrame(Rect frame);
  Rect bounds() const { return bounds_; }
  void setBounds(Rect bounds) { bounds_ = bounds; }
  Point center() const { return center_; }
  void setCenter(Point center) { center_ = center; }
  Transform transform() const { return transform_; }
  void setTransform(Transform transform) { transform_ = transform; }

  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden) { hidden_ = hidden; }
  double alpha() const { return alpha_; }
  void setAlpha(double alpha) { alpha_ = std::clamp(alpha, 0.0, 1.0); }
  std::optional<Color> backgroundColor() const { return background_; }
  void setBackgroundColor(std::optional<Color> color) { background_ = color; }
  double cornerRadius() const { return cornerRadius_; }  // the layer's
  void setCornerRadius(double radius) { cornerRadius_ = radius; }
  bool clipsToBounds() const { return clips_; }
  void setClipsToBounds(bool clips) { clips_ = clips; }
  bool isUserInteractionEnabled() const { return interaction_; }
  void setUserInteractionEnabled(bool enabled) { interaction_ = enabled; }

  View* superview() const { return superview_; }
  std::vector<std::shared_ptr<View>> subviews() const;
  // Subviews and layers share one order, back to front; adding moves a child to the front.
  void addSubview(const std::shared_ptr<View>& view);
  void removeFromSuperview();
  void bringSubviewToFront(const View& view);
  void addSublayer(const std::shared_ptr<ShapeLayer>& layer);
  std::vector<std::shared_ptr<ShapeLayer>> sublayers() const;
  bool isDescendantOf(const View& view) const;

  void addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);
  const std::vector<std::shared_ptr<GestureRecognizer>>& gestureRecognizers() const { return recognizers_; }

  // Maps a point of this view's bounds into the bounds of `to` (null: the root of the tree).
  Point convertPoint(Point p, const View* to) const;
  // The deepest visible, interactive view under `p` (this view's bounds), front first.
  View* hitTest(Point p);

  // This view's bounds coordinates -> its parent's.
  Transform transformToSuperview() const;
  // Subviews and layers back to front (one of the two pointers set per child).
  void visitChildren(const std::function<void(const View*, const ShapeLayer*)>& visit) const;

  // Draws this view's own content (over its background, under its children) in bounds
  // coordinates; the renderer calls it.
  virtual void drawContent(cairo_t* cr) const;

 private:
  friend class ShapeLayer;
  struct Child {
    std::shared_ptr<View> view;
    std::shared_ptr<ShapeLayer> layer;
  };
  Transform toRoot() const;
  void detach(const void* child);

  Rect bounds_;
  Point center_;
  Transform transform_;
  bool hidden_ = false;
  double alpha_ = 1;
  std::optional<Color> background_;
  double cornerRadius_ = 0;
  bool clips_ = false;
  bool interaction_ = true;
  View* superview_ = nullptr;
  std::vector<Child> children_;
  std::vector<std::shared_ptr<GestureRecognizer>> recognizers_;
};

// A view that draws an image stretched over its bounds. User interaction starts off.
class ImageView : public View {
 public:
  explicit ImageView(std::shared_ptr<Image> image = nullptr);  // frame: the image's size
  std::shared_ptr<Image> image() const { return image_; }
  void setImage(std::shared_ptr<Image> image) { image_ = std::move(image); }
  void drawContent(cairo_t* cr) const override;

 private:
  std::shared_ptr<Image> image_;
};

// A font by family name; a family the system lacks falls back to its default font.
struct Font {
  std::string name;
  double size = 17;
};

enum class TextAlignment { Left, Center, Right };

// Draws one line of text in `rect` (vertically centred). Any thread, any cairo context.
void drawText(cairo_t* cr, const std::string& text, const Font& font, const Color& color,
              Rect rect, TextAlignment alignment);

class Button : public View {
 public:
  using Action = std::function<void(Button& sender)>;
  explicit Button(Rect frame = {});

  // The image for the normal state (the highlighted state shows the same here).
  std::shared_ptr<Image> image() const { return image_; }
  void setImage(std::shared_ptr<Image> image) { image_ = std::move(image); }
  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  Color titleColor() const { return titleColor_; }
  void setTitleColor(Color color) { titleColor_ = color; }
  Font font() const { return font_; }
  void setFont(Font font) { font_ = std::move(font); }

  // Touch up inside: actions run in the order added; one whose target is gone is skipped.
  // `name` names the action (what a phone calls its selector), for inspection.
  void addTarget(std::weak_ptr<const void> target, std::string name, Action action);
  std::vector<std::string> actionNames() const;
  void sendActions();

  void drawContent(cairo_t* cr) const override;

 private:
  struct Target {
    std::weak_ptr<const void> target;
    std::string name;
    Action action;
  };
  std::shared_ptr<Image> image_;
  std::string title_;
  Color titleColor_{1, 1, 1, 1};
  Font font_{"", 15};
  std::vector<Target> targets_;
};

// A one-line text field that shows its text; editing is not offered.
class TextField : public View {
 public:
  explicit TextField(Rect frame = {}) : View(frame) {}
  const std::string& text() const { return text_; }
  void setText(std::string text) { text_ = std::move(text); }
  Color textColor() const { return textColor_; }
  void setTextColor(Color color) { textColor_ = color; }
  TextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(TextAlignment alignment) { alignment_ = alignment; }
  Font font() const { return font_; }
  void setFont(Font font) { font_ = std::move(font); }
  void drawContent(cairo_t* cr) const override;

 private:
  std::string text_;
  Color textColor_{0, 0, 0, 1};
  TextAlignment alignment_ = TextAlignment::Left;
  Font font_{"", 17};
};

struct ScrollViewDelegate {
  std::function<std::shared_ptr<View>()> viewForZoomingInScrollView;
};

// Shows its content through its bounds, whose origin is the content offset; clips to them.
// Zooming scales the delegate's zooming view about its top-left corner and sets the content
// size to its scaled size. A zoom outside the limits is held to them; an animated zoom ends
// at once here.
class ScrollView : public View {
 public:
  explicit ScrollView(Rect frame = {});

  double minimumZoomScale() const { return minZoom_; }
  void setMinimumZoomScale(double scale) { minZoom_ = scale; }
  double maximumZoomScale() const { return maxZoom_; }
  void setMaximumZoomScale(double scale) { maxZoom_ = scale; }
  double zoomScale() const { return zoom_; }
  void setZoomScale(double scale, bool animated = false);
  Size contentSize() const { return contentSize_; }
  void setContentSize(Size size) { contentSize_ = size; }
  Point contentOffset() const { return bounds().origin; }
  // Held inside the content (or at 0 where the content is smaller than the view).
  void setContentOffset(Point offset);
  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }
  void setDelegate(std::weak_ptr<ScrollViewDelegate> delegate) { delegate_ = std::move(delegate); }

 private:
  double minZoom_ = 1, maxZoom_ = 1, zoom_ = 1;
  Size contentSize_;
  bool scrollEnabled_ = true;
  std::weak_ptr<ScrollViewDelegate> delegate_;
};

// A path of poly-line subpaths.
class BezierPath {
 public:
  void moveToPoint(Point p) { subpaths_.push_back({p}); }
  // A line from the current point; with none, it starts a subpath.
  void addLineToPoint(Point p);
  void removeAllPoints() { subpaths_.clear(); }
  bool isEmpty() const { return subpaths_.empty(); }
  const std::vector<std::vector<Point>>& subpaths() const { return subpaths_; }

 private:
  std::vector<std::vector<Point>> subpaths_;
};

enum class LineJoin { Miter, Round, Bevel };

// Strokes (and fills) a path given in its view's bounds coordinates.
class ShapeLayer : public std::enable_shared_from_this<ShapeLayer> {
 public:
  BezierPath path;
  std::optional<Color> strokeColor;
  std::optional<Color> fillColor = Color{0, 0, 0, 1};
  double lineWidth = 1;
  LineJoin lineJoin = LineJoin::Miter;

  View* superlayerView() const { return owner_; }
  void removeFromSuperlayer();
  void draw(cairo_t* cr) const;

 private:
  friend class View;
  View* owner_ = nullptr;
};

}  // namespace platform::ui
