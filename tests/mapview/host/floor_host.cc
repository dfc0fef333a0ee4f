// A host of the map view built in the tree, as a user's own would be: it names no drawing
// program, so the map view looks for one from the host's own place, as in an installed kit.
// Each file given (.svg, else JPG) is loaded as a floor; a line per floor says whether it
// drew, its pixel size and how many of its pixels are painted.
#include <cairo.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "mapview/mc_map_view_manager.h"
#include "platform/run_loop.h"

int main(int argc, char** argv) {
  platform::RunLoop::setMainThread();
  const auto manager = MCMapViewManager::sharedInstance();
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    MCSublocation floor;
    (std::string(argv[i]).ends_with(".svg") ? floor.svgImage : floor.jpgImage) = std::move(bytes);
    manager->loadSublocationImage(floor);
    cairo_surface_t* s = manager->image()->surface();
    cairo_surface_flush(s);
    const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    long painted = 0;
    for (int y = 0; y < h; ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                          y * cairo_image_surface_get_stride(s));
      for (int x = 0; x < w; ++x) painted += (row[x] >> 24) != 0;
    }
    std::printf("%s %dx%d painted %ld\n", manager->webView()->loaded ? "drawn" : "empty", w, h, painted);
  }
  return 0;
}
