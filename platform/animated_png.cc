#include "platform/animated_png.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

namespace platform {
namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t ReadU32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}

void PutChunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data) {
  PutU32(out, uint32_t(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutU32(out, uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

struct Chunk {
  std::string type;
  std::vector<uint8_t> data;
};

// The chunks of a PNG that libpng just wrote; empty when it is not one.
std::vector<Chunk> Chunks(const std::vector<uint8_t>& png) {
  std::vector<Chunk> out;
  if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0) return {};
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = ReadU32(&png[at]);
    if (length > png.size() - at - 12) return {};
    out.push_back({std::string(reinterpret_cast<const char*>(&png[at + 4]), 4),
                   std::vector<uint8_t>(png.begin() + long(at + 8), png.begin() + long(at + 8 + length))});
    at += 12 + size_t(length);
  }
  return out;
}

}  // namespace

bool AnimatedPng::addFrame(const Image& frame, double seconds) {
  Frame f;
  std::vector<uint8_t> ihdr;
  for (auto& c : Chunks(frame.pngData())) {
    if (c.type == "IHDR") ihdr = std::move(c.data);
    if (c.type == "IDAT") f.idat.push_back(std::move(c.data));
  }
  if (ihdr.size() != 13 || f.idat.empty()) return false;
  if (frames_.empty()) {
    ihdr_ = ihdr;
    width_ = ReadU32(&ihdr[0]);
    height_ = ReadU32(&ihdr[4]);
  } else if (ihdr != ihdr_) {
    return false;
  }
  const double ms = std::isfinite(seconds) ? std::clamp(seconds * 1000, 0.0, 65535.0) : 0.0;
  f.delayMs = uint16_t(std::lround(ms));
  frames_.push_back(std::move(f));
  return true;
}

std::vector<uint8_t> AnimatedPng::data() const {
  if (frames_.empty()) return {};
  std::vector<uint8_t> out(kSignature, kSignature + 8);
  PutChunk(out, "IHDR", ihdr_);
  std::vector<uint8_t> actl;
  PutU32(actl, uint32_t(frames_.size()));
  PutU32(actl, 0);  // loop for ever
  PutChunk(out, "acTL", actl);
  uint32_t sequence = 0;
  for (size_t i = 0; i < frames_.size(); ++i) {
    std::vector<uint8_t> fctl;
    PutU32(fctl, sequence++);
    PutU32(fctl, width_);
    PutU32(fctl, height_);
    PutU32(fctl, 0);
    PutU32(fctl, 0);
    PutU16(fctl, frames_[i].delayMs);
    PutU16(fctl, 1000);
    fctl.push_back(0);  // dispose: none
    fctl.push_back(0);  // blend: source
    PutChunk(out, "fcTL", fctl);
    for (const auto& idat : frames_[i].idat) {
      if (i == 0) {
        PutChunk(out, "IDAT", idat);
        continue;
      }
      std::vector<uint8_t> fdat;
      PutU32(fdat, sequence++);
      fdat.insert(fdat.end(), idat.begin(), idat.end());
      PutChunk(out, "fdAT", fdat);
    }
  }
  PutChunk(out, "IEND", {});
  return out;
}

bool AnimatedPng::writeToFile(const std::filesystem::path& file, std::string* error) const {
  const auto bytes = data();
  if (bytes.empty()) {
    if (error) *error = "no frames";
    return false;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  if (!out) {
    if (error) *error = "cannot write " + file.string();
    return false;
  }
  return true;
}

}  // namespace platform
