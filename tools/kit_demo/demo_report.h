// What marvisto-kit-demo prints besides its running commentary: the progress bar,
// what the content server received, the accuracy table, and the places where
// the map screen's pictures and the services' exchanges are reported.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "content_server/content_server.h"
#include "content_server/sdk_routes.h"
#include "mapview/mc_location_view_controller.h"
#include "platform/animated_png.h"
#include "world/score.h"

namespace kitdemo {

// "[#########-----------]  45 %", the download's bar.
std::string ProgressBar(int percent);

// Requests per path and the heat-map lines among the queue's posts; true when
// the server received every line queued, each once.
bool PrintServerReceived(const std::vector<contentserver::RequestRecord>& records, size_t heatmapLinesQueued);

struct AccuracyRow {
  std::string what;
  world::Score score;
};
// The table with the default venue's targets (median <= 1.5 m, p75 <= 2 m,
// right floor >= 98 % after settling); true when every row meets them.
bool PrintAccuracyTable(const std::vector<AccuracyRow>& rows, double settleSeconds);

// The map screen as a user following their position sees it: pictures at
// chosen moments of the walk and one animated picture of the whole walk.
// Main thread only.
class MapScreenPictures {
 public:
  // Null screen: nothing is drawn.
  MapScreenPictures(std::shared_ptr<MCLocationViewController> screen, std::string outDir);
  // screen-<moment>.png, printed as it is written; false when it could not be.
  bool picture(const std::string& moment);
  // One frame of walk.png, the animation, with its caption in a band below
  // the screen.
  void frame(const std::string& caption);
  // Writes walk.png; prints its name; false when it could not be written.
  bool finish();

 private:
  std::shared_ptr<MCLocationViewController> screen_;
  std::string outDir_;
  platform::AnimatedPng animation_;
};

// A frame of the screen with a band of text below it, outside the screen.
std::shared_ptr<platform::Image> CaptionedFrame(const platform::Image& screen, const std::string& caption);

// The services' exchanges with the server (remote settings, push actions, beacon
// reports). Returns the lines it printed.
int PrintServiceExchanges(const std::vector<contentserver::SdkRecord>& records);

}  // namespace kitdemo
