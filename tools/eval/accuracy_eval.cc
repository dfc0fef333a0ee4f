// accuracy-eval: positions generated venues' walks and the shared recordings
// with the engine's original behaviour and with the kit's, and prints one
// accuracy table.
//   accuracy-eval [--quick] [--csv FILE] [--threads N] [--data DIR] [--work DIR]
//                 [--png-dir DIR]
// --csv also writes the dead-reckoning rows to FILE with "-dead-reckoning"
// before its extension. --data is the recordings' directory (default
// $MARVISTO_SHARED_DATA/ble-tetam, else ../shared/data/ble-tetam); --work
// keeps the generated archives and logs there; --png-dir draws the error
// distributions and every walk's floor plans there. Exits 0, 1 when a run
// fails, 2 on a bad command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "eval/eval_run.h"

namespace {

const char kUsage[] =
    "usage: accuracy-eval [--quick] [--csv FILE] [--threads N] [--data DIR] [--work DIR] [--png-dir DIR]\n";

bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if ((f && std::fclose(f) != 0) || !ok) {
    std::fprintf(stderr, "accuracy-eval: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  bool quick = false;
  std::string csv, work, png;
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  std::string data = std::string(shared && *shared ? shared : "../shared/data") + "/ble-tetam";
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--quick") {
      quick = true;
    } else if (a == "--csv" && hasValue) {
      csv = args[++i];
    } else if (a == "--data" && hasValue) {
      data = args[++i];
    } else if (a == "--png-dir" && hasValue) {
      png = args[++i];
    } else if (a == "--work" && hasValue) {
      work = args[++i];
    } else if (a == "--threads" && hasValue) {
      threads = std::atoi(args[++i].c_str());
      if (threads < 1 || threads > 256) {
        std::fprintf(stderr, "accuracy-eval: --threads wants 1..256\n%s", kUsage);
        return 2;
      }
    } else if (a == "--help" || a == "-h") {
      std::printf("%s", kUsage);
      return 0;
    } else {
      std::fprintf(stderr, "accuracy-eval: unknown or incomplete argument %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  eval::EvalOptions options;
  options.plan = quick ? eval::QuickPlan(data) : eval::FullPlan(data);
  options.threads = threads;
  options.workDir = work;
  options.pictureDir = png;
  eval::EvalResult result;
  std::string error;
  if (eval::RunEvaluation(options, &result, &error) != 0) {
    std::fprintf(stderr, "accuracy-eval: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s", eval::FormatTable(result.rows).c_str());
  if (!result.goals.empty()) std::printf("\nRecordings: kit against the simple 3-NN\n%s", eval::FormatGoals(result.goals).c_str());
  if (!result.deadReckoning.empty()) {
    std::printf("\n%s", eval::FormatDeadReckoningTable(result.deadReckoning).c_str());
  }
  for (const std::string& n : result.notes) std::printf("note: %s\n", n.c_str());
  if (!result.pictures.empty()) {
    std::printf("pictures: %zu in %s (cdf-<set>.png: error distributions; walks/: floor plans)\n",
                result.pictures.size(), png.c_str());
  }
  if (!csv.empty()) {
    // The dead-reckoning rows have columns of their own: a file beside the table's.
    const size_t dot = csv.rfind('.');
    const std::string drCsv = (dot == std::string::npos || csv.find('/', dot) != std::string::npos)
                                  ? csv + "-dead-reckoning"
                                  : csv.substr(0, dot) + "-dead-reckoning" + csv.substr(dot);
    if (!WriteText(csv, eval::FormatCsv(result.rows)) ||
        !WriteText(drCsv, eval::FormatDeadReckoningCsv(result.deadReckoning))) {
      return 1;
    }
  }
  return 0;
}
