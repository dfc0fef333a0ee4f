// Hand-built map archives for the navigation-map tests: a temporary directory,
// an archive writer, a 1-bit bitmap encoder, member texts and a seeded byte
// mutator (logs are captured with the shared LogCapture).
#pragma once

#include "text_mutation.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "engine/server/log_capture.h"
#include "server/utils.h"
#include "server/zip_archive.h"
#include "wifipos/navigation_map/navigation_settings.h"

namespace mapfx {

using Members = std::vector<std::pair<std::string, std::string>>;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/marvisto_map_XXXXXX";
    path_ = mkdtemp(tmpl) != nullptr ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline bool writeArchive(const std::string& path, const Members& members) {
  zip* archive = ZipCreate(path.c_str());
  if (archive == nullptr) return false;
  for (const auto& [name, content] : members) {
    ZipWriteBuffer(archive, name.c_str(), content.data(), static_cast<int>(content.size()));
  }
  return ZipClose(archive) == 0;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline void putLe(std::string& out, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// An uncompressed 1-bit bitmap; walkable(column, row counted from the bottom)
// gives each bit. Rows are stored bottom-up, or top-down on request.
inline std::string makeBitmap(int width, int height, const std::function<bool(int, int)>& walkable,
                              bool topDown = false) {
  const int stride = ((width + 31) / 32) * 4;
  std::string out(62 + static_cast<size_t>(stride) * height, '\0');
  out[0] = 'B';
  out[1] = 'M';
  putLe(out, 2, static_cast<uint32_t>(out.size()), 4);
  putLe(out, 10, 62, 4);
  putLe(out, 14, 40, 4);
  putLe(out, 18, static_cast<uint32_t>(width), 4);
  putLe(out, 22, static_cast<uint32_t>(topDown ? -height : height), 4);
  putLe(out, 26, 1, 2);
  putLe(out, 28, 1, 2);
  putLe(out, 58, 0x00ffffff, 4);  // entry 1 white
  for (int r = 0; r < height; ++r) {
    const size_t row = static_cast<size_t>(topDown ? height - 1 - r : r);
    for (int c = 0; c < width; ++c) {
      if (walkable(c, r)) out[62 + row * stride + c / 8] |= static_cast<char>(0x80 >> (c % 8));
    }
  }
  return out;
}

inline std::string openBitmap(int width, int height) {
  return makeBitmap(width, height, [](int, int) { return true; });
}

inline std::string configXml(int locationId, const std::string& body) {
  return "<?xml version=\"1.0\"?>\n<Location id=\"" + std::to_string(locationId) +
         "\" name=\"office\">\n<Description>test floors</Description>\n" + body + "</Location>\n";
}

inline std::string floorXml(int id, const std::string& bmp, double width, double height,
                            const std::string& moreFiles = "") {
  std::ostringstream s;
  s << "<Sublocation id=\"" << id << "\" name=\"floor" << id << "\"><Files><File type=\"BMP\" "
    << "name=\"" << bmp << "\"/>" << moreFiles << "</Files><Metrics width_meters=\"" << width
    << "\" height_meters=\"" << height << "\"/></Sublocation>\n";
  return s.str();
}

inline std::string beaconXml(const std::string& major, const std::string& minor,
                             const std::string& uuid, const std::string& extra = "") {
  return "<beacon id=\"1\" kx=\"0.5\" ky=\"0.25\" A=\"-60\" B=\"3\" power=\"-59\" battery=\"90\" "
         "uuid=\"" + uuid + "\" name=\"b" + major + minor + "\" major=\"" + major +
         "\" minor=\"" + minor + "\" " + extra + "/>";
}

inline std::string locatorXml(const std::string& uuid, const std::string& extra = "") {
  return "<locator kx=\"0.1\" ky=\"0.2\" uuid=\"" + uuid + "\" name=\"l\" " + extra + "/>";
}

// A Location member with one Sublocation element per (floor id, body) pair.
inline std::string floorsMember(int locationId,
                                const std::vector<std::pair<int, std::string>>& floors) {
  std::string s = "<Location id=\"" + std::to_string(locationId) + "\">\n";
  for (const auto& [id, body] : floors) {
    s += "<Sublocation id=\"" + std::to_string(id) + "\">" + body + "</Sublocation>\n";
  }
  return s + "</Location>\n";
}

// A two-floor location 12 that loads cleanly.
inline Members goodLocation() {
  const std::string uuid = "f7826da6-4fa2-4e98-8024-bc5b71e0893e";
  CommonNavProperties common;
  common.Use_algorithm = NAV_ALG_KNN;
  return {
      {"config.xml", configXml(12, floorXml(1, "f1.bmp", 3.2, 2.0,
                                            "<File type=\"PNG\" name=\"f1.png\"/>") +
                                       floorXml(2, "f2.bmp", 1.6, 1.0))},
      {"navigation.xml", FormatNavigationConfigXML(12, common, {{1, {}}, {2, {}}})},
      {"beacons.xml", floorsMember(12, {{1, beaconXml("1", "2", uuid) + beaconXml("1", "1", uuid) +
                                                beaconXml("1", "3", uuid)},
                                        {2, beaconXml("2", "1", uuid)}})},
      {"locators.xml", floorsMember(12, {{2, locatorXml("aa-01") + locatorXml("aa-02")},
                                         {1, locatorXml("bb-01")}})},
      {"f1.bmp", openBitmap(32, 20)},
      {"f2.bmp", openBitmap(16, 10)},
      {"f1.png", "\x89PNG, not really a picture"},  // 26 bytes
      {"version.txt", "42\n"},
  };
}

inline Members without(Members members, const std::string& name) {
  std::erase_if(members, [&](const auto& m) { return m.first == name; });
  return members;
}

inline Members with(Members members, const std::string& name, const std::string& content) {
  members = without(std::move(members), name);
  members.emplace_back(name, content);
  return members;
}

// One random edit with tokens that upset XML and number parsers.
inline std::string mutate(const std::string& s, std::mt19937& rng) {
  static const std::vector<std::string> tokens = {
      "<", ">", "\"", "/>", "</Sublocation>", "id=\"", "=", "&", "-", "99999999999", "nan",
      "1e309", std::string(1, '\0'), "<!--", "<beacon/>"};
  return testmut::Mutate(s, rng, tokens, 1);
}

}  // namespace mapfx
