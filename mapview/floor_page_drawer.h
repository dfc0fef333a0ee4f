// Draws floor pages (MCFloorPage) within a time limit, each in a process of its
// own running the drawing program (marvisto-floor-draw): a page not drawn in
// time gives the empty page and its process is ended then, so that no drawing
// outlives the call; neither the next floor nor the caller's exit waits for it,
// and whatever the picture costs stays in that process. A program that cannot
// be started, dies or answers amiss gives the empty page too. Each reason is
// logged; the first such failure of the program in a process is also told on
// stderr, once. Any thread, several at once.
//
// The drawing program's side: `serve` renders the page of its standard input
// and answers on its standard output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapview/floor_page.h"

class MCFloorPageDrawer {
 public:
  explicit MCFloorPageDrawer(std::string program = installedProgram(), double timeLimit = MCFloorPage::kTimeLimit);

  // The page, or the empty page when it is not drawn within the time limit.
  MCFloorPage render(std::string mimeType, std::vector<uint8_t> data) const;

  // The drawing program as installed beside the running one (bin/../libexec/marvisto),
  // else at the kit's install prefix.
  static std::string installedProgram();

  // The drawing program's work: the picture on `in` (of `mimeType`), its page answered on
  // `out`. False when the answer could not be written.
  static bool serve(const std::string& mimeType, int in, int out);

 private:
  const std::string program_;
  const double timeLimit_;
};
