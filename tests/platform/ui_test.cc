// The user-interface stand-in: geometry under transforms and zoom, action order, where a
// synthetic touch goes, and what the renderer paints (colours probed at computed points).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "platform/ui_gesture.h"
#include "platform/ui_probe.h"
#include "platform/ui_render.h"
#include "platform/ui_view.h"

namespace {

using namespace platform::ui;

using ui_probe::PixelAt;
using ui_probe::Rgba;

void ExpectColor(const Rgba& got, const Color& want, const char* where) {
  SCOPED_TRACE(where);
  EXPECT_NEAR(got.r, want.red * 255, 3);
  EXPECT_NEAR(got.g, want.green * 255, 3);
  EXPECT_NEAR(got.b, want.blue * 255, 3);
  EXPECT_NEAR(got.a, want.alpha * 255, 3);
}

void ExpectRect(Rect got, Rect want) {
  EXPECT_NEAR(got.minX(), want.minX(), 1e-9);
  EXPECT_NEAR(got.minY(), want.minY(), 1e-9);
  EXPECT_NEAR(got.size.width, want.size.width, 1e-9);
  EXPECT_NEAR(got.size.height, want.size.height, 1e-9);
}

TEST(UiViewTest, ZoomIsHeldToItsLimitsAndPointsMapThroughIt) {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 568));
  auto sv = std::make_shared<ScrollView>(Rect(0, 0, 320, 568));
  auto content = std::make_shared<ImageView>();
  content->setFrame({0, 0, 400, 600});
  sv->addSubview(content);
  root->addSubview(sv);
  auto delegate = std::make_shared<ScrollViewDelegate>();
  delegate->viewForZoomingInScrollView = [content] { return content; };
  sv->setDelegate(delegate);
  sv->setMinimumZoomScale(1.0);
  sv->setMaximumZoomScale(5.0);
  struct Case {
    double request, zoom;
  } cases[] = {{2.0, 2.0}, {7.5, 5.0}, {0.2, 1.0}, {5.0, 5.0}, {1.0, 1.0}};
  for (const Case& k : cases) {
    sv->setZoomScale(k.request, true);
    EXPECT_DOUBLE_EQ(sv->zoomScale(), k.zoom) << k.request;
    EXPECT_DOUBLE_EQ(sv->contentSize().width, 400 * k.zoom);
    ExpectRect(content->frame(), {0, 0, 400 * k.zoom, 600 * k.zoom});
    ExpectRect(content->bounds(), {0, 0, 400, 600});
  }
  sv->setZoomScale(2.0);
  sv->setContentOffset({100, 5000});  // y held to the content's end
  EXPECT_DOUBLE_EQ(sv->contentOffset().y, 1200 - 568);
  const Point inContent = root->convertPoint({60, 68}, content.get());
  EXPECT_NEAR(inContent.x, (60 + 100) / 2.0, 1e-9);
  EXPECT_NEAR(inContent.y, (68 + 1200 - 568) / 2.0, 1e-9);
  const Point back = content->convertPoint(inContent, root.get());
  EXPECT_NEAR(back.x, 60, 1e-9);
  EXPECT_NEAR(back.y, 68, 1e-9);
  // Removing a view its parent alone held leaves neither dangling.
  content->removeFromSuperview();
  EXPECT_TRUE(sv->subviews().empty());
  EXPECT_EQ(content->superview(), nullptr);
}

TEST(UiViewTest, TouchesGoToLongPressButtonOrTapInThatOrder) {
  auto root = std::make_shared<View>(Rect(0, 0, 200, 200));
  auto area = std::make_shared<View>(Rect(0, 0, 200, 200));
  root->addSubview(area);
  auto button = std::make_shared<Button>(Rect(10, 10, 40, 40));
  area->addSubview(button);
  auto hidden = std::make_shared<Button>(Rect(100, 100, 40, 40));
  hidden->setHidden(true);
  area->addSubview(hidden);
  auto owner = std::make_shared<int>(0);
  std::vector<std::string> heard;
  button->addTarget(owner, "first", [&](Button&) { heard.push_back("first"); });
  button->addTarget(owner, "second", [&](Button& b) {
    heard.push_back("second");
    // Added while the actions run: runs from the next touch on.
    b.addTarget(owner, "third", [&](Button&) { heard.push_back("third"); });
  });
  {
    auto gone = std::make_shared<int>(0);
    button->addTarget(gone, "gone", [&](Button&) { heard.push_back("gone"); });
  }
  hidden->addTarget(owner, "hidden", [&](Button&) { heard.push_back("hidden"); });
  auto press = std::make_shared<LongPressGestureRecognizer>();
  press->setMinimumPressDuration(1.0);
  press->setTarget(owner, [&](GestureRecognizer& r) {
    const Point p = r.locationInView(area.get());
    heard.push_back("press " + std::to_string(int(r.state())) + " " + std::to_string(int(p.x)));
  });
  auto tap = std::make_shared<TapGestureRecognizer>();
  tap->setTarget(owner, [&](GestureRecognizer& r) { heard.push_back("tap " + std::to_string(int(r.state()))); });
  area->addGestureRecognizer(press);
  area->addGestureRecognizer(tap);

  struct Case {
    const char* name;
    Point at;
    double seconds;
    std::vector<std::string> heard;
  } cases[] = {
      {"tap on the button", {20, 20}, 0.1, {"first", "second"}},
      {"again, with the action it gained", {20, 20}, 0.1, {"first", "second", "third"}},
      {"long press on the button", {20, 20}, 1.0, {"press 1 20", "press 3 20"}},
      {"short of the press duration", {150, 30}, 0.99, {"tap 3"}},
      {"on the hidden button", {110, 110}, 0.1, {"tap 3"}},
      {"outside everything", {500, 500}, 0.1, {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    heard.clear();
    touch(*root, k.at, k.seconds);
    EXPECT_EQ(heard, k.heard);
    EXPECT_EQ(press->state(), GestureState::Possible);
  }
  EXPECT_EQ(button->actionNames(), (std::vector<std::string>{"first", "second", "gone", "third", "third"}));
}

TEST(UiRenderTest, PaintsBackgroundsAlphaCornersLayersAndSkipsHidden) {
  const Color white{1, 1, 1, 1}, red = Color::rgb(255, 0, 0), blue = Color::rgb(74, 173, 212);
  auto root = std::make_shared<View>(Rect(0, 0, 100, 100));
  root->setBackgroundColor(white);
  auto round = std::make_shared<View>(Rect(10, 10, 40, 40));
  round->setBackgroundColor(red);
  round->setCornerRadius(20);
  root->addSubview(round);
  auto faint = std::make_shared<View>(Rect(60, 10, 30, 30));
  faint->setBackgroundColor(Color{0, 0, 0, 1});
  faint->setAlpha(0.5);
  root->addSubview(faint);
  auto hidden = std::make_shared<View>(Rect(60, 60, 30, 30));
  hidden->setBackgroundColor(red);
  hidden->setHidden(true);
  root->addSubview(hidden);
  auto layer = std::make_shared<ShapeLayer>();
  layer->path.moveToPoint({10, 70});
  layer->path.addLineToPoint({30, 70});
  layer->path.moveToPoint({40, 90});
  layer->path.addLineToPoint({50, 90});
  layer->strokeColor = blue;
  layer->fillColor = Color::clear();
  layer->lineWidth = 2;
  layer->lineJoin = LineJoin::Round;
  root->addSublayer(layer);
  // A rotated bar: 40 wide, 4 high, turned upright about its centre (75, 75).
  auto bar = std::make_shared<View>(Rect(55, 73, 40, 4));
  bar->setBackgroundColor(red);
  bar->setTransform(Transform::makeRotation(M_PI / 2));
  root->addSubview(bar);

  const auto image = renderView(*root, 2);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelWidth(), 200);
  struct Probe {
    const char* where;
    Point at;
    Color want;
  } probes[] = {
      {"round's centre", {30, 30}, red},
      {"round's corner, cut off", {11, 11}, white},
      {"half-transparent black over white", {75, 25}, {0.5, 0.5, 0.5, 1}},
      {"hidden view", {65, 88}, white},
      {"first segment", {20, 70}, blue},
      {"second segment", {45, 90}, blue},
      {"no segment across the gap", {35, 80}, white},
      {"rotated bar, upright", {75, 60}, red},
      {"rotated bar, not lying", {60, 75}, white},
  };
  for (const Probe& p : probes) ExpectColor(PixelAt(*image, p.at.x, p.at.y), p.want, p.where);

  std::string error;
  EXPECT_FALSE(writePng(*root, "/nonexistent-dir/x.png", &error));
  EXPECT_FALSE(error.empty());
  const auto file = std::filesystem::temp_directory_path() / "ui_render_test.png";
  ASSERT_TRUE(writePng(*root, file, &error)) << error;
  const auto read = platform::Image::imageWithContentsOfFile(file);
  std::filesystem::remove(file);
  ASSERT_TRUE(read);
  ExpectColor(PixelAt(*read, 30, 30), red, "read back");
  EXPECT_FALSE(renderView(View(Rect(0, 0, 0, 10))));
}


// Geometry that cairo cannot draw (non-finite, singular, or so far out that an arc of its
// radius never ends) is left out, and what comes after it is still drawn.
TEST(UiRenderTest, AbsurdGeometryIsSkippedAndTheRestStillDrawn) {
  const double inf = HUGE_VAL, nan = std::nan("");
  const Color white{1, 1, 1, 1}, red = Color::rgb(255, 0, 0), green = Color::rgb(0, 200, 0);
  struct Case {
    const char* name;
    Rect frame;
    double cornerRadius;
    Transform transform;
    std::vector<Point> line;
    double lineWidth;
    bool clamped = false;  // drawn, its radius held to half its side
  } cases[] = {
      {"huge round view", {-5e29, -5e29, 1e30, 1e30}, 1e30, {}, {}, 1},
      {"radius infinite", {10, 10, 20, 20}, inf, {}, {}, 1, true},
      {"centre at infinity", {inf, 10, 20, 20}, 0, {}, {}, 1},
      {"size not a number", {10, 10, nan, 20}, 5, {}, {}, 1},
      {"flattened to nothing", {10, 10, 20, 20}, 0, Transform::makeScale(0, 1), {}, 1},
      {"scaled beyond reach", {10, 10, 20, 20}, 10, Transform::makeScale(1e30, 1e30), {}, 1},
      {"line out to 1e30", {}, 0, {}, {{10, 10}, {1e30, 1e30}}, 2},
      {"line through infinity", {}, 0, {}, {{10, 10}, {inf, 20}}, 2},
      {"line of infinite width", {}, 0, {}, {{10, 10}, {60, 10}}, inf},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto root = std::make_shared<View>(Rect(0, 0, 100, 100));
    root->setBackgroundColor(white);
    if (k.line.empty()) {
      auto v = std::make_shared<View>(k.frame);
      v->setBackgroundColor(red);
      v->setCornerRadius(k.cornerRadius);
      v->setTransform(k.transform);
      root->addSubview(v);
    } else {
      auto layer = std::make_shared<ShapeLayer>();
      layer->path.moveToPoint(k.line[0]);
      for (size_t i = 1; i < k.line.size(); ++i) layer->path.addLineToPoint(k.line[i]);
      layer->strokeColor = red;
      layer->lineWidth = k.lineWidth;
      root->addSublayer(layer);
    }
    auto after = std::make_shared<View>(Rect(70, 70, 20, 20));
    after->setBackgroundColor(green);
    after->setCornerRadius(4);
    root->addSubview(after);
    const auto image = renderView(*root);
    ASSERT_TRUE(image);
    ExpectColor(PixelAt(*image, 80, 80), green, "drawn after it");
    ExpectColor(PixelAt(*image, 20, 20), k.clamped ? red : white, "its place");
    ExpectColor(PixelAt(*image, 11, 11), white, "outside its round corner, if any");
    ExpectColor(PixelAt(*image, 50, 50), white, "nothing of it, mid-way");
  }
}

}  // namespace
