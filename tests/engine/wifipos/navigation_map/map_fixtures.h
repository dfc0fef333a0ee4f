// Small hand-built map archives for the navigation-map tests: a temporary
// directory, an archive writer over name -> content pairs, a 1-bit bitmap
// encoder, member texts for a one- or two-floor location, a log capture and a
// seeded byte mutator.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "server/utils.h"
#include "server/zip_archive.h"
#include "wifipos/navigation_map/navigation_settings.h"

namespace mapfx {

using Members = std::vector<std::pair<std::string, std::string>>;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/marvisto_map_XXXXXX";
    const char* made = mkdtemp(tmpl);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes a fresh archive holding exactly the given members.
inline bool writeArchive(const std::string& path, const Members& members) {
  zip* archive = ZipCreate(path.c_str());
  if (archive == nullptr) return false;
  for (const auto& [name, content] : members) {
    if (ZipWriteBuffer(archive, name.c_str(), content.data(), static_cast<int>(content.size())) !=
        0) {
      ZipClose(archive);
      return false;
    }
  }
  return ZipClose(archive) == 0;
}

inline void putLe(std::string& out, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// An uncompressed 1-bit bitmap. walkable(column, rowFromBottom) gives each bit;
// the rows are stored bottom-up, or top-down (negative height) on request.
inline std::string makeBitmap(int width, int height,
                              const std::function<bool(int, int)>& walkable,
                              bool topDown = false) {
  const int stride = ((width + 31) / 32) * 4;
  const size_t offset = 62;
  std::string out(offset + static_cast<size_t>(stride) * height, '\0');
  out[0] = 'B';
  out[1] = 'M';
  putLe(out, 2, static_cast<uint32_t>(out.size()), 4);
  putLe(out, 10, offset, 4);
  putLe(out, 14, 40, 4);
  putLe(out, 18, static_cast<uint32_t>(width), 4);
  putLe(out, 22, static_cast<uint32_t>(topDown ? -height : height), 4);
  putLe(out, 26, 1, 2);
  putLe(out, 28, 1, 2);
  putLe(out, 34, static_cast<uint32_t>(stride * height), 4);
  putLe(out, 58, 0x00ffffff, 4);  // entry 1 white, entry 0 black
  for (int r = 0; r < height; ++r) {
    const int storedRow = topDown ? height - 1 - r : r;
    for (int c = 0; c < width; ++c) {
      if (!walkable(c, r)) continue;
      out[offset + static_cast<size_t>(storedRow) * stride + c / 8] |=
          static_cast<char>(0x80 >> (c % 8));
    }
  }
  return out;
}

inline std::string bitmapAllWalkable(int width, int height) {
  return makeBitmap(width, height, [](int, int) { return true; });
}

inline std::string configXml(int locationId, const std::string& floors) {
  return "<?xml version=\"1.0\"?>\n<Location id=\"" + std::to_string(locationId) +
         "\" name=\"office\">\n<Description>two test floors</Description>\n" + floors +
         "</Location>\n";
}

inline std::string floorXml(int id, const std::string& bmp, double width, double height,
                            const std::string& extra = "") {
  std::ostringstream s;
  s << "<Sublocation id=\"" << id << "\" name=\"floor" << id << "\">"
    << "<Files><File type=\"BMP\" name=\"" << bmp << "\"/>" << extra << "</Files>"
    << "<Metrics width_meters=\"" << width << "\" height_meters=\"" << height << "\"/>"
    << "</Sublocation>\n";
  return s.str();
}

inline std::string beaconXml(const std::string& major, const std::string& minor,
                             const std::string& uuid, const std::string& extra = "") {
  return "<beacon id=\"1\" kx=\"0.5\" ky=\"0.25\" A=\"-60\" B=\"3\" power=\"-59\" battery=\"90\" "
         "uuid=\"" + uuid + "\" name=\"b" + major + minor + "\" major=\"" + major +
         "\" minor=\"" + minor + "\" " + extra + "/>";
}

inline std::string locatorXml(const std::string& uuid, const std::string& extra = "") {
  return "<locator kx=\"0.1\" ky=\"0.2\" uuid=\"" + uuid + "\" name=\"l-" + uuid + "\" " + extra +
         "/>";
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

// A complete two-floor location that loads cleanly.
inline Members goodLocation(int locationId = 12) {
  Members m;
  m.emplace_back("config.xml",
                 configXml(locationId, floorXml(1, "f1.bmp", 3.2, 2.0,
                                                "<File type=\"PNG\" name=\"f1.png\"/>") +
                                           floorXml(2, "f2.bmp", 1.6, 1.0)));
  std::vector<std::pair<int, SublocationNavProperties>> floors = {{1, {}}, {2, {}}};
  CommonNavProperties common;
  common.Use_algorithm = NAV_ALG_KNN;
  m.emplace_back("navigation.xml", FormatNavigationConfigXML(locationId, common, floors));
  const std::string uuid = "f7826da6-4fa2-4e98-8024-bc5b71e0893e";
  m.emplace_back("beacons.xml",
                 floorsMember(locationId, {{1, beaconXml("1", "2", uuid) + beaconXml("1", "1", uuid) +
                                                  beaconXml("1", "3", uuid)},
                                           {2, beaconXml("2", "1", uuid)}}));
  m.emplace_back("locators.xml",
                 floorsMember(locationId, {{2, locatorXml("aa-01") + locatorXml("aa-02")},
                                           {1, locatorXml("bb-01")}}));
  m.emplace_back("f1.bmp", bitmapAllWalkable(32, 20));
  m.emplace_back("f2.bmp", bitmapAllWalkable(16, 10));
  m.emplace_back("f1.png", std::string("\x89PNG\r\n\x1a\n", 8) + "not really a picture");
  m.emplace_back("version.txt", "42\n");
  return m;
}

inline void replaceMember(Members& members, const std::string& name, const std::string& content) {
  for (auto& member : members) {
    if (member.first == name) {
      member.second = content;
      return;
    }
  }
  members.emplace_back(name, content);
}

inline void removeMember(Members& members, const std::string& name) {
  for (auto it = members.begin(); it != members.end(); ++it) {
    if (it->first == name) {
      members.erase(it);
      return;
    }
  }
}

// Sends the engine log to a file at the most detailed level for one scope.
class LogCapture {
 public:
  LogCapture() : path_(dir_.file("log.txt")) {
    _Logger.setLogFile(path_);
    _Logger.setOutStream(nullptr);
    _Logger.setDebugLevel(13);
  }
  ~LogCapture() {
    _Logger.setLogFile("");
    _Logger.setOutStream(stdout);
    _Logger.setDebugLevel(1);
  }
  std::string text() const {
    std::ifstream in(path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

 private:
  TempDir dir_;
  std::string path_;
};

// Keeps the log quiet for tests that push thousands of bad inputs through.
class QuietLog {
 public:
  QuietLog() {
    _Logger.setLogFile("");
    _Logger.setOutStream(nullptr);
    _Logger.setDebugLevel(0);
  }
  ~QuietLog() {
    _Logger.setOutStream(stdout);
    _Logger.setDebugLevel(1);
  }
};

// One random edit of a byte string: flips, overwrites, cuts, duplications and
// insertions of tokens that upset XML and number parsers.
inline std::string mutate(std::string s, std::mt19937& rng) {
  static const char* const tokens[] = {"<", ">", "\"", "/>", "</Sublocation>", "<Sublocation>",
                                       "id=\"", "=", "&", "&#0;", "-", "99999999999", "nan",
                                       "1e309", "\0", "<!--", "]]>", "<beacon/>", "<locator/>"};
  std::uniform_int_distribution<int> kind(0, 6);
  const size_t n = s.size();
  auto pos = [&](size_t limit) {
    return limit == 0 ? size_t{0} : std::uniform_int_distribution<size_t>(0, limit - 1)(rng);
  };
  switch (kind(rng)) {
    case 0:
      if (n) s[pos(n)] ^= static_cast<char>(1 << (rng() % 8));
      break;
    case 1:
      if (n) s[pos(n)] = static_cast<char>(rng() & 0xff);
      break;
    case 2:
      s.resize(pos(n + 1));
      break;
    case 3: {
      const size_t at = pos(n + 1);
      const size_t len = std::min<size_t>(n - at, 1 + rng() % 16);
      s.erase(at, len);
      break;
    }
    case 4: {
      const size_t at = pos(n + 1);
      const size_t len = std::min<size_t>(n - at, 1 + rng() % 64);
      s.insert(pos(n + 1), s.substr(at, len));
      break;
    }
    default: {
      const char* t = tokens[rng() % (sizeof(tokens) / sizeof(tokens[0]))];
      s.insert(pos(n + 1), std::string(t, *t ? std::char_traits<char>::length(t) : 1));
      break;
    }
  }
  return s;
}

}  // namespace mapfx
