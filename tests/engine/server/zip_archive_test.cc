#include "server/zip_archive.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ZipArchiveFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/marvisto_zip_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static void writeFile(const std::string& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::string makeArchive(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string p = path("map.mvz");
    zip* za = ZipCreate(p.c_str());
    for (const auto& [name, data] : members)
      EXPECT_EQ(ZipWriteBuffer(za, name.c_str(), data.data(), static_cast<int>(data.size())), 0);
    EXPECT_EQ(ZipClose(za), 0);
    return p;
  }
  static std::string readMember(zip* za, const char* name) {
    int size = ZipGetFileSize(za, name);
    if (size < 0) return "<missing>";
    std::string out(static_cast<size_t>(size), '\0');
    return ZipReadFile(za, name, out.data(), size) == size ? out : "<unreadable>";
  }

  fs::path dir_;
};

TEST_F(ZipArchiveFiles, WriteCloseReopenRead) {
  const std::string big(100000, 'q');
  writeFile(path("b.xml"), "<b/>");
  std::string p = path("map.mvz");
  zip* za = ZipCreate(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipWriteBuffer(za, "big.txt", big.data(), static_cast<int>(big.size())), 0);
  EXPECT_EQ(ZipWriteBuffer(za, "empty.txt", nullptr, 0), 0);
  EXPECT_EQ(ZipWriteFile(za, path("b.xml").c_str()), 0);
  EXPECT_EQ(ZipWriteFile(za, path("b.xml").c_str()), 0);  // replaces, no second member
  // Refused writes leave the archive usable.
  EXPECT_EQ(ZipWriteFile(za, path("missing.xml").c_str()), -1);
  EXPECT_EQ(ZipWriteFile(za, dir_.string().c_str()), -1);
  EXPECT_EQ(ZipWriteBuffer(za, "x", "abc", -1), -1);
  EXPECT_EQ(ZipClose(za), 0);

  za = ZipOpen(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipGetNumFiles(za), 3);
  EXPECT_EQ(readMember(za, "big.txt"), big);
  EXPECT_EQ(readMember(za, "b.xml"), "<b/>");
  EXPECT_EQ(ZipGetFileSize(za, "empty.txt"), 0);
  // A larger buffer gets the member's size; a smaller one is filled, no more.
  char buf[16] = "###############";
  EXPECT_EQ(ZipReadFile(za, "b.xml", buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 6), "<b/>##");
  EXPECT_EQ(ZipReadFile(za, "big.txt", buf, 3), 3);
  EXPECT_EQ(ZipGetFileSize(za, "gp.xml"), -1);
  EXPECT_EQ(ZipReadFile(za, "gp.xml", buf, 10), -1);
  EXPECT_EQ(ZipDeleteFile(za, "gp.xml"), 0);
  EXPECT_EQ(ZipClose(za), 0);
}

// When the archive cannot be written at close, the caller hears of it and the
// handle is released (LeakSanitizer checks the latter).
TEST_F(ZipArchiveFiles, FailedCloseReportsAndReleases) {
  fs::create_directory(dir_ / "gone");
  zip* za = ZipCreate((dir_ / "gone" / "map.mvz").c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipWriteBuffer(za, "config.xml", "abc", 3), 0);
  fs::remove_all(dir_ / "gone");
  EXPECT_EQ(ZipClose(za), -1);
  EXPECT_EQ(ZipClose(nullptr), -1);
}

TEST_F(ZipArchiveFiles, BrokenFilesAreRefused) {
  EXPECT_EQ(ZipOpen(path("missing.mvz").c_str()), nullptr);
  writeFile(path("text.mvz"), "this is not a zip archive, just some text\n");
  EXPECT_EQ(ZipOpen(path("text.mvz").c_str()), nullptr);
  writeFile(path("empty.mvz"), "");
  EXPECT_EQ(ZipOpen(path("empty.mvz").c_str()), nullptr);

  std::ifstream in(makeArchive({{"config.xml", std::string(3000, 'c')}, {"b.xml", "<b/>"}}));
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string bytes = ss.str();
  for (size_t cut : {bytes.size() - 1, bytes.size() - 30, bytes.size() / 2, size_t{10}}) {
    writeFile(path("cut.mvz"), bytes.substr(0, cut));
    EXPECT_EQ(ZipOpen(path("cut.mvz").c_str()), nullptr) << cut;
  }
}

// Archives come from servers and disks: damaged bytes must give -1 or the
// data, never a crash or an out-of-bounds read.
TEST_F(ZipArchiveFiles, MutatedArchivesNeverCrash) {
  std::ifstream in(makeArchive({{"config.xml", "<config><floor id=\"1\"/></config>"},
                                {"measure.xml", std::string(2000, 'm') + "71:4 72:10"},
                                {"dir/version.txt", "42"}}));
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string bytes = ss.str();
  std::mt19937 rng(4242);
  int opened = 0;
  for (int i = 0; i < 600; ++i) {
    std::string mutated = bytes;
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
      size_t at = rng() % mutated.size();
      if (rng() % 3 == 0)
        mutated.erase(at, 1 + rng() % 8);
      else
        mutated[at] ^= static_cast<char>(1 + rng() % 255);
    }
    writeFile(path("mut.mvz"), mutated);
    zip* za = ZipOpen(path("mut.mvz").c_str());
    if (za == nullptr) continue;
    ++opened;
    std::vector<const char*> names(8);
    if (ZipGetFiles(za, names.data(), 8) == 0) {
      for (int m = 0; m < std::min(ZipGetNumFiles(za), 8); ++m) {
        int size = ZipGetFileSize(za, names[m]);
        if (size < 0 || size > (1 << 20)) continue;
        std::vector<char> buf(static_cast<size_t>(size) + 1);
        int got = ZipReadFile(za, names[m], buf.data(), size);
        EXPECT_TRUE(got >= -1 && got <= size);
      }
    }
    ZipClose(za);
  }
  EXPECT_GT(opened, 10);  // flips in member data leave the directory readable
}

}  // namespace
