#include "server/zip_archive.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
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
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void writeFile(const std::string& p, const std::string& bytes) const {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::string readFile(const std::string& p) const {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // An archive with the given members (name -> content).
  std::string makeArchive(const std::string& name,
                          const std::vector<std::pair<std::string, std::string>>& members) {
    std::string p = path(name);
    zip* za = ZipCreate(p.c_str());
    EXPECT_NE(za, nullptr);
    for (const auto& [member, content] : members)
      EXPECT_EQ(
          ZipWriteBuffer(za, member.c_str(), content.data(), static_cast<int>(content.size())), 0);
    EXPECT_EQ(ZipClose(za), 0);
    return p;
  }
  std::string readMember(zip* za, const char* name) {
    int size = ZipGetFileSize(za, name);
    if (size < 0) return "<missing>";
    std::string out(static_cast<size_t>(size), '\0');
    int n = ZipReadFile(za, name, out.data(), size);
    if (n != size) return "<unreadable>";
    return out;
  }

  fs::path dir_;
};

TEST_F(ZipArchiveFiles, WriteCloseReopenRead) {
  const std::string xml = "<config>\n  <floor id=\"1\"/>\n</config>\n";
  const std::string big(100000, 'q');  // compressible, larger than one read chunk
  const std::string source = path("b.xml");
  writeFile(source, "<b/>");
  std::string p = path("map.mvz");
  zip* za = ZipCreate(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipWriteBuffer(za, "config.xml", xml.data(), static_cast<int>(xml.size())), 0);
  EXPECT_EQ(ZipWriteBuffer(za, "big.txt", big.data(), static_cast<int>(big.size())), 0);
  EXPECT_EQ(ZipWriteBuffer(za, "empty.txt", nullptr, 0), 0);
  EXPECT_EQ(ZipWriteFile(za, source.c_str()), 0);
  EXPECT_EQ(ZipWriteFile(za, source.c_str()), 0);  // replaces, no second member
  EXPECT_EQ(ZipClose(za), 0);

  za = ZipOpen(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipGetNumFiles(za), 4);
  EXPECT_EQ(readMember(za, "config.xml"), xml);
  EXPECT_EQ(readMember(za, "big.txt"), big);
  EXPECT_EQ(readMember(za, "b.xml"), "<b/>");
  EXPECT_EQ(ZipGetFileSize(za, "empty.txt"), 0);
  // A larger buffer gets the member's size; a smaller one is filled, no more.
  std::vector<char> buf(xml.size() + 50, '#');
  EXPECT_EQ(ZipReadFile(za, "config.xml", buf.data(), static_cast<int>(buf.size())),
            static_cast<int>(xml.size()));
  EXPECT_EQ(buf[xml.size()], '#');
  EXPECT_EQ(ZipReadFile(za, "config.xml", buf.data(), 5), 5);
  EXPECT_EQ(std::string(buf.data(), 5), "<conf");
  // Missing members.
  EXPECT_EQ(ZipGetFileSize(za, "gp.xml"), -1);
  EXPECT_EQ(ZipReadFile(za, "gp.xml", buf.data(), 10), -1);
  EXPECT_EQ(ZipDeleteFile(za, "gp.xml"), 0);
  EXPECT_EQ(ZipClose(za), 0);
}

TEST_F(ZipArchiveFiles, MembersInFoldersAreFoundByBareName) {
  std::string p = makeArchive("m.mvz", {{"maps/floor1/config.xml", "cfg"}, {"other.txt", "o"}});
  zip* za = ZipOpen(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipGetFileSize(za, "config.xml"), 3);
  EXPECT_EQ(readMember(za, "config.xml"), "cfg");
  EXPECT_EQ(ZipDeleteFile(za, "config.xml"), 1);
  EXPECT_EQ(ZipClose(za), 0);
  za = ZipOpen(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipGetNumFiles(za), 1);
  EXPECT_EQ(ZipGetFileSize(za, "config.xml"), -1);
  EXPECT_EQ(ZipClose(za), 0);
}

TEST_F(ZipArchiveFiles, ListingHonoursTheMaximum) {
  std::string p =
      makeArchive("five.mvz", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}});
  zip* za = ZipOpen(p.c_str());
  ASSERT_NE(za, nullptr);
  const char* names[6] = {"x", "x", "x", "x", "x", "x"};
  EXPECT_EQ(ZipGetFiles(za, names, 2), 0);
  EXPECT_STREQ(names[0], "a");
  EXPECT_STREQ(names[1], "b");
  EXPECT_STREQ(names[2], "x");
  EXPECT_EQ(ZipGetFiles(za, names, 0), 0);
  EXPECT_EQ(ZipGetFiles(za, names, 6), 0);
  EXPECT_EQ(std::set<std::string>(names, names + 5),
            (std::set<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_STREQ(names[5], "x");
  EXPECT_EQ(ZipClose(za), 0);

  // A new archive has nothing to list.
  za = ZipCreate(path("new.mvz").c_str());
  ASSERT_NE(za, nullptr);
  names[0] = "x";
  EXPECT_EQ(ZipGetNumFiles(za), 0);
  EXPECT_EQ(ZipGetFiles(za, names, 3), 0);
  EXPECT_STREQ(names[0], "x");
  EXPECT_EQ(ZipClose(za), 0);
}

TEST_F(ZipArchiveFiles, CreateEmptiesAnExistingArchive) {
  std::string p = makeArchive("old.mvz", {{"a", "1"}, {"b", "2"}});
  zip* za = ZipCreate(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipGetNumFiles(za), 0);
  EXPECT_EQ(ZipWriteBuffer(za, "c", "3", 1), 0);
  EXPECT_EQ(ZipClose(za), 0);
  za = ZipOpen(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipGetNumFiles(za), 1);
  EXPECT_EQ(readMember(za, "c"), "3");
  EXPECT_EQ(ZipClose(za), 0);
}

TEST_F(ZipArchiveFiles, RefusedWritesLeaveTheArchiveUsable) {
  std::string p = path("w.mvz");
  zip* za = ZipCreate(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipWriteFile(za, path("no-such-file.xml").c_str()), -1);
  EXPECT_EQ(ZipWriteFile(za, dir_.string().c_str()), -1);          // a directory
  EXPECT_EQ(ZipWriteFile(za, (dir_.string() + "/").c_str()), -1);  // no file name
  EXPECT_EQ(ZipWriteBuffer(za, "x", "abc", -1), -1);
  EXPECT_EQ(ZipWriteBuffer(za, "x", nullptr, 3), -1);
  EXPECT_EQ(ZipWriteBuffer(za, "", "abc", 3), -1);
  EXPECT_EQ(ZipWriteBuffer(za, "kept", "abc", 3), 0);
  EXPECT_EQ(ZipClose(za), 0);
  za = ZipOpen(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipGetNumFiles(za), 1);
  EXPECT_EQ(readMember(za, "kept"), "abc");
  char c;
  EXPECT_EQ(ZipReadFile(za, "kept", &c, -1), -1);
  EXPECT_EQ(ZipClose(za), 0);

  // Null handles are refused, not dereferenced.
  const char* names[1];
  EXPECT_EQ(ZipClose(nullptr), -1);
  EXPECT_LT(ZipGetNumFiles(nullptr), 0);
  EXPECT_EQ(ZipGetFiles(nullptr, names, 1), -1);
  EXPECT_EQ(ZipGetFileSize(nullptr, "a"), -1);
  EXPECT_EQ(ZipReadFile(nullptr, "a", &c, 1), -1);
  EXPECT_EQ(ZipDeleteFile(nullptr, "a"), 0);
  EXPECT_EQ(ZipWriteBuffer(nullptr, "a", "b", 1), -1);
  EXPECT_EQ(ZipOpen(nullptr), nullptr);
}

// When the archive cannot be written at close, the caller hears of it and the
// handle is released (LeakSanitizer checks the latter).
TEST_F(ZipArchiveFiles, FailedCloseReportsAndReleases) {
  fs::create_directory(dir_ / "gone");
  std::string p = (dir_ / "gone" / "map.mvz").string();
  zip* za = ZipCreate(p.c_str());
  ASSERT_NE(za, nullptr);
  EXPECT_EQ(ZipWriteBuffer(za, "config.xml", "abc", 3), 0);
  fs::remove_all(dir_ / "gone");
  EXPECT_EQ(ZipClose(za), -1);
  EXPECT_FALSE(fs::exists(p));
}

TEST_F(ZipArchiveFiles, BrokenFilesAreRefused) {
  EXPECT_EQ(ZipOpen(path("missing.mvz").c_str()), nullptr);
  std::string text = path("text.mvz");
  writeFile(text, "this is not a zip archive at all, just some text\n");
  EXPECT_EQ(ZipOpen(text.c_str()), nullptr);

  std::string empty = path("empty.mvz");
  writeFile(empty, "");
  EXPECT_EQ(ZipOpen(empty.c_str()), nullptr);

  std::string good =
      makeArchive("good.mvz", {{"config.xml", std::string(3000, 'c')}, {"b.xml", "<b/>"}});
  const std::string bytes = readFile(good);
  for (size_t cut : {bytes.size() - 1, bytes.size() - 30, bytes.size() / 2, size_t{10}}) {
    std::string p = path("cut.mvz");
    writeFile(p, bytes.substr(0, cut));
    EXPECT_EQ(ZipOpen(p.c_str()), nullptr) << cut;
  }
}

// Archives come from servers and disks: damaged bytes must give -1 or the
// data, never a crash or an out-of-bounds read.
TEST_F(ZipArchiveFiles, MutatedArchivesNeverCrash) {
  std::string good =
      makeArchive("seed.mvz", {{"config.xml", "<config><floor id=\"1\" width=\"20\"/></config>"},
                               {"measure.xml", std::string(2000, 'm') + "71:4 72:10"},
                               {"dir/version.txt", "42"}});
  const std::string bytes = readFile(good);
  std::mt19937 rng(4242);
  int opened = 0;
  for (int i = 0; i < 600; ++i) {
    std::string mutated = bytes;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < edits; ++k) {
      size_t at = rng() % mutated.size();
      switch (rng() % 3) {
        case 0:
          mutated[at] = static_cast<char>(rng());
          break;
        case 1:
          mutated[at] ^= static_cast<char>(1 << (rng() % 8));
          break;
        default:
          mutated.erase(at, 1 + rng() % 8);
          break;
      }
    }
    std::string p = path("mut.mvz");
    writeFile(p, mutated);
    zip* za = ZipOpen(p.c_str());
    if (za == nullptr) continue;
    ++opened;
    int n = ZipGetNumFiles(za);
    std::vector<const char*> names(static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0 && ZipGetFiles(za, names.data(), n) == 0) {
      for (const char* name : names) {
        int size = ZipGetFileSize(za, name);
        if (size < 0 || size > (1 << 20)) continue;
        std::vector<char> buf(static_cast<size_t>(size) + 1);
        int got = ZipReadFile(za, name, buf.data(), size);
        EXPECT_LE(got, size);
        EXPECT_GE(got, -1);
      }
    }
    ZipClose(za);
  }
  EXPECT_GT(opened, 10);  // flips in member data leave the directory readable
}

}  // namespace
