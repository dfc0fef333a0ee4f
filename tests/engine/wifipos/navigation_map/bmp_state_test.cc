#include "wifipos/navigation_map/bmp_state.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>
#include <random>
#include <string>

#include "map_fixtures.h"

namespace {

using mapfx::makeBitmap;
using mapfx::putLe;

int load(BmpState& state, const std::string& file, double widthMeters, double heightMeters) {
  return state.readFromBuffer(reinterpret_cast<const unsigned char*>(file.data()), file.size(),
                              widthMeters, heightMeters);
}

TEST(BmpStateTest, OutsideNonFiniteAndUnscaledPointsAreBlocked) {
  BmpState state;
  ASSERT_EQ(load(state, mapfx::openBitmap(10, 10), 1.0, 1.0), 0);
  // Less than a pixel left of or below the picture truncates into column/row 0.
  EXPECT_FALSE(state.checkBordersAndPixelColor(-0.05, 0.5));
  EXPECT_FALSE(state.checkBordersAndPixelColor(0.5, -0.09));
  EXPECT_FALSE(state.checkBordersAndPixelColor(0.99, 0.99));
  for (const auto& [x, y] : {std::pair{-0.1, 0.5}, {0.5, -0.1}, {1.0, 0.5}, {0.5, 1.0},
                             {1e300, 0.5}, {0.5, -1e300}}) {
    EXPECT_TRUE(state.checkBordersAndPixelColor(x, y)) << x << "," << y;
  }
  EXPECT_TRUE(state.checkPixelColor(1e300, 0.5));  // no out-of-range integer conversion
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  {
    LogCapture log(13);
    for (double bad : {nan, inf, -inf}) {
      EXPECT_TRUE(state.checkPixelColor(bad, 0.5));
      EXPECT_TRUE(state.checkPixelColor(0.5, bad));
      EXPECT_TRUE(state.checkBordersAndPixelColor(bad, 0.5));
      EXPECT_TRUE(state.checkBordersAndPixelColor(0.5, bad));
    }
    EXPECT_TRUE(log.contains("std::isnan or std::isinf in X-coordinate"));
    EXPECT_TRUE(log.contains("std::isnan or std::isinf in Y-coordinate"));
  }
  BmpState empty;
  EXPECT_TRUE(empty.checkPixelColor(0.0, 0.0));
  ASSERT_EQ(load(empty, mapfx::openBitmap(0, 4), 1.0, 1.0), 0);
  {
    LogCapture log(13);
    EXPECT_TRUE(empty.checkBordersAndPixelColor(0.0, 0.0));
    EXPECT_TRUE(log.contains("Error: bmp width or height <= 0\n"));
  }
  BmpState sizeless;  // a floor of size 0 gives infinite or undefined scales
  ASSERT_EQ(load(sizeless, mapfx::openBitmap(8, 8), 0.0, 0.0), 0);
  EXPECT_TRUE(sizeless.checkBordersAndPixelColor(0.0, 0.0));
  EXPECT_TRUE(sizeless.checkPixelColor(0.5, 0.5));
}

TEST(BmpStateTest, TopDownAndOffsetPicturesReadLikePlainOnes) {
  auto pattern = [](int c, int r) { return (c * 7 + r * 3) % 5 < 2; };
  BmpState up;
  BmpState down;
  ASSERT_EQ(load(up, makeBitmap(21, 13, pattern), 2.1, 1.3), 0);
  ASSERT_EQ(load(down, makeBitmap(21, 13, pattern, true), 2.1, 1.3), 0);
  EXPECT_EQ(down.getInfoHeader().biHeight, 13);
  EXPECT_EQ(up.getPixels(), down.getPixels());
  for (int r = 0; r < 13; ++r) {
    for (int c = 0; c < 21; ++c) {
      EXPECT_EQ(down.checkBordersAndPixelColor((c + 0.5) / 10, (r + 0.5) / 10), !pattern(c, r));
    }
  }
  // A writer that leaves a gap between the colour table and the pixels.
  std::string gap = makeBitmap(21, 13, pattern);
  gap.insert(62, std::string(10, '\xff'));
  putLe(gap, 10, 72, 4);
  BmpState shifted;
  ASSERT_EQ(load(shifted, gap, 2.1, 1.3), 0);
  EXPECT_EQ(shifted.getPixels(), up.getPixels());

  // Headers whose sizes or offsets cannot be used are read as a plain file
  // is: colours after a 40-byte header, pixels at byte 62.
  const std::string plain = makeBitmap(21, 13, pattern);
  for (const auto& [at, value] : std::vector<std::pair<size_t, uint32_t>>{
           {14, 12}, {14, 0}, {14, 0xfffffff0u}, {10, 0}, {10, 20}, {10, 0xffffffffu}}) {
    std::string odd = plain;
    putLe(odd, at, value, 4);
    BmpState read;
    ASSERT_EQ(load(read, odd, 2.1, 1.3), 0) << at << " " << value;
    EXPECT_EQ(read.getPixels(), up.getPixels()) << at << " " << value;
  }
}

TEST(BmpStateTest, RejectsWhatIsNotACompleteOneBitPicture) {
  const std::string good = mapfx::openBitmap(40, 30);
  auto edited = [&](size_t at, uint32_t value, int width) {
    std::string s = good;
    putLe(s, at, value, width);
    return s;
  };
  const struct {
    std::string file;
    const char* message;
  } cases[] = {
      {good.substr(0, 39), "BMP File info header corrupted\n"},
      {good.substr(0, 53), "BMP File info header corrupted\n"},
      {edited(28, 8, 2), "bad numbofcolours=256 at BMB file, biBitcount=8"},
      {edited(28, 24, 2), "bad numbofcolours=16777216 at BMB file, biBitcount=24"},
      {edited(28, 0, 2), "bad numbofcolours=1 at BMB file, biBitcount=0"},
      {edited(30, 1, 4), "compression not valid\n"},
      {good.substr(0, good.size() - 1), "truncated"},
      {good.substr(0, 60), "colour table missing"},
      {edited(18, static_cast<uint32_t>(-40), 4), "out of range"},
      {edited(22, 0x80000000u, 4), "out of range"},
      {edited(18, 0x7fffffffu, 4), "out of range"},
      {edited(22, 100000, 4), "truncated"},
  };
  for (const auto& c : cases) {
    LogCapture log(13);
    BmpState state;
    EXPECT_EQ(load(state, c.file, 4.0, 3.0), 10) << c.message;
    EXPECT_TRUE(log.contains(c.message)) << c.message;
    EXPECT_TRUE(state.getPixels().empty());
    EXPECT_TRUE(state.checkBordersAndPixelColor(0.5, 0.5));
  }
}

TEST(BmpStateTest, MutatedBitmapsNeverReadOutsideTheirBytes) {
  std::mt19937 rng(1350);
  const std::string seeds[] = {mapfx::openBitmap(33, 7),
                               makeBitmap(16, 5, [](int c, int r) { return c > r; }, true)};
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string file = seeds[i % 2];
    for (int e = 1 + static_cast<int>(rng() % 4); e > 0; --e) {
      // Mostly header edits: that is where the sizes and offsets live.
      if (rng() % 3 != 0 && file.size() >= 62) {
        file[rng() % 62] = static_cast<char>(rng());
      } else {
        file = mapfx::mutate(file, rng);
      }
    }
    // An exact-size heap copy lets the sanitizer see a read past the end.
    std::vector<unsigned char> exact(file.begin(), file.end());
    BmpState state;
    const int code = state.readFromBuffer(exact.data(), exact.size(), 3.3, 0.7);
    ASSERT_TRUE(code == 0 || code == 10);
    if (code == 0) {
      ++accepted;
      EXPECT_EQ(state.getPixels().size(),
                static_cast<size_t>(state.getInfoHeader().biHeight * state.getStride()));
    }
    for (double x : {-0.5, 0.0, 1.7, 3.29, 4.0}) {
      for (double y : {-0.1, 0.0, 0.69, 2.0}) {
        state.checkBordersAndPixelColor(x, y);
        state.checkPixelColor(x, y);
      }
    }
  }
  EXPECT_GT(accepted, 100);  // the mutations do not all stop at the first check
}

}  // namespace
