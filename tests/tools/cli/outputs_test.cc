// The checks programs make before their work: each answers with the system's
// reason, and checking leaves no trace (a probe file is removed, an existing
// file keeps its contents). Root passes permission bits, so the refusals here
// come from paths no user can write: a folder in a file's place, a path
// beneath a plain file, a folder that is not there.
#include "cli/outputs.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/peers.h"
#include "venuesim/zip_writer.h"

namespace {

namespace fs = std::filesystem;

TEST(OutputChecks, AnswerWithTheReasonAndLeaveNoTrace) {
  peers::TempDir dir("outputs");
  peers::writeFile(dir.path() / "kept.csv", "old contents");
  peers::writeFile(dir.path() / "blocker", "a plain file");
  fs::create_directories(dir.path() / "folder");
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  const int readOnly = open(dir.file("kept.csv").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(readOnly, 0);
  enum Check { kFile, kFolder, kMakeFolder, kRead };
  struct Case {
    Check check;
    std::string path;
    std::string reason;  // empty: accepted
  } cases[] = {
      {kFile, "new.csv", ""},
      {kFile, "kept.csv", ""},
      {kFile, "folder", "Is a directory"},
      {kFile, "blocker/t.csv", "Not a directory"},
      {kFile, "missing/t.csv", "No such file or directory"},
      {kFile, std::string(255, 'n'), ""},
      {kFile, std::string(256, 'n'), "File name too long"},
      {kFile, "pipe", ""},  // no reader yet: one may come before the write
      {kFile, "/dev/fd/" + std::to_string(readOnly), "Bad file descriptor"},
      {kFolder, "folder", ""},
      {kFolder, "blocker", "Not a directory"},
      {kFolder, "missing", "No such file or directory"},
      {kMakeFolder, "made/deeper", ""},
      {kMakeFolder, "blocker/sub", "Not a directory"},
      {kRead, "folder", "Is a directory"},
      {kRead, "missing.csv", "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string path = c.path.empty() || c.path[0] == '/' ? c.path : dir.file(c.path);
    const std::string why = c.check == kFile       ? cli::FileWritable(path)
                            : c.check == kFolder   ? cli::FolderWritable(path)
                            : c.check == kMakeFolder ? cli::MakeWritableFolder(path)
                                                   : cli::FileReadable(path);
    EXPECT_EQ(why, c.reason);
  }
  EXPECT_FALSE(fs::exists(dir.path() / "new.csv"));
  EXPECT_EQ(peers::readFile(dir.path() / "kept.csv"), "old contents");
  EXPECT_TRUE(fs::is_directory(dir.path() / "made/deeper"));
  EXPECT_TRUE(fs::is_empty(dir.path() / "folder"));  // the probe was removed
  EXPECT_FALSE(fs::exists(dir.path() / std::string(255, 'n')));
  close(readOnly);
}

// What is written is there whole or not at all: a write that fails (a full
// disk, a file too large) leaves no cut or empty file and keeps the file it
// was to replace; a device is written, never replaced.
TEST(OutputChecks, FilesAreWrittenWholeOrNotAtAll) {
  peers::TempDir dir("outputs");
  peers::writeFile(dir.path() / "kept.csv", "old contents");
  fs::permissions(dir.path() / "kept.csv", fs::perms::owner_read | fs::perms::owner_write);
  peers::writeFile(dir.path() / "target.csv", "old target");
  fs::create_symlink(dir.path() / "target.csv", dir.path() / "link.csv");
  fs::create_directories(dir.path() / "folder");
  const std::string big(64 * 1024, 'x');
  // Files limited to 4 KiB in a child, a larger write failing with EFBIG
  // rather than ending the process: what a full file system does to a folder.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &small);
    const bool failed = cli::WriteWholeFile(dir.file("cut.csv"), big) == "File too large" &&
                        cli::WriteWholeFile(dir.file("kept.csv"), big) == "File too large";
    _exit(failed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write past the limit did not fail";
  EXPECT_FALSE(fs::exists(dir.path() / "cut.csv"));
  EXPECT_EQ(peers::readFile(dir.path() / "kept.csv"), "old contents");
  struct Case {
    std::string path, reason;  // empty reason: written
  } cases[] = {
      {dir.file("new.csv"), ""},
      {dir.file("kept.csv"), ""},
      {dir.file("link.csv"), ""},
      {dir.file(std::string(255, 'n')), ""},
      {dir.file(std::string(255, 'n')), ""},  // replaced
      {dir.file(std::string(256, 'n')), "File name too long"},
      {"/dev/full", "No space left on device"},
      {"/dev/null", ""},
      {dir.file("folder"), "Is a directory"},
      {dir.file("missing/t.csv"), "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(cli::WriteWholeFile(c.path, big), c.reason);
  }
  EXPECT_EQ(peers::readFile(dir.path() / "new.csv"), big);
  EXPECT_EQ(peers::readFile(dir.path() / "kept.csv"), big);
  EXPECT_EQ(fs::status(dir.path() / "kept.csv").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.csv"));
  EXPECT_EQ(peers::readFile(dir.path() / "target.csv"), big);
  struct stat full {};
  EXPECT_TRUE(stat("/dev/full", &full) == 0 && S_ISCHR(full.st_mode));
  // Nothing else was left in the folder.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 6u);  // kept, target, link, new, the long name, folder
}

// The process's own descriptors are written into as they are, wherever they
// lead: `--ticks-csv /dev/stdout >> app.txt` appends to app.txt. A named pipe
// is not opened before the write, which would end a one-shot reader's input.
TEST(OutputChecks, OwnDescriptorsAndPipesAreWrittenAsTheyAre) {
  peers::TempDir dir("outputs");
  peers::writeFile(dir.path() / "app.txt", "earlier\n");
  fs::create_symlink("/dev/stdout", dir.path() / "to-stdout");
  auto names = [&](pid_t own) {
    return std::vector<std::string>{"/dev/stdout", "/dev/stderr", "/dev/fd/1", "/proc/self/fd/2",
                                    "/proc/" + std::to_string(own) + "/fd/1", dir.file("to-stdout")};
  };
  const pid_t child = fork();  // with stdout and stderr appending to app.txt
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int app = open(dir.file("app.txt").c_str(), O_WRONLY | O_APPEND);
    int failed = app < 0 || dup2(app, 1) < 0 || dup2(app, 2) < 0;
    for (const std::string& n : names(getpid()))
      failed += !cli::FileWritable(n).empty() || !cli::WriteWholeFile(n, n + "\n").empty();
    _exit(failed);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  std::string expected = "earlier\n";
  for (const std::string& n : names(child)) expected += n + "\n";
  EXPECT_EQ(peers::readFile(dir.path() / "app.txt"), expected);

  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  const int reader = open(dir.file("pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_EQ(cli::FileWritable(dir.file("pipe")), "");
  pollfd hangup{reader, POLLIN, 0};
  EXPECT_EQ(poll(&hangup, 1, 0), 0) << "the check opened and closed the pipe";
  EXPECT_EQ(cli::WriteWholeFile(dir.file("pipe"), "rows\n"), "");
  char got[16] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 5);
  EXPECT_STREQ(got, "rows\n");
  close(reader);
}

// The archive writer's refusals say what is wrong with the path; libzip's own
// words named a path it could not create a "Read error" and a folder an
// unsupported operation.
TEST(OutputChecks, ArchiveWriterNamesWhatIsWrongWithThePath) {
  peers::TempDir dir("outputs");
  peers::writeFile(dir.path() / "blocker", "a plain file");
  fs::create_directories(dir.path() / "folder");
  struct Case {
    std::string path, reason;
  } cases[] = {
      {"blocker/v.mvz", "cannot write archive " + dir.file("blocker/v.mvz") + ": Not a directory"},
      {"folder", "cannot write archive " + dir.file("folder") + ": Is a directory"},
      {"missing/v.mvz", "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_NE(venuesim::WriteZipArchive(dir.file(c.path), {{"a.txt", "a"}}, &error), 0);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(error.find(" error"), std::string::npos) << error;
    EXPECT_EQ(error.find("not supported"), std::string::npos) << error;
  }
  // Written as every other output: through a link into its target, in place into a device.
  fs::create_symlink("real.mvz", dir.path() / "link.mvz");
  for (const std::string& path : {dir.file("folder/v.mvz"), dir.file("link.mvz"), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    std::string error;
    EXPECT_EQ(venuesim::WriteZipArchive(path, {{"a.txt", "a"}}, &error), 0) << error;
  }
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.mvz"));
  EXPECT_EQ(peers::readFile(dir.path() / "real.mvz"), peers::readFile(dir.path() / "folder/v.mvz"));
  EXPECT_EQ(peers::readFile(dir.path() / "real.mvz").substr(0, 2), "PK");
}

}  // namespace
