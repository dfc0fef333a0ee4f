// The checks programs make before their work: each answers with the system's
// reason, and checking leaves no trace (a probe file is removed, an existing
// file keeps its contents). Root passes permission bits, so the refusals here
// come from paths no user can write: a folder in a file's place, a path
// beneath a plain file, a folder that is not there.
#include "cli/outputs.h"

#include <filesystem>
#include <string>

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
    const std::string path = c.path.empty() ? "" : dir.file(c.path);
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
      {"blocker/v.mvz", "cannot create archive " + dir.file("blocker/v.mvz") + ": Not a directory"},
      {"folder", "cannot create archive " + dir.file("folder") + ": Is a directory"},
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
  std::string error;
  EXPECT_EQ(venuesim::WriteZipArchive(dir.file("folder/v.mvz"), {{"a.txt", "a"}}, &error), 0) << error;
}

}  // namespace
