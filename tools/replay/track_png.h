// Pictures of walks over a floor plan, shared by the replay, the demos and the
// accuracy evaluation: the floor image of the map archive underneath, any
// number of labelled paths (each ending in a dot), the start as a ring, and
// around the plan the floor's name, a legend and a scale bar. Text is drawn
// with cairo's own simple fonts (fontconfig underneath, whose caches live
// until the process ends).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <cairo.h>

#include "replay/replay_run.h"

class NavigationMap;

namespace replay {

struct PlanPath {
  std::string label;  // in the legend
  double r = 0, g = 0, b = 0;
  double width = 1.0;  // times the picture's base line width
  std::vector<std::pair<double, double>> points;  // floor metres; a NaN pair lifts the pen
};

// Adds the next sample of a walk to the floor's path: its point when the
// sample is on this floor, otherwise a break, so that a walk that leaves the
// floor and comes back is not drawn as a jump across it.
void AddPathSample(PlanPath& path, bool onFloor, double x, double y);

struct FloorPlan {
  std::string title;  // the floor's name, above the plan
  double widthMeters = 0, heightMeters = 0;
  const std::vector<char>* floorPng = nullptr;  // the archive's floor image; null or empty: white
  std::vector<PlanPath> paths;  // drawn in order, later ones on top
  bool hasStart = false;
  double startX = 0, startY = 0;
};

// The plan fills the picture's width at one scale for x and y; above it are
// two bands of text (the title, the legend) and below it one (the scale bar),
// each this many pixels high for a picture of that width.
double PlanTextBand(int pictureWidth);

// Writes the plan as a PNG file. 0, or 1 with a message when the floor has
// no size or the file cannot be written.
int WriteFloorPlanPng(const FloorPlan& plan, const std::string& path, std::string* error);

// The floor's title as the pictures give it: floor <id> "<name>".
std::string FloorTitle(int floorId, const std::string& name);

// Black text in the pictures' font, left-aligned or centred on x; returns its
// advance.
double DrawLabel(cairo_t* cr, double x, double baseline, const std::string& text, double size,
                 bool centred = false);
// Ends a picture: releases cr, writes the surface to path as PNG and releases
// it. 0, or 1 with the reason naming the file.
int WritePng(cairo_t* cr, cairo_surface_t* surface, const std::string& path, std::string* error);

// Writes dir/floor<id>.png for every floor of the map with the true path
// (green), the estimated path (red), the routes (blue) and the start of the
// walk, and appends the file names to `written`. 0, or 1 with a message when
// a picture cannot be written (those written before stay).
int DrawFloorPictures(const NavigationMap& map, const ReplayReport& report, const std::string& dir,
                      std::vector<std::string>* written, std::string* error);

}  // namespace replay
