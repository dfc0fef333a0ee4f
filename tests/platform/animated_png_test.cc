// Animated PNG: the chunk sequence viewers rely on, valid checksums, each frame's pixels
// recoverable, and the first frame shown by viewers without animation.
#include <gtest/gtest.h>

#include <cairo.h>
#include <zlib.h>

#include <cmath>
#include <cstring>

#include "platform/animated_png.h"

namespace {

std::shared_ptr<platform::Image> Solid(int w, int h, double r, double g, double b) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, r, g, b);
  cairo_paint(cr);
  cairo_destroy(cr);
  auto image = platform::Image::imageWithSurface(s);
  cairo_surface_destroy(s);
  return image;
}

uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

struct Chunk {
  std::string type;
  std::vector<uint8_t> data;
};

std::vector<Chunk> Walk(const std::vector<uint8_t>& png) {
  std::vector<Chunk> out;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t n = U32(&png[at]);
    EXPECT_EQ(U32(&png[at + 8 + n]), uint32_t(crc32(0, &png[at + 4], n + 4))) << at;
    out.push_back({std::string(reinterpret_cast<const char*>(&png[at + 4]), 4),
                   {png.begin() + long(at + 8), png.begin() + long(at + 8 + n)}});
    at += 12 + n;
  }
  return out;
}

// A still PNG from the header and one frame's image data.
std::vector<uint8_t> Still(const std::vector<uint8_t>& ihdr, const std::vector<uint8_t>& idat) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto put = [&](const char* type, const std::vector<uint8_t>& d) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(d.size() >> s));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), d.begin(), d.end());
    const uint32_t crc = crc32(0, out.data() + start, uInt(out.size() - start));
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(crc >> s));
  };
  put("IHDR", ihdr);
  put("IDAT", idat);
  put("IEND", {});
  return out;
}

uint32_t Red(const platform::Image& image) {
  cairo_surface_flush(image.surface());
  return (reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(image.surface()))[0] >> 16) & 255;
}

TEST(AnimatedPngTest, FramesKeepTheirOrderTimesAndPixels) {
  platform::AnimatedPng anim;
  EXPECT_TRUE(anim.data().empty());
  std::string error;
  EXPECT_FALSE(anim.writeToFile("/tmp/never.png", &error));
  struct Case {
    double red, seconds;
    int width;
    bool added;
    uint16_t delayMs;
  } cases[] = {
      {1.0, 0.5, 8, true, 500},     {0.5, 100, 8, true, 65535}, {0.0, NAN, 8, true, 0},
      {0.2, 0.1, 9, false, 0},  // another size
      {0.25, -1, 8, true, 0},
  };
  std::vector<const Case*> added;
  for (const Case& k : cases) {
    EXPECT_EQ(anim.addFrame(*Solid(k.width, 6, k.red, 0.3, 0.3), k.seconds), k.added) << k.red;
    if (k.added) added.push_back(&k);
  }
  ASSERT_EQ(anim.frameCount(), added.size());
  const auto bytes = anim.data();
  const auto first = platform::Image::imageWithData(bytes);  // a still viewer's view
  ASSERT_TRUE(first);
  EXPECT_EQ(Red(*first), 255u);

  const auto chunks = Walk(bytes);
  ASSERT_GE(chunks.size(), 3u);
  EXPECT_EQ(chunks.front().type, "IHDR");
  EXPECT_EQ(chunks[1].type, "acTL");
  EXPECT_EQ(U32(&chunks[1].data[0]), added.size());
  EXPECT_EQ(chunks.back().type, "IEND");
  uint32_t sequence = 0;
  size_t frame = 0;
  std::vector<uint8_t> idat;
  auto finish = [&] {  // the frame just read decodes to its own colour
    if (idat.empty()) return;
    const auto still = platform::Image::imageWithData(Still(chunks[0].data, idat));
    ASSERT_TRUE(still) << frame;
    EXPECT_NEAR(Red(*still), std::lround(added[frame - 1]->red * 255), 1) << frame;
    idat.clear();
  };
  for (const auto& c : chunks) {
    if (c.type == "fcTL") {
      finish();
      EXPECT_EQ(U32(&c.data[0]), sequence++);
      EXPECT_EQ(U32(&c.data[4]), 8u);
      EXPECT_EQ(uint16_t(c.data[20] << 8 | c.data[21]), added[frame]->delayMs) << frame;
      ++frame;
    } else if (c.type == "IDAT") {
      EXPECT_EQ(frame, 1u);
      idat.insert(idat.end(), c.data.begin(), c.data.end());
    } else if (c.type == "fdAT") {
      EXPECT_GT(frame, 1u);
      EXPECT_EQ(U32(&c.data[0]), sequence++);
      idat.insert(idat.end(), c.data.begin() + 4, c.data.end());
    }
  }
  finish();
  EXPECT_EQ(frame, added.size());
}

}  // namespace
