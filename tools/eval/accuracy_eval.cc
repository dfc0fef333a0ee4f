// marvisto-accuracy-eval: positions generated venues' walks and the shared recordings
// with the engine's original behaviour and with the kit's, and prints one
// accuracy table.
//   marvisto-accuracy-eval [--quick] [--csv FILE] [--threads N] [--data DIR] [--work DIR]
//                 [--png-dir DIR] [--setting NAME] [--kinds I,J] [--tuning-seeds A,B]
//                 [--held-out-seeds A,B] [--gaits I,J] [--no-gaits] [--no-kinds] [--no-recordings]
//                 [--no-venues] [--gp-fixed]
// --csv also writes the dead-reckoning rows to FILE with "-dead-reckoning"
// before its extension. --setting, --kinds (positions in the full plan's kind list, from 0),
// --gaits (positions in its walker list), --no-gaits, --no-kinds, the seed lists, --no-recordings and --no-venues narrow the run to what a change needs looked at;
// --gp-fixed adds rows of the Gaussian processes' fixed mode ("GP fixed"). --data is the recordings' directory (default
// $MARVISTO_SHARED_DATA/ble-tetam, else ../shared/data/ble-tetam); --work
// keeps the generated archives and logs there; --png-dir draws the error
// distributions and every walk's floor plans there. Exits 0, 1 when a run
// fails, 2 on a bad command line or an output or input found unusable before the
// run (a --csv that cannot be written, a --data folder without the recordings).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "cli/outputs.h"
#include "cli/progress.h"
#include "eval/eval_run.h"

namespace {

bool WriteText(const std::string& path, const std::string& text) {
  if (const std::string why = cli::WriteWholeFile(path, text); !why.empty()) {
    std::fprintf(stderr, "marvisto-accuracy-eval: cannot write %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  return true;
}

// The dead-reckoning rows have columns of their own: a file beside the table's.
std::string DeadReckoningCsv(const std::string& csv) {
  const size_t dot = csv.rfind('.');
  return (dot == std::string::npos || csv.find('/', dot) != std::string::npos)
             ? csv + "-dead-reckoning"
             : csv.substr(0, dot) + "-dead-reckoning" + csv.substr(dot);
}

// "11,12,13" into numbers; false for an empty list or a word that is not one.
bool SeedList(const std::string& text, std::vector<uint64_t>* out, std::string* why) {
  out->clear();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string word = text.substr(start, comma - start);
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 10);
    if (word.empty() || word[0] == '-' || *end != '\0') {
      *why = "not a list of whole numbers: " + text;
      return false;
    }
    out->push_back(v);
    start = comma + 1;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string csv, work, png;
  const char* shared = std::getenv("MARVISTO_SHARED_DATA");
  std::string data = std::string(shared && *shared ? shared : "../shared/data") + "/ble-tetam";
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  cli::Parser parser("marvisto-accuracy-eval",
                     "[--quick] [--csv FILE] [--threads N] [--data DIR] [--work DIR] [--png-dir DIR]",
                     "Positions generated venues' walks and the shared recordings with the engine's\n"
                     "original behaviour and with the kit's, and prints one accuracy table.");
  parser.flag("--quick", "a few small venues and short walks only", &quick);
  parser.text("--csv", "FILE",
              "also write the table as CSV (its folder must exist), and the dead-reckoning\n"
              "rows to FILE with \"-dead-reckoning\" before its extension",
              &csv);
  parser.whole("--threads", "N", "walks positioned at once (default: the cores)", &threads, 1, 256);
  bool dataGiven = false;
  parser.custom("--data", "DIR", "the recordings (default $MARVISTO_SHARED_DATA/ble-tetam,\nelse ../shared/data/ble-tetam)",
                [&](const std::string& v, std::string*) {
                  data = v;
                  return dataGiven = true;
                });
  parser.text("--work", "DIR", "keep the generated archives and logs there", &work);
  parser.text("--png-dir", "DIR", "draw the error distributions and every walk's floor plans there", &png);
  std::string setting;
  std::vector<uint64_t> tuning, heldOut, kinds, gaits;
  bool tuningGiven = false, heldOutGiven = false, noRecordings = false, noVenues = false, noGaits = false;
  parser.text("--setting", "NAME", "only this setting (classic or kit)", &setting);
  parser.custom("--kinds", "I,J", "only these venue kinds, by position in the plan (from 0)",
                [&](const std::string& v, std::string* why) { return SeedList(v, &kinds, why); });
  parser.custom("--gaits", "I,J", "only these walkers of their own build, by position in the plan (from 0)",
                [&](const std::string& v, std::string* why) { return SeedList(v, &gaits, why); });
  parser.flag("--no-gaits", "leave the walkers of their own build out", &noGaits);
  bool noKinds = false;
  parser.flag("--no-kinds", "leave the venue kinds and dead reckoning out (the walkers stay)", &noKinds);
  parser.custom("--tuning-seeds", "A,B", "seeds of the tuning venues (default 11,12,13)",
                [&](const std::string& v, std::string* why) { return tuningGiven = SeedList(v, &tuning, why); });
  parser.custom("--held-out-seeds", "A,B", "seeds of the held-out venues (default 91,92,93)",
                [&](const std::string& v, std::string* why) { return heldOutGiven = SeedList(v, &heldOut, why); });
  parser.flag("--no-recordings", "leave the recordings and dead reckoning out", &noRecordings);
  parser.flag("--no-venues", "leave the generated venues and dead reckoning out", &noVenues);
  bool gpFixed = false;
  parser.flag("--gp-fixed", "also position the venues with the Gaussian processes' fixed mode", &gpFixed);
  parser.exitStatus(
      "0 success, 1 run failure (the reason on stderr), 2 usage error, or before the run:\n"
      "an output that cannot be written, a --data folder without the recordings");
  if (const int rc = parser.handle(argc, argv); rc >= 0) return rc;
  // Everything written comes after a long run: what cannot be written is found first.
  auto refuse = [](const std::string& what) {
    std::fprintf(stderr, "marvisto-accuracy-eval: %s\n", what.c_str());
    return 2;
  };
  const std::string drCsv = DeadReckoningCsv(csv);
  for (const std::string& f : {csv, drCsv}) {
    if (csv.empty()) break;
    if (const std::string why = cli::FileWritable(f); !why.empty())
      return refuse("--csv: cannot write " + f + ": " + why);
  }
  if (!png.empty()) {
    if (const std::string why = cli::MakeWritableFolder(png + "/walks"); !why.empty())
      return refuse("--png-dir: cannot write into " + png + "/walks: " + why);
  }
  if (!work.empty()) {
    if (const std::string why = cli::MakeWritableFolder(work); !why.empty())
      return refuse("--work: cannot write into " + work + ": " + why);
  }
  eval::EvalOptions options;
  options.plan = quick ? eval::QuickPlan(data) : eval::FullPlan(data);
  eval::Plan& plan = options.plan;
  if (!setting.empty()) {
    std::erase_if(plan.settings, [&](const eval::Setting& s) { return s.name != setting; });
    if (plan.settings.empty()) {
      std::fprintf(stderr, "marvisto-accuracy-eval: --setting %s: no such setting\n", setting.c_str());
      return 2;
    }
  }
  if (!kinds.empty()) {
    std::vector<eval::VenueKind> chosen;
    for (uint64_t k : kinds) {
      if (k >= plan.kinds.size()) {
        std::fprintf(stderr, "marvisto-accuracy-eval: --kinds: the plan has %zu kinds\n", plan.kinds.size());
        return 2;
      }
      chosen.push_back(plan.kinds[k]);
    }
    plan.kinds = chosen;
  }
  if (!gaits.empty()) {
    std::vector<eval::Gait> chosen;
    for (uint64_t g : gaits) {
      if (g >= plan.gaits.size()) {
        std::fprintf(stderr, "marvisto-accuracy-eval: --gaits: the plan has %zu walkers\n", plan.gaits.size());
        return 2;
      }
      chosen.push_back(plan.gaits[g]);
    }
    plan.gaits = chosen;
  }
  if (noGaits) plan.gaits.clear();
  if (noKinds) {
    plan.kinds.clear();
    plan.deadReckoning = false;
  }
  if (tuningGiven) plan.tuningSeeds = tuning;
  if (heldOutGiven) plan.heldOutSeeds = heldOut;
  if (noRecordings) {
    plan.recordingsDir.clear();
    plan.deadReckoning = false;
  }
  if (noVenues) {
    plan.kinds.clear();
    plan.gaits.clear();
    plan.deadReckoning = false;
  }
  if (gpFixed) plan.methods.push_back(eval::GpFixedMethod());
  // The recordings are read after the venues are generated: a folder given
  // that is not there, or one that lacks a file the plan reads, is found now.
  // Only the default folder may be missing, which leaves the recordings out.
  if (!plan.recordingsDir.empty()) {
    std::error_code ec;
    if (dataGiven || std::filesystem::exists(plan.recordingsDir, ec)) {
      if (!std::filesystem::is_directory(plan.recordingsDir, ec))
        return refuse("--data " + plan.recordingsDir + ": no such folder");
      std::vector<std::string> needed = {plan.recordingsDir + "/map.mvz"};
      for (const std::string& t : plan.tracks) {
        needed.push_back(plan.recordingsDir + "/" + t + ".log");
        needed.push_back(plan.recordingsDir + "/" + t + ".truth.csv");
      }
      for (const std::string& f : needed) {
        if (const std::string why = cli::FileReadable(f); !why.empty())
          return refuse("--data " + plan.recordingsDir + ": cannot read " + f + ": " + why);
      }
    }
  }
  options.threads = threads;
  options.workDir = work;
  options.pictureDir = png;
  cli::Progress progress("marvisto-accuracy-eval");
  options.progress = [&](const std::string& stage, size_t done, size_t total) {
    progress.show(stage + ": " + std::to_string(done) + " of " + std::to_string(total), done == total);
  };
  eval::EvalResult result;
  std::string error;
  const int rc = eval::RunEvaluation(options, &result, &error);
  progress.clear();
  if (rc != 0) {
    std::fprintf(stderr, "marvisto-accuracy-eval: %s\n", error.c_str());
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
    if (!WriteText(csv, eval::FormatCsv(result.rows)) ||
        !WriteText(drCsv, eval::FormatDeadReckoningCsv(result.deadReckoning))) {
      return 1;
    }
  }
  return 0;
}
