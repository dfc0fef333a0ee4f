#include "wifipos/navigation_map/bmp_state.h"

#include <cmath>
#include <cstring>

#include "server/utils.h"

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kMinInfoHeaderSize = 40;
constexpr size_t kHeadersEnd = kFileHeaderSize + kMinInfoHeaderSize;  // 54
constexpr size_t kPaletteEntries = 2;
constexpr size_t kPaletteBytes = 4 * kPaletteEntries;
// Where a plain one-bit file (40-byte info header, two colours) keeps its
// pixels; also where they are looked for when the header's own offset
// cannot be used.
constexpr uint64_t kPlainPixelsStart = kHeadersEnd + kPaletteBytes;  // 62
// Far beyond any floor plan, small enough that no row or byte index overflows.
constexpr int64_t kMaxSide = int64_t{1} << 20;

uint16_t readU16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t readU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

int BitMapFileHeader::clear() {
  *this = BitMapFileHeader();
  return 0;
}

int BitMapInfoHeader::clear() {
  *this = BitMapInfoHeader();
  return 0;
}

int BmpState::clear() {
  pixels_.clear();
  markedPixels_.clear();
  fileHeader_.clear();
  infoHeader_.clear();
  palette_.clear();
  kx_ = 0.0;
  ky_ = 0.0;
  nColours_ = 0;
  stride_ = 0;
  return 0;
}

int BmpState::readFromBuffer(const unsigned char* data, size_t size, double widthMeters,
                             double heightMeters) {
  pixels_.clear();
  markedPixels_.clear();
  palette_.clear();
  // Both fixed headers must be present before any field is taken.
  if (data == nullptr || size < kHeadersEnd) {
    MV_LOG(11, "BMP File info header corrupted\n");
    return 10;
  }

  fileHeader_.bfType = readU16(data + 0);
  fileHeader_.bfSize = readU32(data + 2);
  fileHeader_.bfReserved1 = readU16(data + 6);
  fileHeader_.bfReserved2 = readU16(data + 8);
  fileHeader_.bfOffBits = readU32(data + 10);
  infoHeader_.biSize = readU32(data + 14);
  const int32_t rawWidth = static_cast<int32_t>(readU32(data + 18));
  const int32_t rawHeight = static_cast<int32_t>(readU32(data + 22));
  infoHeader_.biPlanes = readU16(data + 26);
  infoHeader_.biBitCount = readU16(data + 28);
  infoHeader_.biCompression = readU32(data + 30);
  infoHeader_.biSizeImage = readU32(data + 34);
  infoHeader_.biXPelsPerMeter = static_cast<int32_t>(readU32(data + 38));
  infoHeader_.biYPelsPerMeter = static_cast<int32_t>(readU32(data + 42));
  infoHeader_.biClrUsed = readU32(data + 46);
  infoHeader_.biClrImportant = readU32(data + 50);

  // A negative height marks rows stored top-down; the picture itself is valid.
  const bool topDown = rawHeight < 0;
  infoHeader_.biWidth = rawWidth;
  infoHeader_.biHeight = topDown ? -static_cast<int64_t>(rawHeight) : rawHeight;

  MV_LOG(11, "bmp.bmiHeader.biBitCount = %d\n", infoHeader_.biBitCount);
  nColours_ = infoHeader_.biBitCount < 31 ? (1 << infoHeader_.biBitCount) : 0;
  if (nColours_ != 2) {
    MV_LOG(11, "error: bad numbofcolours=%d at BMB file, biBitcount=%d\n", nColours_,
           infoHeader_.biBitCount);
    return 10;
  }

  // The colour table follows the info header, whatever that header's size;
  // a header size that is too small or runs past the file is read as the
  // plain 40-byte header.
  uint64_t paletteStart = kFileHeaderSize + infoHeader_.biSize;
  if (infoHeader_.biSize < kMinInfoHeaderSize || paletteStart + kPaletteBytes > size) {
    MV_LOG(11, "BMP info header size %llu unusable; read as 40 bytes\n",
           static_cast<unsigned long long>(infoHeader_.biSize));
    paletteStart = kHeadersEnd;
  }
  if (paletteStart + kPaletteBytes > size) {
    MV_LOG(11, "BMP colour table missing from a file of %zu bytes\n", size);
    return 10;
  }
  palette_.resize(kPaletteEntries);
  for (size_t i = 0; i < kPaletteEntries; ++i) {
    const unsigned char* p = data + paletteStart + 4 * i;
    palette_[i].blue = p[0];
    palette_[i].green = p[1];
    palette_[i].red = p[2];
    palette_[i].reserved = p[3];
  }

  MV_LOG(12, "Size = %lu bytes\n", static_cast<unsigned long>(fileHeader_.bfSize));
  MV_LOG(12, "Width = %ld\n", static_cast<long>(infoHeader_.biWidth));
  MV_LOG(12, "Height = %ld\n", static_cast<long>(infoHeader_.biHeight));
  MV_LOG(12, "bitsperpixel = %hu\n", infoHeader_.biBitCount);
  MV_LOG(12, "compression = %lu\n", static_cast<unsigned long>(infoHeader_.biCompression));
  MV_LOG(12, "offset to pixels = %lu\n", static_cast<unsigned long>(fileHeader_.bfOffBits));
  MV_LOG(12, "sizeof BitMapInfoHeader = %zu \n", sizeof(BitMapInfoHeader));
  MV_LOG(12, "sizeof BitMapFileHeader = %zu \n", sizeof(BitMapFileHeader));
  MV_LOG(12, "sizeof palettes = %zu \n", sizeof(Palette) * palette_.size());

  if (infoHeader_.biCompression != 0) {
    MV_LOG(11, "compression not valid\n");
    return 10;
  }
  if (rawWidth < 0 || infoHeader_.biWidth > kMaxSide || infoHeader_.biHeight > kMaxSide) {
    MV_LOG(11, "BMP width %ld or height %ld out of range\n", static_cast<long>(rawWidth),
           static_cast<long>(rawHeight));
    return 10;
  }

  const uint64_t stride = ((static_cast<uint64_t>(infoHeader_.biWidth) + 31) / 32) * 4;
  const uint64_t height = static_cast<uint64_t>(infoHeader_.biHeight);
  const uint64_t needed = height * stride;  // both below 2^20 x 2^17: no overflow
  // The header's pixel offset where it leaves room for the headers and the
  // pixels; otherwise the pixels are read where a plain file has them.
  uint64_t offset = fileHeader_.bfOffBits;
  if (offset < paletteStart + kPaletteBytes || offset < kPlainPixelsStart || offset > size ||
      needed > size - offset) {
    if (offset != kPlainPixelsStart) {
      MV_LOG(11, "BMP pixel data offset %llu unusable in a file of %zu bytes; pixels read at %llu\n",
             static_cast<unsigned long long>(offset), size,
             static_cast<unsigned long long>(kPlainPixelsStart));
    }
    offset = kPlainPixelsStart;
  }
  if (offset > size || needed > size - offset) {
    MV_LOG(11, "BMP pixel data truncated: %llu bytes needed, %llu present\n",
           static_cast<unsigned long long>(needed),
           static_cast<unsigned long long>(size > offset ? size - offset : 0));
    return 10;
  }

  stride_ = static_cast<int>(stride);
  kx_ = static_cast<double>(infoHeader_.biWidth) / widthMeters;
  ky_ = static_cast<double>(infoHeader_.biHeight) / heightMeters;
  pixels_.resize(static_cast<size_t>(needed));
  const unsigned char* src = data + offset;
  if (needed == 0) {
    // A picture without pixels: nothing to copy, every point is blocked.
  } else if (!topDown) {
    std::memcpy(pixels_.data(), src, static_cast<size_t>(needed));
  } else {
    // Row 0 must be the bottom line of the picture, as in a bottom-up file.
    for (uint64_t r = 0; r < height; ++r) {
      std::memcpy(pixels_.data() + r * stride, src + (height - 1 - r) * stride,
                  static_cast<size_t>(stride));
    }
  }
  return 0;
}

bool BmpState::checkPixelColor(double x, double y) const {
  const double px = x * kx_;
  if (!std::isfinite(px)) {
    MV_LOG(11, "ERROR: std::isnan or std::isinf in X-coordinate. Point counts as blocked\n");
    return true;
  }
  const double py = y * ky_;
  if (!std::isfinite(py)) {
    MV_LOG(11, "ERROR: std::isnan or std::isinf in Y-coordinate. Point counts as blocked\n");
    return true;
  }
  // Compared as doubles first: converting an out-of-range value to int is undefined.
  const double c = std::trunc(px);
  const double r = std::trunc(py);
  if (stride_ <= 0 || c < 0.0 || r < 0.0) return true;
  const size_t rows = pixels_.size() / static_cast<size_t>(stride_);
  if (c >= 8.0 * stride_ || r >= static_cast<double>(rows)) return true;
  const size_t col = static_cast<size_t>(c);
  const size_t row = static_cast<size_t>(r);
  const uint8_t byte = pixels_[row * static_cast<size_t>(stride_) + col / 8];
  return ((byte >> (7 - col % 8)) & 1) == 0;
}

bool BmpState::checkBordersAndPixelColor(double x, double y) const {
  if (infoHeader_.biWidth <= 0 || infoHeader_.biHeight <= 0) {
    MV_LOG(11, "Error: bmp width or height <= 0\n");
    return true;
  }
  const double px = x * kx_;
  const double py = y * ky_;
  if (!std::isfinite(px) || !std::isfinite(py)) return true;
  const double c = std::trunc(px);
  const double r = std::trunc(py);
  if (c < 0.0 || r < 0.0 || c >= static_cast<double>(infoHeader_.biWidth) ||
      r >= static_cast<double>(infoHeader_.biHeight)) {
    return true;
  }
  return checkPixelColor(x, y);
}
