#include "MCArchiveManager/mc_archive_manager.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "MCModels/mc_location.h"
#include "server/zip_archive.h"
#include "sdk/sdk_scene.h"

namespace {

namespace fs = std::filesystem;
using sdk_test::SharedScene;

std::shared_ptr<MCBeacon> Beacon(int64_t id, int64_t status, double x) {
  auto b = std::make_shared<MCBeacon>();
  b->id = id;
  b->status = status;
  b->major = 7;
  b->minor = 65535;
  b->uuid = "U";
  b->name = "n";
  b->x = x;
  b->y = 1.0;
  return b;
}

TEST(ArchiveManagerTest, BeaconLinesFollowIdStatusAndFloorSize) {
  struct Case {
    int64_t id, status;
    float width;
    const char* line;
  } cases[] = {
      {0, 2, 10, "<beacon id=\"\" name=\"n\" uuid=\"U\" major=\"00007\" minor=\"65535\"  kx=\"0.500000\" ky=\"0.100000\" status=\"mod\"/>"},
      {15, 1, 10, "<beacon id=\"\" name=\"n\" uuid=\"U\" major=\"00007\" minor=\"65535\"  kx=\"0.500000\" ky=\"0.100000\" status=\"new\"/>"},
      {15, 2, 10, "<beacon id=\"15\" name=\"n\" uuid=\"U\" major=\"00007\" minor=\"65535\"  kx=\"0.500000\" ky=\"0.100000\" status=\"mod\"/>"},
      {15, 0, 0, "<beacon id=\"15\" name=\"n\" uuid=\"U\" major=\"00007\" minor=\"65535\"  kx=\"0.000000\" ky=\"0.100000\" />"},
  };
  for (const Case& k : cases) {
    MCLocation loc;
    loc.id = 3;
    auto floor = std::make_shared<MCSublocation>();
    floor->id = 4;
    floor->width = k.width;
    floor->height = 10;
    floor->beacons->push_back(Beacon(k.id, k.status, 5.0));
    loc.sublocations.push_back(floor);
    const std::string xml = MCArchiveManager::beaconsXML(loc, "");
    EXPECT_EQ(xml, std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Location id=\"3\">\n"
                               "  <Sublocation id=\"4\">\n    ") +
                       k.line + "\n  </Sublocation>\n</Location>\n");
  }
}

TEST(ArchiveManagerTest, ReadsReportTheirFailure) {
  const std::string notZip = SharedScene().dir.file("not-a-zip.mvz");
  std::ofstream(notZip) << "plain text";
  struct Case {
    std::string member, path, description;
  } cases[] = {
      {"version.txt", notZip, "Archive " + notZip + " couldn't be opened"},
      {"venues.xml", SharedScene().map, "Couldn't read data from archive"},
      {"version.txt", SharedScene().map, ""},
  };
  for (const Case& k : cases) {
    std::optional<platform::Error> error;
    const auto data = MCArchiveManager::dataFromFile(k.member, k.path, &error);
    EXPECT_EQ(error ? error->localizedDescription : "", k.description);
    EXPECT_EQ(data.has_value(), k.description.empty());
    if (error) {
      EXPECT_EQ(error->code, 2);
    }
  }
}

// A write that cannot be committed when the archive closes is a failure, and the
// archive keeps its content.
TEST(ArchiveManagerTest, AFailedCommitIsReported) {
  const std::string path = SharedScene().dir.file("commit.mvz");
  fs::copy_file(SharedScene().map, path, fs::copy_options::overwrite_existing);
  MCArchiveManager manager;
  auto loc = std::make_shared<MCLocation>();
  loc->archiveFile = path;
  manager.setLocation(loc);
  std::string big(4 << 20, '\0');
  std::mt19937 rng(5);
  for (char& ch : big) ch = char(rng());
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = fs::file_size(path) + (1 << 20);
  setrlimit(RLIMIT_FSIZE, &small);
  std::optional<platform::Error> error;
  const bool ok = manager.zipWriteData(big, "beacons.xml", 0, &error);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(ok);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription, "Couldn't write data to beacons.xml inside archive");
  EXPECT_TRUE(manager.dataFromFile("version.txt", nullptr));
}

// Mutated archives and stored beacon lists never crash, and a member read is whole or none.
TEST(ArchiveManagerTest, MutatedInputIsReadSafely) {
  std::ifstream in(SharedScene().map, std::ios::binary);
  const std::string archive((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto stored = MCArchiveManager::dataFromFile("beacons.xml", SharedScene().map, nullptr);
  ASSERT_TRUE(stored);
  const std::string beacons(stored->begin(), stored->end());
  std::mt19937 rng(20261207);
  const std::string path = SharedScene().dir.file("mutated.mvz");
  MCLocation loc;
  auto floor = std::make_shared<MCSublocation>();
  floor->beacons->push_back(Beacon(1, 0, 1));
  loc.sublocations.push_back(floor);
  for (int i = 0; i < 3000; ++i) {
    std::string text = i % 3 ? beacons : archive;
    const int edits = 1 + int(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0: text[at] = char(rng()); break;
        case 1: text.erase(at, rng() % 64); break;
        default: text.insert(at, text.substr(rng() % text.size(), rng() % 32));
      }
    }
    if (i % 3) {
      const std::string xml = MCArchiveManager::beaconsXML(loc, text);
      ASSERT_NE(xml.find("</Location>"), std::string::npos);
      continue;
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    std::optional<platform::Error> error;
    const auto data = MCArchiveManager::dataFromFile("beacons.xml", path, &error);
    ASSERT_NE(data.has_value(), error.has_value());
  }
}

// An archive with one member "venues.xml" holding `bytes`, whose headers then
// claim `claimed` bytes instead.
std::string ClaimingArchive(const std::string& path, const std::string& bytes, uint32_t claimed) {
  zip* z = ZipCreate(path.c_str());
  EXPECT_TRUE(z);
  EXPECT_EQ(ZipWriteBuffer(z, "venues.xml", bytes.data(), int(bytes.size())), 0);
  EXPECT_EQ(ZipClose(z), 0);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto put = [&](size_t at) {
    for (int i = 0; i < 4; ++i) data[at + size_t(i)] = char((claimed >> (8 * i)) & 0xFF);
  };
  put(22);  // the local header's uncompressed size
  const size_t central = data.find(std::string("PK\x01\x02", 4));
  EXPECT_NE(central, std::string::npos);
  put(central + 24);  // the central directory's
  f.seekp(0);
  f.write(data.data(), std::streamsize(data.size()));
  return path;
}

// Kilobytes of private writable memory the process maps now.
long DataKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmData:", 0) == 0) return std::stol(line.substr(7));
  return -1;
}

// A member's header only claims a size: reading one that claims 2 GB (or
// more than it holds, or less) fails with the read error and never takes
// more memory than the cap, here checked in a child whose data limit is the
// cap and a little more.
TEST(ArchiveManagerTest, MembersAreReadWithinTheCapWhateverTheirHeadersClaim) {
  const std::string text = "<venues><venue id=\"1\"/></venues>";
  struct Case {
    const char* name;
    uint32_t claimed;
    bool read;
  } cases[] = {
      {"honest", uint32_t(text.size()), true},
      {"two gigabytes", 0x7FFFFFF0u, false},
      {"just above the cap", uint32_t(kMArchiveMemberCap + 1), false},
      {"fewer than it holds", uint32_t(text.size() - 3), false},
      {"one more than it holds", uint32_t(text.size() + 1), false},
  };
  for (const Case& k : cases) {
    const std::string path =
        ClaimingArchive(SharedScene().dir.file(std::string("claim-") + k.name + ".mvz"), text, k.claimed);
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const long kb = DataKb();
      const rlim_t limit = rlim_t(kb) * 1024 + kMArchiveMemberCap + (64 << 20);
      rlimit r{limit, limit};
      if (kb < 0 || setrlimit(RLIMIT_DATA, &r) != 0) _exit(3);
      try {
        std::optional<platform::Error> error;
        const auto data = MCArchiveManager::dataFromFile("venues.xml", path, &error);
        const bool good = k.read ? data && std::string(data->begin(), data->end()) == text && !error
                                 : !data && error && error->code == 2 &&
                                       error->localizedDescription == "Couldn't read data from archive";
        _exit(good ? 0 : 1);
      } catch (const std::bad_alloc&) {
        _exit(2);
      }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << k.name << ": " << (WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
  }
}

}  // namespace
