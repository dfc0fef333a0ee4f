#include "kit_demo/demo_report.h"

#include "cli/outputs.h"
#include "mapview/mc_screen_follow.h"
#include "replay/track_png.h"

#include <algorithm>
#include <cairo.h>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <vector>

namespace kitdemo {

std::string ProgressBar(int percent) {
  const int width = 30;
  const int filled = percent < 0 ? 0 : percent > 100 ? width : percent * width / 100;
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " +
         (percent < 0 ? std::string("failed") : std::to_string(percent) + " %");
}

bool PrintServerReceived(const std::vector<contentserver::RequestRecord>& records, size_t queued) {
  std::map<std::string, int> byPath;
  size_t lines = 0, posts = 0;
  for (const auto& r : records) {
    ++byPath[r.method + " " + r.path];
    if (r.path != "/xmlParserInsert" || r.status != 200) continue;
    ++posts;
    std::istringstream in(r.xml);
    for (std::string line; std::getline(in, line);) lines += !line.empty();
  }
  std::printf("\nwhat the content server received:\n");
  for (const auto& [path, n] : byPath) std::printf("  %-44s %5d\n", path.c_str(), n);
  std::printf("  heat-map lines: %zu in %zu queue posts (%zu queued by the kit%s)\n", lines, posts, queued,
              lines == queued ? ", none lost, none twice" : ", MISMATCH");
  return lines == queued;
}

bool PrintAccuracyTable(const std::vector<AccuracyRow>& rows, double settle) {
  constexpr double kMedian = 1.5, kP75 = 2.0, kFloor = 0.98;
  bool ok = true;
  std::printf("\naccuracy against the world's truth (ticks %.0f s or more after the start and floor changes)\n",
              settle);
  std::printf("  %-34s %7s %7s %7s %12s %7s\n", "", "ticks", "median", "p75", "right floor", "");
  for (const auto& r : rows) {
    const bool met = r.score.median <= kMedian && r.score.p75 <= kP75 && r.score.rightFloor >= kFloor;
    ok &= met;
    std::printf("  %-34s %7d %6.2fm %6.2fm %11.1f%% %7s\n", r.what.c_str(), r.score.evaluated, r.score.median,
                r.score.p75, 100 * r.score.rightFloor, met ? "ok" : "MISSED");
  }
  std::printf("  %-34s %7s %6.2fm %6.2fm %11.1f%%\n", "target", "", kMedian, kP75, 100 * kFloor);
  return ok;
}

MapScreenPictures::MapScreenPictures(std::shared_ptr<MCLocationViewController> screen, std::string outDir)
    : screen_(std::move(screen)), outDir_(std::move(outDir)) {}

namespace {

// Writes a picture's bytes whole (a full disk leaves no cut file); false, told on stderr, when
// it cannot be.
bool WritePicture(const std::string& file, const std::vector<uint8_t>& png) {
  const std::string why = png.empty() ? "nothing to draw"
                                      : cli::WriteWholeFile(file, {reinterpret_cast<const char*>(png.data()), png.size()});
  if (why.empty()) return true;
  std::fprintf(stderr, "marvisto-kit-demo: map screen: cannot write %s: %s\n", file.c_str(), why.c_str());
  return false;
}

}  // namespace

bool MapScreenPictures::picture(const std::string& moment) {
  if (!screen_) return true;
  MCFollowPosition(*screen_);
  const std::string file = outDir_ + "/screen-" + moment + ".png";
  const auto image = screen_->snapshot();
  if (!WritePicture(file, image ? image->pngData() : std::vector<uint8_t>{})) return false;
  std::printf("picture: %s (the map screen, %s)\n", file.c_str(), moment.c_str());
  return true;
}

void MapScreenPictures::frame(const std::string& caption) {
  if (!screen_) return;
  MCFollowPosition(*screen_);
  const auto image = screen_->snapshot(0.5);
  if (!image) return;
  const auto captioned = CaptionedFrame(*image, caption);
  animation_.addFrame(captioned ? *captioned : *image, 0.2);
}

bool MapScreenPictures::finish() {
  if (!screen_ || animation_.frameCount() == 0) return true;
  const std::string file = outDir_ + "/walk.png";
  if (!WritePicture(file, animation_.data())) return false;
  std::printf("picture: %s (the map screen through the walk, %zu frames, animated)\n", file.c_str(),
              animation_.frameCount());
  return true;
}

std::shared_ptr<platform::Image> CaptionedFrame(const platform::Image& screen, const std::string& caption) {
  const int w = screen.pixelWidth(), h = screen.pixelHeight();
  if (w <= 0 || h <= 0) return nullptr;
  std::vector<std::string> lines;
  std::istringstream in(caption);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  // A size that suits the frame's width; a line too long for it is drawn smaller.
  const double font = std::max(8.0, w / 16.0);
  const int band = static_cast<int>(std::ceil(font * (0.5 + 1.3 * std::max<size_t>(lines.size(), 1))));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h + band);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  screen.drawInRect(cr, 0, 0, w, h);
  for (size_t i = 0; i < lines.size(); ++i) {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, font);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, lines[i].c_str(), &ext);
    const double room = w - font;
    const double size = ext.x_advance > room ? font * room / ext.x_advance : font;
    replay::DrawLabel(cr, font * 0.5, h + font * (1.3 * double(i + 1)), lines[i], size);
  }
  cairo_destroy(cr);
  auto image = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS
                   ? platform::Image::imageWithSurface(surface, screen.scale())
                   : nullptr;
  cairo_surface_destroy(surface);
  return image;
}

int PrintServiceExchanges(const std::vector<contentserver::SdkRecord>& records) {
  struct Seen {
    int requests = 0;
    size_t lines = 0;  // beacon or zone lines the posts carried
    std::string example;
  };
  std::map<std::string, Seen> byPath;
  for (const auto& r : records) {
    Seen& s = byPath[r.method + " " + r.path];
    ++s.requests;
    // Beacon reports and zone visits carry one XML line per beacon or visit.
    for (const char* field : {"data", "xml"}) {
      const auto it = r.form.find(field);
      if (it == r.form.end()) continue;
      for (size_t at = it->second.find("\n"); at != std::string::npos; at = it->second.find("\n", at + 1)) ++s.lines;
      if (s.example.empty()) s.example = it->second.substr(0, 90);
    }
  }
  int printed = 0;
  std::printf("\nthe kit's service requests (remote settings, push actions, beacon reports, zone visits):\n");
  for (const auto& [path, s] : byPath) {
    std::printf("  %-40s %4d", path.c_str(), s.requests);
    if (s.lines) std::printf("   %zu lines", s.lines);
    std::printf("\n");
    if (!s.example.empty()) std::printf("      e.g. %s\n", s.example.c_str());
    printed += 1 + !s.example.empty();
  }
  return printed;
}

}  // namespace kitdemo
