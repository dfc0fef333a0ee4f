// Every program run as a new user would: help, version, and the refusals a
// mistyped command line or a missing file must give, each with the exit code
// the help documents and a message naming the problem.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/peers.h"
#include "venuesim/generator.h"
#include "venuesim/propagation.h"
#include "venuesim/venue_archive.h"
#include "venuesim/walk.h"

namespace {

namespace fs = std::filesystem;

struct Ran {
  int code = -1;
  std::string out, err;
};

std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs the program in `dir` with stdin closed to it and both outputs kept.
Ran RunProgram(const fs::path& dir, const std::string& program, const std::vector<std::string>& args) {
  // Under the leak checker: the pictures' text goes through fontconfig, whose
  // caches live until the process ends.
  peers::writeFile(dir / "lsan.supp", "leak:libfontconfig.so\n");
  std::string cmd = "cd " + Quoted(dir.string()) + " && LSAN_OPTIONS=suppressions=" +
                    Quoted((dir / "lsan.supp").string()) + " timeout 60 " + Quoted(program);
  for (const auto& a : args) cmd += " " + Quoted(a);
  cmd += " </dev/null >" + Quoted((dir / "out.txt").string()) + " 2>" + Quoted((dir / "err.txt").string());
  const int rc = std::system(cmd.c_str());
  Ran r;
  r.code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = peers::readFile(dir / "out.txt");
  r.err = peers::readFile(dir / "err.txt");
  return r;
}

struct Program {
  std::string name, path;
  int usageError;                       // exit code of a refused command line
  std::string valueOption;              // an option that takes a value
  std::vector<std::string> missingFile; // args naming a file or folder that cannot be there
  int missingFileCode;
};

std::vector<Program> Programs() {
  // "blocker" is a plain file, so nothing can be created or read beneath it.
  std::vector<Program> p = {
      {"marvisto-venue-gen", VENUE_GEN, 2, "--out", {"--out", "blocker/v.mvz"}, 1},
      {"marvisto-replay", REPLAY, 2, "--map", {"--map", "blocker/m.mvz", "--log", "blocker/w.log"}, 1},
      {"marvisto-demo", MARVISTO_DEMO, 2, "--out", {"--out", "blocker/demo"}, 1},
      {"marvisto-content-server", CONTENT_SERVER, 1, "--port", {"--port", "0", "--venue-dir", "blocker/venues"}, 1},
  };
#ifdef WORLD_DEMO
  p.push_back({"marvisto-world-demo", WORLD_DEMO, 2, "--out", {"--out", "blocker/world"}, 1});
#endif
#ifdef ACCURACY_EVAL
  // Its one output comes after a long run, so a folder that is not there is a usage error.
  p.push_back({"marvisto-accuracy-eval", ACCURACY_EVAL, 2, "--csv", {"--csv", "blocker/t.csv"}, 2});
#endif
#ifdef KIT_DEMO
  p.push_back({"marvisto-kit-demo", KIT_DEMO, 2, "--out", {"--out", "blocker/kit"}, 1});
#endif
  return p;
}

// Runs "$0" "$@" with files limited to a few kilobytes, as a user's shell
// would: each program must itself turn the signal that would end it into a
// failed write it reports.
constexpr const char* kSmallFiles = "ulimit -f 8; exec \"$0\" \"$@\"";

// Runs "$0" "$@" and more words with a reader that takes the first input on
// the pipe p to its end, as `cat` does, into got.csv.
const std::string kPipeReader = "mkfifo p && { cat p >got.csv & } && timeout 20 \"$0\" \"$@\" ";
const std::string kThenRows = "; rc=$?; wait; rm p; grep -q ";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ProgramsTest, HelpVersionAndRefusalsNameTheProblem) {
  peers::TempDir dir("cli");
  peers::writeFile(dir.path() / "blocker", "not a folder");
  for (const Program& p : Programs()) {
    SCOPED_TRACE(p.name);
    struct Case {
      std::vector<std::string> args;
      int code;
      std::string out, err;  // expected in stdout / stderr; empty err: stderr stays empty
    } cases[] = {
        {{"--help"}, 0, "usage: " + p.name + " ", ""},
        {{p.valueOption, "--help"}, 0, "usage: " + p.name + " ", ""},
        {{"--version"}, 0, p.name + " " MARVISTO_VERSION "\n", ""},
        {{"--bogus", "1"}, p.usageError, "", "unknown option --bogus"},
        {{p.valueOption}, p.usageError, "", p.valueOption + " needs a value"},
        {p.missingFile, p.missingFileCode, "", "blocker/"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.args[0]);
      const Ran r = RunProgram(dir.path(), p.path, c.args);
      EXPECT_EQ(r.code, c.code) << r.err;
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
      if (c.err.empty()) {
        EXPECT_EQ(r.err, "");
        // The usage once, and the exit codes it promises.
        EXPECT_LE(Count(r.out, "usage:"), 1u);
      } else {
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
      }
    }
    const Ran help = RunProgram(dir.path(), p.path, {"--help"});
    EXPECT_NE(help.out.find("exit status:\n  0 "), std::string::npos) << help.out;
    EXPECT_NE(help.out.find(std::to_string(p.usageError) + " "), std::string::npos) << help.out;
  }
}

// A bare marvisto-venue-gen used to leave ./map.mvz behind; marvisto-replay used to find a
// missing picture folder only after the whole replay. Both are usage errors
// found before any work.
TEST(ProgramsTest, RequiredOutputsAndFoldersAreCheckedUpFront) {
  peers::TempDir dir("cli");
  Ran r = RunProgram(dir.path(), VENUE_GEN, {});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--out PATH is required"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir.path() / "map.mvz"));

  // The map is missing too: a check made after loading it would report that instead.
  r = RunProgram(dir.path(), REPLAY, {"--map", "none.mvz", "--log", "none.log", "--png-dir", "no-such-dir"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--png-dir no-such-dir: no such folder"), std::string::npos) << r.err;
  r = RunProgram(dir.path(), REPLAY, {"--map", "none.mvz", "--log", "none.log", "--ticks-csv", "gone/t.csv"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("gone/t.csv"), std::string::npos) << r.err;
  r = RunProgram(dir.path(), REPLAY, {"--map", "none.mvz", "--log", "none.log"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("none.log"), std::string::npos) << r.err;

  // Values are checked whole; the message says what was wrong with which option.
  r = RunProgram(dir.path(), VENUE_GEN, {"--out", "v.mvz", "--seed", "7x"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--seed needs a number"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"7x\""), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir.path() / "v.mvz"));
}

// A small venue and a walk through it, for the programs that read them.
void WriteVenueAndWalk(const peers::TempDir& dir) {
  using namespace venuesim;
  VenueSpec setup;
  setup.width = 30;
  setup.height = 20;
  setup.surveySeconds = 5;
  Venue venue;
  std::string error;
  ASSERT_EQ(GenerateVenue(setup, &venue, &error), kOk) << error;
  ASSERT_EQ(WriteVenueArchive(venue, dir.file("v.mvz"), &error), kOk) << error;
  WalkSpec ws;
  ws.standSeconds = 2;
  Walk walk;
  ASSERT_EQ(GenerateWalk(venue, PropagationModel(venue), ws, &walk, &error), kOk) << error;
  ASSERT_EQ(WriteWalkFiles(walk, dir.file("w.log"), dir.file("w.csv"), &error), kOk) << error;
}

// What cannot be read or written is reported before the work, with the
// system's reason, and the exit code says so. Before, these ran to the end
// and then failed, or succeeded: a missing recordings folder and a target on
// no floor went unreported, and a table that could not be written was found
// only after the run.
TEST(ProgramsTest, InputsAndOutputsAreCheckedBeforeTheWork) {
  peers::TempDir dir("cli");
  WriteVenueAndWalk(dir);
  peers::writeFile(dir.path() / "blocker", "not a folder");
  fs::create_directories(dir.path() / "folder");
  fs::create_directories(dir.path() / "no-recordings");
  const std::vector<std::string> replay = {REPLAY, "--map", "v.mvz", "--log", "w.log", "--truth", "w.csv", "--quiet"};
  auto with = [](std::vector<std::string> a, const std::vector<std::string>& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  struct Case {
    std::vector<std::string> line;  // the program first
    int code;
    std::string err;  // in stderr
    bool worked;      // stdout has a result: the check came after the work
  } cases[] = {
      {{VENUE_GEN, "--out", "folder"}, 1, "marvisto-venue-gen: cannot write folder: Is a directory", false},
      {{VENUE_GEN, "--out=blocker/v.mvz"}, 1, "marvisto-venue-gen: cannot write blocker/v.mvz: Not a directory", false},
      {{"sh", "-c", kSmallFiles, VENUE_GEN, "--out", "big.mvz"}, 1, "cannot write archive big.mvz: File too large",
       false},
      {{REPLAY, "--map", "v.mvz", "--log", "gone.log"}, 1, "cannot read log gone.log: No such file or directory",
       false},
      {{REPLAY, "--map", "v.mvz", "--log", "folder"}, 1, "cannot read log folder: Is a directory", false},
      {{REPLAY, "--map", "folder", "--log", "w.log"}, 1, "cannot read map archive folder: Is a directory", false},
      {{REPLAY, "--map", "gone.mvz", "--log", "w.log"}, 1,
       "cannot read map archive gone.mvz: No such file or directory", false},
      {with(replay, {"--target", "9,1,1"}), 1,
       "--target on floor 9: the map v.mvz has no such floor (its floors: 1, 2)", false},
      {with(replay, {"--target=1,1,1"}), 0, "", true},
      {with(replay, {"--ticks-csv", "folder"}), 2, "--ticks-csv folder: cannot write it: Is a directory", false},
      {with(replay, {"--png-dir", "blocker"}), 2, "--png-dir blocker: no such folder", false},
      // A reader already waiting on a pipe gets the rows, not an early end of input; rows into
      // /dev/stdout go where stdout does, after what app.txt held and before the table.
      {{"sh", "-c", kPipeReader + "--ticks-csv p" + kThenRows + "^time,rc, got.csv && exit $rc", REPLAY, "--map",
        "v.mvz", "--log", "w.log"}, 0, "", true},
      {{"sh", "-c", "echo earlier >app.txt && \"$0\" \"$@\" --ticks-csv /dev/stdout >>app.txt && sed -n 2p app.txt "
        "| grep -q ^time,rc, && grep -q '^Score = ' app.txt && echo ok", REPLAY, "--map", "v.mvz", "--log", "w.log",
        "--truth", "w.csv"}, 0, "", true},
      {{"sh", "-c", "exec \"$0\" \"$@\" >/dev/full", VENUE_GEN, "--out", "v2.mvz"}, 1,
       "marvisto-venue-gen: cannot write stdout: No space left on device", false},
#ifdef ACCURACY_EVAL
      {{ACCURACY_EVAL, "--quick", "--no-venues", "--data", "nowhere"}, 2, "--data nowhere: no such folder", false},
      {{"sh", "-c", kPipeReader + "--csv p" + kThenRows + "^set,kind, got.csv && exit $rc", ACCURACY_EVAL, "--quick",
        "--no-venues", "--no-recordings"}, 0, "", true},
      {{ACCURACY_EVAL, "--quick", "--no-venues", "--data=no-recordings"}, 2,
       "--data no-recordings: cannot read no-recordings/map.mvz: No such file or directory", false},
      {{ACCURACY_EVAL, "--quick", "--no-recordings", "--kinds", "0", "--tuning-seeds", "11", "--held-out-seeds", "91",
        "--setting", "kit", "--csv", "folder"},
       2, "--csv: cannot write folder: Is a directory", false},
      {{ACCURACY_EVAL, "--quick", "--no-recordings", "--kinds", "0", "--tuning-seeds", "11", "--held-out-seeds", "91",
        "--setting", "kit", "--png-dir", "blocker/p"},
       2, "--png-dir: cannot write into blocker/p/walks: Not a directory", false},
#endif
#ifdef WORLD_DEMO
      {{WORLD_DEMO, "--out", "blocker/w", "--speed", "1000"}, 1, "marvisto-world-demo: cannot write into blocker/w: ",
       false},
#endif
      {{MARVISTO_DEMO, "--out", "blocker/d"}, 1, "marvisto-demo: cannot write into blocker/d: ", false},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& w : c.line) shown += fs::path(w).filename().string() + " ";
    SCOPED_TRACE(shown);
    const Ran r = RunProgram(dir.path(), c.line[0], std::vector<std::string>(c.line.begin() + 1, c.line.end()));
    EXPECT_EQ(r.code, c.code) << r.err;
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(!r.out.empty(), c.worked) << r.out;
  }
}

// Long runs show how far they are on a terminal, on one line rewritten in
// place and cleared before the results; redirected, stderr stays empty.
// Before, replay and marvisto-demo wrote a line per tenth of the log into a
// redirected stderr.
TEST(ProgramsTest, ProgressShowsOnATerminalOnly) {
  if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) to give a terminal";
  peers::TempDir dir("cli");
  WriteVenueAndWalk(dir);
  struct Case {
    std::vector<std::string> line;
    std::string progress;  // after a carriage return
  } cases[] = {
      {{REPLAY, "--map", "v.mvz", "--log", "w.log"}, "replay: 100% ("},
      {{MARVISTO_DEMO, "--out", "demo"}, "replay: 100% ("},
#ifdef ACCURACY_EVAL
      {{ACCURACY_EVAL, "--quick", "--no-recordings", "--kinds", "0", "--tuning-seeds", "11", "--held-out-seeds", "91",
        "--setting", "kit", "--threads", "2"},
       "marvisto-accuracy-eval: positioning walks: 6 of 6"},
#endif
#ifdef WORLD_DEMO
      {{WORLD_DEMO, "--out", "world", "--speed", "1000"}, "marvisto-world-demo: walked 0 of "},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line[0]);
    const Ran piped = RunProgram(dir.path(), c.line[0], std::vector<std::string>(c.line.begin() + 1, c.line.end()));
    EXPECT_EQ(piped.code, 0) << piped.err;
    EXPECT_EQ(piped.err.find('\r'), std::string::npos) << piped.err;
    EXPECT_EQ(piped.err.find(c.progress), std::string::npos) << piped.err;
    // script(1) runs the line on a terminal and copies what it shows to stdout.
    std::string line;
    for (const std::string& w : c.line) line += Quoted(w) + " ";
    const Ran tty = RunProgram(dir.path(), "script", {"-qec", line, "/dev/null"});
    EXPECT_EQ(tty.code, 0) << tty.out;
    const size_t at = tty.out.find("\r" + c.progress);
    EXPECT_NE(at, std::string::npos) << tty.out;
    // The line is cleared before anything else is written after it.
    EXPECT_NE(tty.out.find("\r\033[K", at), std::string::npos);
  }
}

// A failure after the replay still prints the accuracy table it computed.
// Here the outputs pass the checks made up front but cannot be written in
// full: the file size limit stands in for a full disk, /dev/full is one. What
// could not be written whole is not left behind, cut or empty.
TEST(ProgramsTest, ReplayKeepsItsTableWhenAnOutputFailsAfterTheReplay) {
  peers::TempDir dir("cli");
  WriteVenueAndWalk(dir);
  fs::create_directories(dir.path() / "pictures");
  struct Case {
    std::vector<std::string> output;
    std::string err;
    std::string file;  // must not be there afterwards
  } cases[] = {
      {{"--ticks-csv", "t.csv"}, "cannot write t.csv: File too large", "t.csv"},
      {{"--png-dir", "pictures"}, "cannot write pictures/floor1.png: File too large", "pictures/floor1.png"},
      {{"--ticks-csv", "/dev/full"}, "cannot write /dev/full: No space left on device", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output[1]);
    std::vector<std::string> line = {"-c", kSmallFiles, REPLAY, "--map", "v.mvz", "--log", "w.log", "--truth", "w.csv",
                                     "--quiet"};
    line.insert(line.end(), c.output.begin(), c.output.end());
    const Ran r = RunProgram(dir.path(), "sh", line);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("right floor"), std::string::npos) << r.out;
    if (!c.file.empty()) {
      EXPECT_FALSE(fs::exists(dir.path() / c.file));
    }
  }
  EXPECT_TRUE(fs::is_empty(dir.path() / "pictures"));
}

// Under a plain file size limit every program says which file it could not
// write and why, and exits 1, leaving no part of it. Before, each was killed
// silently (exit 153), leaving its part file or libzip's temporary archive.
TEST(ProgramsTest, EveryProgramFailsWithTheReasonUnderAFileSizeLimit) {
  peers::TempDir dir("cli");
  WriteVenueAndWalk(dir);
  const std::vector<std::string> lines[] = {
      {VENUE_GEN, "--out", "big.mvz"},
      {REPLAY, "--map", "v.mvz", "--log", "w.log", "--quiet", "--ticks-csv", "t.csv"},
      {MARVISTO_DEMO, "--out", "demo"},
#ifdef WORLD_DEMO
      {WORLD_DEMO, "--out", "world", "--speed", "1000"},
#endif
#ifdef KIT_DEMO
      {KIT_DEMO, "--out", "kit"},
#endif
#ifdef ACCURACY_EVAL
      {ACCURACY_EVAL, "--quick", "--no-recordings", "--kinds", "0", "--tuning-seeds", "11", "--held-out-seeds", "91",
       "--setting", "kit", "--work", "work"},
#endif
  };
  for (const std::vector<std::string>& line : lines) {
    SCOPED_TRACE(line[0]);
    std::vector<std::string> args = {"-c", kSmallFiles};
    args.insert(args.end(), line.begin(), line.end());
    const Ran r = RunProgram(dir.path(), "sh", args);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find(": File too large"), std::string::npos) << r.err;
  }
  // Neither a part file nor libzip's temporary archive (venue.mvz.XXXXXX).
  for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
    const std::string n = e.path().filename().string();
    EXPECT_TRUE(n[0] != '.' && n.find(".part") == std::string::npos && n.find(".mvz.") == std::string::npos) << n;
  }
}

#ifdef ACCURACY_EVAL
// Every walk failed to be written, and the run used to end with a note on
// stdout, an empty table and exit code 0.
TEST(ProgramsTest, AccuracyEvalFailsWhenAWalkCannotBeWritten) {
  peers::TempDir dir("cli");
  const Ran r = RunProgram(dir.path(), "sh",
                           {"-c", kSmallFiles, ACCURACY_EVAL, "--quick", "--no-recordings", "--kinds", "0",
                            "--tuning-seeds", "11", "--held-out-seeds", "91", "--setting", "kit", "--work", "work"});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.err.find("walk: cannot write work/kind0-seed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("/walk.log: File too large (and 1 more walks failed)"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(dir.path() / "work/kind0-seed11/walk.log"));
}
#endif

#ifdef KIT_DEMO
// Two hosts on one machine share the user's default app home until each sets
// its own: two demos at once must each keep to their own message queue, see
// every heat-map line they queued reach their own server once, and end the
// route at its target.
TEST(ProgramsTest, KitDemosSideBySideEachPassTheirOwnChecks) {
  peers::TempDir dir("cli");
  const std::string home = (dir.path() / "shared-home").string();
  // Under the leak checker: the pictures' text goes through fontconfig, whose
  // caches live until the process ends.
  peers::writeFile(dir.path() / "lsan.supp", "leak:libfontconfig.so\n");
  std::string cmd = "cd " + Quoted(dir.path().string()) + " && export MARVISTO_HOME=" + Quoted(home) +
                    " LSAN_OPTIONS=suppressions=" + Quoted((dir.path() / "lsan.supp").string()) + " && { ";
  for (const char* run : {"a", "b"})
    cmd += std::string("(timeout 300 ") + Quoted(KIT_DEMO) + " --out " + run + " </dev/null >" + run + ".out 2>" + run +
           ".err; echo $? >" + run + ".rc) & ";
  cmd += "wait; }";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  for (const char* run : {"a", "b"}) {
    SCOPED_TRACE(run);
    const std::string out = peers::readFile(dir.path() / (std::string(run) + ".out"));
    const std::string err = peers::readFile(dir.path() / (std::string(run) + ".err"));
    EXPECT_EQ(peers::readFile(dir.path() / (std::string(run) + ".rc")), "0\n") << err;
    EXPECT_EQ(Count(out, "none lost, none twice"), 1u) << out;
    EXPECT_EQ(Count(out, "arrived: the route to the target was"), 1u) << out;
    EXPECT_EQ(err.find("check failed"), std::string::npos) << err;
    // Redirected, the download's bar stays off both outputs.
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;
    EXPECT_EQ(err.find('\r'), std::string::npos) << err;
  }
}
#endif

}  // namespace
