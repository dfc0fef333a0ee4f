#include "wifipos/navigation_map/bmp_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "map_fixtures.h"

namespace {

using mapfx::makeBitmap;
using mapfx::putLe;

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

int load(BmpState& state, const std::string& file, double widthMeters, double heightMeters) {
  return state.readFromBuffer(bytes(file), file.size(), widthMeters, heightMeters);
}

TEST(BmpStateTest, RowStrideAndScaleFollowTheHeader) {
  const struct {
    int width;
    int stride;
  } cases[] = {{10, 4}, {32, 4}, {33, 8}, {64, 8}, {65, 12}};
  for (const auto& c : cases) {
    BmpState state;
    ASSERT_EQ(load(state, mapfx::bitmapAllWalkable(c.width, 3), 2.0, 0.5), 0) << c.width;
    EXPECT_EQ(state.getStride(), c.stride) << c.width;
    EXPECT_EQ(state.getPixels().size(), static_cast<size_t>(3 * c.stride));
    EXPECT_DOUBLE_EQ(state.getKx(), c.width / 2.0);
    EXPECT_DOUBLE_EQ(state.getKy(), 6.0);
    EXPECT_EQ(state.getNColours(), 2);
    EXPECT_EQ(state.getPalette().size(), 2u);
  }
}

TEST(BmpStateTest, PointsAddressBitsMostSignificantFirstAndRowsFromTheBottom) {
  // 16 x 2 pixels over 1.6 x 0.2 m: ten pixels per metre both ways.
  const struct {
    double x, y;
    int column, row;
  } cases[] = {{0.05, 0.05, 0, 0}, {0.75, 0.0, 7, 0}, {0.85, 0.0, 8, 0}, {0.0, 0.15, 0, 1},
               {1.59, 0.19, 15, 1}};
  for (const auto& c : cases) {
    const std::string file =
        makeBitmap(16, 2, [&](int col, int row) { return col == c.column && row == c.row; });
    BmpState state;
    ASSERT_EQ(load(state, file, 1.6, 0.2), 0);
    EXPECT_FALSE(state.checkPixelColor(c.x, c.y)) << c.x << "," << c.y;
    EXPECT_FALSE(state.checkBordersAndPixelColor(c.x, c.y));
    const int byteIndex = c.row * 4 + c.column / 8;
    EXPECT_EQ(state.getPixels()[byteIndex], 0x80 >> (c.column % 8));
    // Every other pixel is a wall.
    EXPECT_TRUE(state.checkPixelColor(c.x + (c.column == 15 ? -0.1 : 0.1), c.y));
  }
}

TEST(BmpStateTest, PointsOutsideThePictureAreBlocked) {
  BmpState state;
  ASSERT_EQ(load(state, mapfx::bitmapAllWalkable(10, 10), 1.0, 1.0), 0);
  // Less than one pixel left of or below the picture truncates into column/row 0.
  EXPECT_FALSE(state.checkBordersAndPixelColor(-0.05, 0.5));
  EXPECT_FALSE(state.checkBordersAndPixelColor(0.5, -0.09));
  EXPECT_TRUE(state.checkBordersAndPixelColor(-0.1, 0.5));
  EXPECT_TRUE(state.checkBordersAndPixelColor(0.5, -0.1));
  EXPECT_FALSE(state.checkBordersAndPixelColor(0.99, 0.99));
  EXPECT_TRUE(state.checkBordersAndPixelColor(1.0, 0.5));
  EXPECT_TRUE(state.checkBordersAndPixelColor(0.5, 1.0));
  EXPECT_TRUE(state.checkBordersAndPixelColor(1e300, 0.5));
  EXPECT_TRUE(state.checkBordersAndPixelColor(0.5, -1e300));
}

TEST(BmpStateTest, NonFiniteCoordinatesAreNeverWalkable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  BmpState state;
  ASSERT_EQ(load(state, mapfx::bitmapAllWalkable(10, 10), 1.0, 1.0), 0);
  mapfx::LogCapture log;
  for (double bad : {nan, inf, -inf}) {
    EXPECT_TRUE(state.checkPixelColor(bad, 0.5));
    EXPECT_TRUE(state.checkPixelColor(0.5, bad));
    EXPECT_TRUE(state.checkBordersAndPixelColor(bad, 0.5));
    EXPECT_TRUE(state.checkBordersAndPixelColor(0.5, bad));
  }
  EXPECT_TRUE(log.contains("std::isnan or std::isinf in X-coordinate"));
  EXPECT_TRUE(log.contains("std::isnan or std::isinf in Y-coordinate"));
  // Huge finite values must not reach an integer conversion either.
  EXPECT_TRUE(state.checkPixelColor(1e300, 0.5));
  EXPECT_TRUE(state.checkPixelColor(0.5, -1e300));
}

TEST(BmpStateTest, EmptyOrUnscaledPicturesBlockEverything) {
  {
    BmpState state;  // never loaded
    EXPECT_TRUE(state.checkPixelColor(0.0, 0.0));
    EXPECT_TRUE(state.checkBordersAndPixelColor(0.0, 0.0));
  }
  {
    mapfx::LogCapture log;
    BmpState state;
    ASSERT_EQ(load(state, mapfx::bitmapAllWalkable(0, 4), 1.0, 1.0), 0);
    EXPECT_TRUE(state.checkBordersAndPixelColor(0.0, 0.0));
    EXPECT_TRUE(state.checkPixelColor(0.0, 0.0));
    EXPECT_TRUE(log.contains("Error: bmp width or height <= 0\n"));
  }
  {
    // A floor without a size gives infinite or undefined scales.
    BmpState state;
    ASSERT_EQ(load(state, mapfx::bitmapAllWalkable(8, 8), 0.0, 0.0), 0);
    EXPECT_TRUE(state.checkBordersAndPixelColor(0.0, 0.0));
    EXPECT_TRUE(state.checkBordersAndPixelColor(0.5, 0.5));
    EXPECT_TRUE(state.checkPixelColor(0.5, 0.5));
  }
}

TEST(BmpStateTest, TopDownPictureReadsLikeTheSameBottomUpPicture) {
  auto pattern = [](int c, int r) { return (c * 7 + r * 3) % 5 < 2; };
  BmpState up;
  BmpState down;
  ASSERT_EQ(load(up, makeBitmap(21, 13, pattern), 2.1, 1.3), 0);
  ASSERT_EQ(load(down, makeBitmap(21, 13, pattern, true), 2.1, 1.3), 0);
  EXPECT_EQ(down.getInfoHeader().biHeight, 13);
  EXPECT_EQ(up.getPixels(), down.getPixels());
  for (int r = 0; r < 13; ++r) {
    for (int c = 0; c < 21; ++c) {
      const double x = (c + 0.5) / 10.0;
      const double y = (r + 0.5) / 10.0;
      EXPECT_EQ(down.checkBordersAndPixelColor(x, y), !pattern(c, r)) << c << "," << r;
    }
  }
}

TEST(BmpStateTest, PaletteColoursDoNotChangeWhatABitMeans) {
  std::string file = makeBitmap(8, 1, [](int c, int) { return c == 0; });
  putLe(file, 54, 0x00ffffff, 4);  // entry 0 white
  putLe(file, 58, 0x00000000, 4);  // entry 1 black
  BmpState state;
  ASSERT_EQ(load(state, file, 0.8, 0.1), 0);
  EXPECT_EQ(state.getPalette()[0].red, 0xff);
  EXPECT_EQ(state.getPalette()[1].red, 0x00);
  EXPECT_FALSE(state.checkPixelColor(0.05, 0.05));
  EXPECT_TRUE(state.checkPixelColor(0.15, 0.05));
}

TEST(BmpStateTest, PixelDataIsTakenFromTheDeclaredOffset) {
  // A writer that leaves a gap after the colour table.
  std::string file = makeBitmap(8, 2, [](int c, int r) { return r == 1 && c == 3; });
  file.insert(62, std::string(10, '\xff'));
  putLe(file, 10, 72, 4);
  BmpState state;
  ASSERT_EQ(load(state, file, 0.8, 0.2), 0);
  EXPECT_TRUE(state.checkPixelColor(0.05, 0.05));
  EXPECT_FALSE(state.checkPixelColor(0.35, 0.15));
}

TEST(BmpStateTest, RejectsBitmapsThatAreNotCompleteOneBitPictures) {
  const std::string good = mapfx::bitmapAllWalkable(40, 30);
  auto edited = [&](size_t at, uint32_t value, int width) {
    std::string s = good;
    putLe(s, at, value, width);
    return s;
  };
  const struct {
    const char* what;
    std::string file;
    const char* message;
  } cases[] = {
      {"shorter than an info header", good.substr(0, 39), "BMP File info header corrupted\n"},
      {"headers cut short", good.substr(0, 53), "BMP File info header corrupted\n"},
      {"8 bits", edited(28, 8, 2), "bad numbofcolours=256 at BMB file, biBitcount=8"},
      {"24 bits", edited(28, 24, 2), "bad numbofcolours=16777216 at BMB file, biBitcount=24"},
      {"0 bits", edited(28, 0, 2), "bad numbofcolours=1 at BMB file, biBitcount=0"},
      {"compressed", edited(30, 1, 4), "compression not valid\n"},
      {"pixel rows cut short", good.substr(0, good.size() - 1), "truncated"},
      {"colour table cut short", good.substr(0, 60), "info header size"},
      {"info header too small", edited(14, 12, 4), "info header size"},
      {"info header beyond the file", edited(14, 0xfffffff0u, 4), "info header size"},
      {"pixels before the colour table", edited(10, 20, 4), "offset"},
      {"pixels beyond the file", edited(10, 0xffffffffu, 4), "offset"},
      {"negative width", edited(18, static_cast<uint32_t>(-40), 4), "out of range"},
      {"height of the most negative int", edited(22, 0x80000000u, 4), "out of range"},
      {"enormous picture", edited(18, 0x7fffffffu, 4), "out of range"},
      {"rows times stride beyond the file", edited(22, 100000, 4), "truncated"},
  };
  for (const auto& c : cases) {
    mapfx::LogCapture log;
    BmpState state;
    EXPECT_EQ(load(state, c.file, 4.0, 3.0), 10) << c.what;
    EXPECT_TRUE(log.contains(c.message)) << c.what << "\n" << log.text();
    EXPECT_TRUE(state.getPixels().empty()) << c.what;
    EXPECT_TRUE(state.checkBordersAndPixelColor(0.5, 0.5)) << c.what;
  }
  BmpState state;
  EXPECT_EQ(state.readFromBuffer(nullptr, 0, 1.0, 1.0), 10);
}

TEST(BmpStateTest, CopiesAndClearResetEverything) {
  BmpState state;
  ASSERT_EQ(load(state, mapfx::bitmapAllWalkable(9, 9), 0.9, 0.9), 0);
  state.getMarkedPixels() = state.getPixels();
  BmpState copy = state;
  EXPECT_EQ(copy.getPixels(), state.getPixels());
  EXPECT_EQ(copy.getMarkedPixels(), state.getPixels());
  EXPECT_FALSE(copy.checkBordersAndPixelColor(0.45, 0.45));
  EXPECT_EQ(state.clear(), 0);
  EXPECT_TRUE(state.getPixels().empty());
  EXPECT_TRUE(state.getMarkedPixels().empty());
  EXPECT_TRUE(state.getPalette().empty());
  EXPECT_EQ(state.getInfoHeader().biWidth, 0);
  EXPECT_EQ(state.getFileHeader().bfOffBits, 0u);
  EXPECT_EQ(state.getStride(), 0);
  EXPECT_EQ(state.getKx(), 0.0);
  EXPECT_TRUE(state.checkBordersAndPixelColor(0.45, 0.45));
  EXPECT_FALSE(copy.checkBordersAndPixelColor(0.45, 0.45));  // the copy is independent
}

TEST(BmpStateTest, MutatedBitmapsNeverReadOutsideTheirBytes) {
  mapfx::QuietLog quiet;
  std::mt19937 rng(1350);
  const std::string seeds[] = {mapfx::bitmapAllWalkable(33, 7),
                               makeBitmap(16, 5, [](int c, int r) { return c > r; }, true)};
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string file = seeds[i % 2];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      // Mostly header edits: that is where sizes and offsets live.
      if (rng() % 3 != 0 && file.size() >= 62) {
        file[rng() % 62] = static_cast<char>(rng() & 0xff);
      } else {
        file = mapfx::mutate(file, rng);
      }
    }
    // An exact-size heap copy lets the sanitizer see any read past the end.
    std::vector<unsigned char> exact(file.begin(), file.end());
    BmpState state;
    const int code = state.readFromBuffer(exact.data(), exact.size(), 3.3, 0.7);
    ASSERT_TRUE(code == 0 || code == 10);
    if (code == 0) {
      ++accepted;
      const auto& info = state.getInfoHeader();
      EXPECT_GE(exact.size(), 62u + state.getPixels().size());
      EXPECT_EQ(state.getPixels().size(),
                static_cast<size_t>(info.biHeight) * static_cast<size_t>(state.getStride()));
    }
    for (double x : {-0.5, 0.0, 0.3, 1.7, 3.29, 4.0}) {
      for (double y : {-0.1, 0.0, 0.35, 0.69, 2.0}) {
        state.checkBordersAndPixelColor(x, y);
        state.checkPixelColor(x, y);
      }
    }
  }
  EXPECT_GT(accepted, 100);  // the mutations did not all die at the first check
}

}  // namespace
