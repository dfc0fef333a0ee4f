// Geometry and colour values of the user interface: points, sizes, rectangles, affine
// transforms (rotation, scale, translation) and RGBA colours. Plain values.
#pragma once

#include <algorithm>
#include <cmath>

namespace platform::ui {

struct Point {
  double x = 0, y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0, height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;
  Rect() = default;
  Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
  double minX() const { return origin.x; }
  double minY() const { return origin.y; }
  double maxX() const { return origin.x + size.width; }
  double maxY() const { return origin.y + size.height; }
  double midX() const { return origin.x + size.width * 0.5; }
  double midY() const { return origin.y + size.height * 0.5; }
  bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// x' = a x + c y + tx, y' = b x + d y + ty.
struct Transform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static Transform makeRotation(double angle) {
    const double s = std::sin(angle), k = std::cos(angle);
    return {k, s, -s, k, 0, 0};
  }
  static Transform makeScale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  static Transform makeTranslation(double x, double y) { return {1, 0, 0, 1, x, y}; }
  bool isIdentity() const { return *this == Transform{}; }

  Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  // This transform applied first, then `then`.
  Transform concat(const Transform& then) const {
    const Transform& t = then;
    return {a * t.a + b * t.c, a * t.b + b * t.d, c * t.a + d * t.c,
            c * t.b + d * t.d, tx * t.a + ty * t.c + t.tx, tx * t.b + ty * t.d + t.ty};
  }
  // Identity when singular.
  Transform inverted() const {
    const double det = a * d - b * c;
    if (det == 0 || !std::isfinite(det)) return {};
    return {d / det, -b / det, -c / det, a / det, (c * ty - d * tx) / det, (b * tx - a * ty) / det};
  }
  friend bool operator==(const Transform&, const Transform&) = default;
};

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
  // Components 0..255, alpha 0..1.
  static Color rgb(int r, int g, int b, double alpha = 1) { return {r / 255.0, g / 255.0, b / 255.0, alpha}; }
  static Color clear() { return {0, 0, 0, 0}; }
  friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace platform::ui
