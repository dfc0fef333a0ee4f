// marvisto-floor-draw: draws one floor picture for the map screen of the program that
// starts it (mapview/floor_page_drawer.h), which ends it when the drawing takes too long.
// The picture comes on standard input, its MIME type and the starting program's process id
// are the arguments, the page goes to standard output in the drawer's own form. Not a
// program to run by hand.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "mapview/floor_page_drawer.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: marvisto-floor-draw MIME-TYPE PARENT-PID < PICTURE > PAGE\n");
    return 2;
  }
  // A drawing nobody waits for any more ends with the program that asked for it, even when
  // that program was killed.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (std::to_string(getppid()) != argv[2]) return 1;
  return MCFloorPageDrawer::serve(argv[1], STDIN_FILENO, STDOUT_FILENO) ? 0 : 1;
}
