// Our benchmark programs print lines of their own after the library's console
// table; another output format asked on the command line gets the library's
// plain run. Ask before benchmark::Initialize, which takes the flags it knows
// out of the command line.
#pragma once

#include <string>

inline bool ConsoleOutputAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--benchmark_format=", 0) == 0 && a != "--benchmark_format=console") return false;
  }
  return true;
}
