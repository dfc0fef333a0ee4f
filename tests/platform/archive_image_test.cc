// Keyed archives and images: round trips, missing keys, and mutated input that must never crash.
#include <gtest/gtest.h>

#include <cairo.h>

#include <random>

#include "platform/image.h"
#include "platform/keyed_archiver.h"
#include "platform/testing.h"

namespace platform {
namespace {

struct Point {
  double x = 0, y = 0;
  static const char* className() { return "TestPoint"; }
  void encodeWithCoder(KeyedArchiver& c) const {
    c.encodeDouble(x, "x");
    c.encodeDouble(y, "y");
  }
  static std::shared_ptr<Point> initWithCoder(const KeyedUnarchiver& c) {
    auto p = std::make_shared<Point>();
    p->x = c.decodeDoubleForKey("x");
    p->y = c.decodeDoubleForKey("y");
    return p;
  }
};

struct Shape {
  int64_t id = 0;
  std::string name;
  float alpha = 0;
  bool closed = false;
  std::vector<uint8_t> blob;
  std::shared_ptr<Image> image;
  std::shared_ptr<Point> origin;
  std::vector<std::shared_ptr<Point>> points;
  std::shared_ptr<Shape> inner;
  static const char* className() { return "TestShape"; }
  void encodeWithCoder(KeyedArchiver& c) const {
    c.encodeInt(id, "id");
    c.encodeString(name, "name");
    c.encodeFloat(alpha, "alpha");
    c.encodeBool(closed, "closed");
    c.encodeData(blob, "blob");
    c.encodeImage(image, "image");
    c.encodeObject(origin, "origin");
    c.encodeArray(points, "points");
    c.encodeObject(inner, "inner");
  }
  static std::shared_ptr<Shape> initWithCoder(const KeyedUnarchiver& c) {
    auto s = std::make_shared<Shape>();
    s->id = c.decodeIntForKey("id");
    s->name = c.decodeStringForKey("name");
    s->alpha = c.decodeFloatForKey("alpha");
    s->closed = c.decodeBoolForKey("closed");
    s->blob = c.decodeDataForKey("blob");
    s->image = c.decodeImageForKey("image");
    s->origin = c.decodeObjectForKey<Point>("origin");
    s->points = c.decodeArrayForKey<Point>("points");
    s->inner = c.decodeObjectForKey<Shape>("inner");
    return s;
  }
};

// A small image with transparent, half-transparent and opaque pixels.
std::shared_ptr<Image> sampleImage(int w = 7, int h = 5) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgba(cr, 0.2, 0.4, 0.8, 1);
  cairo_rectangle(cr, 0, 0, w / 2.0, h);
  cairo_fill(cr);
  cairo_set_source_rgba(cr, 1, 0, 0, 0.5);
  cairo_rectangle(cr, 2, 1, 3, 2);
  cairo_fill(cr);
  cairo_destroy(cr);
  auto img = Image::imageWithSurface(s, 2);
  cairo_surface_destroy(s);
  return img;
}

std::vector<uint8_t> pixels(const Image& img) {
  cairo_surface_t* s = img.surface();
  cairo_surface_flush(s);
  auto* p = cairo_image_surface_get_data(s);
  return {p, p + size_t(cairo_image_surface_get_stride(s)) * img.pixelHeight()};
}

// Flips, overwrites, inserts or cuts bytes: the mutations every parser of outside input meets.
std::vector<uint8_t> mutate(std::vector<uint8_t> d, std::mt19937& rng) {
  int edits = 1 + int(rng() % 4);
  for (int e = 0; e < edits && !d.empty(); ++e) {
    size_t at = rng() % d.size();
    switch (rng() % 5) {
      case 0: d[at] ^= uint8_t(1u << (rng() % 8)); break;
      case 1: d[at] = uint8_t(rng()); break;
      case 2: d[at] = (rng() & 1) ? 0xFF : 0x00; break;
      case 3: d.insert(d.begin() + at, uint8_t(rng())); break;
      case 4: d.resize(at); break;
    }
  }
  return d;
}

std::shared_ptr<Shape> sampleShape() {
  auto s = std::make_shared<Shape>();
  s->id = -42;
  s->name = "Hall \xC3\xA9";
  s->alpha = 0.75f;
  s->closed = true;
  s->blob = {0, 1, 2, 255};
  s->image = sampleImage();
  s->origin = std::make_shared<Point>(Point{1.5, -2.25});
  for (int i = 0; i < 3; ++i) s->points.push_back(std::make_shared<Point>(Point{double(i), i * 0.5}));
  s->inner = std::make_shared<Shape>();
  s->inner->id = int64_t(1) << 40;
  return s;
}

TEST(KeyedArchiver, RoundTripKeepsEveryField) {
  testing::ScopedHome home;
  auto s = sampleShape();
  auto file = home.path() / "shape.archive";
  ASSERT_TRUE(KeyedArchiver::archiveRootObject(s, file));
  std::optional<Error> error;
  auto back = KeyedUnarchiver::unarchiveObjectWithFile<Shape>(file, &error);
  ASSERT_TRUE(back) << error->description();
  EXPECT_EQ(back->id, -42);
  EXPECT_EQ(back->name, s->name);
  EXPECT_FLOAT_EQ(back->alpha, 0.75f);
  EXPECT_TRUE(back->closed);
  EXPECT_EQ(back->blob, s->blob);
  ASSERT_TRUE(back->image);
  EXPECT_EQ(pixels(*back->image), pixels(*s->image));
  EXPECT_DOUBLE_EQ(back->image->scale(), 2);
  EXPECT_DOUBLE_EQ(back->origin->y, -2.25);
  ASSERT_EQ(back->points.size(), 3u);
  EXPECT_DOUBLE_EQ(back->points[2]->y, 1.0);
  ASSERT_TRUE(back->inner);
  EXPECT_EQ(back->inner->id, int64_t(1) << 40);
  EXPECT_FALSE(back->inner->inner);
}

TEST(KeyedArchiver, MissingKeysReadAsZeroAndWrongClassesAsNone) {
  auto empty = KeyedUnarchiver::unarchiveObjectWithData<Shape>(
      KeyedArchiver::archivedDataWithRootObject(std::make_shared<Shape>()));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->id, 0);
  EXPECT_EQ(empty->name, "");
  EXPECT_FALSE(empty->closed);
  EXPECT_TRUE(empty->blob.empty());
  EXPECT_FALSE(empty->image || empty->origin || empty->inner);
  EXPECT_TRUE(empty->points.empty());

  struct Case {
    std::vector<uint8_t> data;
    int64_t code;
  } cases[] = {
      {KeyedArchiver::archivedDataWithRootObject(std::make_shared<Point>()), 2},
      {{'b', 'p', 'l', 'i', 's', 't'}, 1},
      {{}, 1},
  };
  for (const auto& c : cases) {
    std::optional<Error> error;
    EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData<Shape>(c.data, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, c.code);
    EXPECT_EQ(error->description().rfind("Error Domain=MarvistoKeyedArchiverErrorDomain Code=", 0), 0u);
    EXPECT_FALSE(error->localizedDescription.empty());
  }
}

TEST(KeyedArchiver, MutatedArchivesNeverCrash) {
  auto good = KeyedArchiver::archivedDataWithRootObject(sampleShape());
  std::mt19937 rng(20261207);
  int decoded = 0;
  for (int i = 0; i < 3000; ++i) {
    if (auto s = KeyedUnarchiver::unarchiveObjectWithData<Shape>(mutate(good, rng))) ++decoded;
  }
  EXPECT_GT(decoded, 0);  // many mutations only touch values
}

// A binary property list of the given objects (object 0 on top), 4-byte offsets.
std::vector<uint8_t> bplist(const std::vector<std::vector<uint8_t>>& objects, uint8_t refSize) {
  std::vector<uint8_t> out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<uint64_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(out.size());
    out.insert(out.end(), o.begin(), o.end());
  }
  auto put = [&](uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
  };
  uint64_t table = out.size();
  for (auto off : offsets) put(off, 4);
  out.insert(out.end(), 6, 0);
  out.push_back(4);
  out.push_back(refSize);
  put(objects.size(), 8);
  put(0, 8);
  put(table, 8);
  return out;
}

std::vector<uint8_t> arrayOf(std::vector<uint32_t> refs) {
  std::vector<uint8_t> o{uint8_t(0xA0 | refs.size())};
  for (auto r : refs)
    for (int i = 3; i >= 0; --i) o.push_back(uint8_t(r >> (8 * i)));
  return o;
}

TEST(KeyedArchiver, HostileShapesAreRefusedNotFollowed) {
  std::vector<std::vector<uint8_t>> deep, doubling;
  for (uint32_t i = 0; i < 100000; ++i) deep.push_back(arrayOf({i + 1}));
  deep.push_back(arrayOf({}));
  for (uint32_t i = 0; i < 64; ++i) doubling.push_back(arrayOf({i + 1, i + 1}));
  doubling.push_back(arrayOf({}));
  std::vector<uint8_t> cases[] = {bplist({arrayOf({0})}, 4), bplist(deep, 4), bplist(doubling, 4)};
  for (const auto& c : cases) {
    std::optional<Error> error;
    EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData<Shape>(c, &error));
    EXPECT_EQ(error.value_or(Error{}).code, 1);
  }
}

TEST(Image, EncodeDecodeRoundTripsAndScaling) {
  auto img = sampleImage();
  EXPECT_EQ(img->pixelWidth(), 7);
  EXPECT_DOUBLE_EQ(img->width(), 3.5);
  auto png = Image::imageWithData(img->pngData());
  ASSERT_TRUE(png);
  EXPECT_EQ(pixels(*png), pixels(*img));

  auto jpg = Image::imageWithData(img->jpegData(0.9), 3);
  ASSERT_TRUE(jpg);
  EXPECT_EQ(jpg->pixelHeight(), 5);
  EXPECT_DOUBLE_EQ(jpg->height(), 5 / 3.0);
  // The opaque left edge survives the lossy trip closely.
  uint32_t px = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(jpg->surface()))[0];
  EXPECT_NEAR(int(px & 255), 204, 24);  // 4:2:0 chroma blurs a 7-pixel image

  auto big = img->scaledToSize(70, 50);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->pixelWidth(), 70);
  auto* bp = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(big->surface()));
  int bstride = cairo_image_surface_get_stride(big->surface()) / 4;
  EXPECT_EQ(bp[25 * bstride + 5] >> 24, 255u);  // the opaque left part, ten times wider
  EXPECT_EQ(bp[49 * bstride + 69] >> 24, 0u);   // the transparent bottom-right corner
  EXPECT_FALSE(img->scaledToSize(0, 5));

  cairo_surface_t* canvas = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 20, 20);
  cairo_t* cr = cairo_create(canvas);
  img->drawInRect(cr, 10, 10, 10, 10);
  cairo_destroy(cr);
  cairo_surface_flush(canvas);
  auto* data = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(canvas));
  int stride = cairo_image_surface_get_stride(canvas) / 4;
  EXPECT_EQ(data[0] >> 24, 0u);                    // outside the rectangle: untouched
  EXPECT_EQ(data[11 * stride + 11] >> 24, 255u);  // inside, the opaque left part
  cairo_surface_destroy(canvas);
}

// An opaque image shows where it landed: every pixel of the rectangle covered, none beside it,
// on both axes, whatever the scale.
TEST(Image, DrawInRectCoversExactlyItsRectangle) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 4, 3);
  cairo_t* paint = cairo_create(s);
  cairo_set_source_rgb(paint, 0.2, 0.4, 0.8);
  cairo_paint(paint);
  cairo_destroy(paint);
  auto img = Image::imageWithSurface(s, 2);
  cairo_surface_destroy(s);
  struct Case { int x, y, w, h; } cases[] = {{10, 10, 10, 10}, {3, 5, 8, 6}, {0, 17, 20, 3}, {1, 0, 4, 3}};
  for (const auto& c : cases) {
    cairo_surface_t* canvas = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 20, 20);
    cairo_t* cr = cairo_create(canvas);
    img->drawInRect(cr, c.x, c.y, c.w, c.h);
    cairo_destroy(cr);
    cairo_surface_flush(canvas);
    auto* data = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(canvas));
    const int stride = cairo_image_surface_get_stride(canvas) / 4;
    int wrong = 0;
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 20; ++x) {
        const bool inside = x >= c.x && x < c.x + c.w && y >= c.y && y < c.y + c.h;
        if (data[y * stride + x] >> 24 != (inside ? 255u : 0u) && wrong++ == 0)
          ADD_FAILURE() << "rect " << c.x << "," << c.y << " " << c.w << "x" << c.h << ": pixel " << x << "," << y;
      }
    EXPECT_EQ(wrong, 0);
    cairo_surface_destroy(canvas);
  }
}

TEST(Image, BrokenAndMutatedDataGiveNoneNeverACrash) {
  auto img = sampleImage(40, 30);
  std::vector<uint8_t> inputs[] = {img->pngData(), img->jpegData(0.8)};
  std::vector<std::vector<uint8_t>> broken = {{}, {0x89, 'P', 'N', 'G'}, {0xFF, 0xD8, 0xFF},
                                              {'G', 'I', 'F', '8', '9', 'a'}};
  for (const auto& b : broken) EXPECT_FALSE(Image::imageWithData(b));
  std::mt19937 rng(7);
  for (const auto& good : inputs) {
    broken.push_back({good.begin(), good.begin() + good.size() / 2});
    for (int i = 0; i < 1500; ++i) {
      auto out = Image::imageWithData(mutate(good, rng));
      if (out) {
        EXPECT_GT(out->pixelWidth(), 0);
      }
    }
  }
  EXPECT_FALSE(Image::imageWithData(broken[4]));  // a PNG cut in half
}

}  // namespace
}  // namespace platform
