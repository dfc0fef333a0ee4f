// An animated PNG (APNG) built from equally sized frames, each shown for its own time and
// the whole looping. Viewers without animation show the first frame. libpng encodes each
// frame; the frames' image data is re-wrapped into the animation's chunks. Not locked: one
// thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/image.h"

namespace platform {

class AnimatedPng {
 public:
  // False (nothing added) when the frame's pixel size differs from the first frame's or it
  // does not encode. `seconds` is held to 0..65.535 in milliseconds.
  bool addFrame(const Image& frame, double seconds);
  size_t frameCount() const { return frames_.size(); }
  // The file's bytes; empty without frames.
  std::vector<uint8_t> data() const;
  bool writeToFile(const std::filesystem::path& file, std::string* error) const;

 private:
  struct Frame {
    std::vector<std::vector<uint8_t>> idat;
    uint16_t delayMs = 0;
  };
  std::vector<uint8_t> ihdr_;  // the first frame's header chunk data
  uint32_t width_ = 0, height_ = 0;
  std::vector<Frame> frames_;
};

}  // namespace platform
