// Rendering a view tree with cairo, as a phone's screen would show it: each view's
// background (rounded by its corner radius), its own content, then its subviews and layers
// back to front, under its transform and alpha; hidden views and their subtrees are skipped.
// Main thread only (the tree is not locked).
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/image.h"
#include "platform/ui_view.h"

namespace platform::ui {

// `view`'s bounds, as the top of its own tree (its frame and transform ignored), in an image
// of the bounds' size times `scale` on a transparent background; null when too large or empty.
std::shared_ptr<Image> renderView(const View& view, double scale = 1);
// The same written to a PNG file; false with a message when it cannot be written.
bool writePng(const View& view, const std::filesystem::path& file, std::string* error,
              double scale = 1);

// Draws `view` and its subtree in its parent's coordinates.
void renderTree(cairo_t* cr, const View& view);

}  // namespace platform::ui
