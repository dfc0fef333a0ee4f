// The walkable-area bitmap of one floor: a 1-bit picture in which a set bit is
// walkable space and a clear bit is a wall. The particle filter asks it, for a
// point in floor metres, whether a particle may stand there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One colour-table entry, bytes in file order.
struct Palette {
  uint8_t blue = 0;
  uint8_t green = 0;
  uint8_t red = 0;
  uint8_t reserved = 0;
};

// The 14-byte file header, each field zero-extended from the file.
struct BitMapFileHeader {
  uint16_t bfType = 0;
  uint64_t bfSize = 0;
  uint16_t bfReserved1 = 0;
  uint16_t bfReserved2 = 0;
  uint64_t bfOffBits = 0;

  int clear();
};

// The 40-byte info header. Width and height are never negative here: a picture
// stored top-down is turned bottom-up while it is read, and its height kept.
struct BitMapInfoHeader {
  uint64_t biSize = 0;
  int64_t biWidth = 0;
  int64_t biHeight = 0;
  uint16_t biPlanes = 0;
  uint16_t biBitCount = 0;
  uint64_t biCompression = 0;
  uint64_t biSizeImage = 0;
  int64_t biXPelsPerMeter = 0;
  int64_t biYPelsPerMeter = 0;
  uint64_t biClrUsed = 0;
  uint64_t biClrImportant = 0;

  int clear();
};

class BmpState {
 public:
  BmpState() = default;

  // Decodes a whole bitmap member for a floor of the given size in metres.
  // Returns 0, or 10 for anything that is not a complete, uncompressed 1-bit
  // picture (each refusal is logged). Header fields read before a refusal stay.
  int readFromBuffer(const unsigned char* data, size_t size, double widthMeters,
                     double heightMeters);

  // True when the pixel of the point (metres) is blocked. A point whose pixel
  // is not part of the picture, or a NaN or infinite coordinate, is blocked.
  bool checkPixelColor(double x, double y) const;

  // True when the point lies outside the picture or on a blocked pixel; the
  // test the particle filter applies to every new particle position.
  bool checkBordersAndPixelColor(double x, double y) const;

  int clear();

  const std::vector<uint8_t>& getPixels() const { return pixels_; }
  // Scratch copy on which debug dumps mark particles; empty otherwise.
  std::vector<uint8_t>& getMarkedPixels() { return markedPixels_; }
  const std::vector<uint8_t>& getMarkedPixels() const { return markedPixels_; }
  const BitMapFileHeader& getFileHeader() const { return fileHeader_; }
  const BitMapInfoHeader& getInfoHeader() const { return infoHeader_; }
  const std::vector<Palette>& getPalette() const { return palette_; }
  double getKx() const { return kx_; }
  double getKy() const { return ky_; }
  int getStride() const { return stride_; }

 private:
  std::vector<uint8_t> pixels_;  // rows bottom-up, stride_ bytes each
  std::vector<uint8_t> markedPixels_;
  BitMapFileHeader fileHeader_;
  BitMapInfoHeader infoHeader_;
  std::vector<Palette> palette_;
  double kx_ = 0.0;  // pixels per metre along x
  double ky_ = 0.0;  // pixels per metre along y
  int nColours_ = 0;
  int stride_ = 0;  // bytes per stored row, rows padded to 32 bits
};
