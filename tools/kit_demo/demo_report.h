// What kit-demo prints besides its running commentary: the progress bar,
// what the content server received, the accuracy table, and the places where
// the map screen's pictures and the services' exchanges are reported.
#pragma once

#include <string>
#include <vector>

#include "content_server/content_server.h"
#include "world/score.h"

namespace kitdemo {

// "[#########-----------]  45 %" on one line, rewritten in place.
std::string ProgressBar(int percent);

// Requests per path and the heat-map lines among the queue's posts.
void PrintServerReceived(const std::vector<contentserver::RequestRecord>& records, size_t heatmapLinesQueued);

struct AccuracyRow {
  std::string what;
  world::Score score;
};
// The table with the default venue's targets (median <= 1.5 m, p75 <= 2 m,
// right floor >= 98 % after settling); true when every row meets them.
bool PrintAccuracyTable(const std::vector<AccuracyRow>& rows, double settleSeconds);

// Hooks for the parts of the kit that print or draw more than this build
// does: the map screen's pictures at chosen moments of the walk, and the
// services' exchanges with the server (remote settings, push actions, beacon
// reports). Each returns the lines it printed (none yet).
int DrawMapScreenPictures(const std::string& outDir, const std::string& moment);
int PrintServiceExchanges(const std::vector<contentserver::RequestRecord>& records);

}  // namespace kitdemo
