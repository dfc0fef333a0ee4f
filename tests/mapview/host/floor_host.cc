// A program built in the tree, as a user's host would be, that names no drawing program:
// the drawer looks for one from the program's own place, as in an installed kit. Each file
// given (.svg, else JPG) is drawn as a floor's page; a line per floor says whether it drew,
// its pixel size and how many of its pixels are painted. The time limit is a loaded test
// machine's (a sanitizer build on busy cores takes more than the screen's second), not the
// screen's: the lookup is under test here, not the limit.
#include <cairo.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "mapview/floor_page_drawer.h"

int main(int argc, char** argv) {
  const MCFloorPageDrawer drawer(MCFloorPageDrawer::installedProgram(), 60);
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const MCFloorPage page =
        drawer.render(std::string(argv[i]).ends_with(".svg") ? "image/svg+xml" : "image/jpg", std::move(bytes));
    cairo_surface_t* s = page.image->surface();
    cairo_surface_flush(s);
    const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    long painted = 0;
    for (int y = 0; y < h; ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                          y * cairo_image_surface_get_stride(s));
      for (int x = 0; x < w; ++x) painted += (row[x] >> 24) != 0;
    }
    std::printf("%s %dx%d painted %ld\n", page.loaded ? "drawn" : "empty", w, h, painted);
  }
  return 0;
}
