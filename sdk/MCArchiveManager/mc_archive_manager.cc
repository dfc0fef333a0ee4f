#include "MCArchiveManager/mc_archive_manager.h"

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>

#include <tinyxml2.h>

#include "MCModels/mc_location.h"
#include "Foundation/mc_log.h"
#include "platform/mutex.h"
#include "server/utils.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Key(int64_t major, int64_t minor, const std::string& uuid) {
  return std::to_string(major) + "," + std::to_string(minor) + "," + Upper(uuid);
}

// The signal-model and battery attributes of the stored beacons, by identity, so a
// rewrite does not drop what the positioning relies on.
std::map<std::string, std::string> KeptAttributes(const std::string& stored) {
  std::map<std::string, std::string> kept;
  tinyxml2::XMLDocument doc;
  if (stored.empty() || doc.Parse(stored.data(), stored.size()) != tinyxml2::XML_SUCCESS) {
    return kept;
  }
  const auto* root = doc.FirstChildElement("Location");
  for (auto* f = root ? root->FirstChildElement("Sublocation") : nullptr; f;
       f = f->NextSiblingElement("Sublocation")) {
    for (auto* b = f->FirstChildElement("beacon"); b; b = b->NextSiblingElement("beacon")) {
      const char* uuid = b->Attribute("uuid");
      if (uuid == nullptr) continue;
      std::string extra;
      for (const char* name : {"A", "B", "power", "battery"}) {
        if (const char* v = b->Attribute(name)) extra += std::string(name) + "=\"" + XmlEscape(v) + "\" ";
      }
      kept[Key(b->Int64Attribute("major"), b->Int64Attribute("minor"), uuid)] = extra;
    }
  }
  return kept;
}

// A fraction of a side that may be 0 (a floor without size): 0, never inf or nan.
double Fraction(double v, double side) {
  const double k = v / side;
  return std::isfinite(k) ? k : 0.0;
}

const char* StatusText(int64_t status) {
  switch (status) {
    case 1: return "status=\"new\"";
    case 2: return "status=\"mod\"";
    case 3: return "status=\"del\"";
    default: return "";
  }
}

std::string Format(const char* format, auto... args) {
  std::vector<char> out(256);
  for (;;) {
    const int n = std::snprintf(out.data(), out.size(), format, args...);
    if (n < 0) return {};
    if (size_t(n) < out.size()) return std::string(out.data(), size_t(n));
    out.resize(size_t(n) + 1);
  }
}

}  // namespace

std::shared_ptr<MCArchiveManager> MCArchiveManager::sharedInstance() {
  static const std::shared_ptr<MCArchiveManager> instance = std::make_shared<MCArchiveManager>();
  return instance;
}

MCArchiveManager::MCArchiveManager() : location_(std::make_shared<MCLocation>()) {}

std::shared_ptr<MCLocation> MCArchiveManager::location() const {
  platform::MutexLock lock(mutex_);
  return location_;
}

void MCArchiveManager::setLocation(std::shared_ptr<MCLocation> location) {
  // The archive's path is taken now: reads must not touch the model a load rebuilds.
  std::string path = location ? location->archiveFile : "";
  platform::MutexLock lock(mutex_);
  location_ = std::move(location);
  archiveFile_ = std::move(path);
}

std::string MCArchiveManager::archivePath() const { return archiveFile_; }

std::string MCArchiveManager::beaconsXML(const MCLocation& location, const std::string& stored) {
  const auto kept = KeptAttributes(stored);
  std::string xml = Format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Location id=\"%" PRId64
                           "\">\n",
                           location.id);
  for (const auto& floor : location.sublocations) {
    xml += Format("  <Sublocation id=\"%" PRId64 "\">\n", floor->id);
    for (const auto& b : *floor->beacons) {
      const char* status = StatusText(b->status);
      const double kx = Fraction(b->x.doubleValue(), floor->width);
      const double ky = Fraction(b->y.doubleValue(), floor->height);
      const std::string id = b->id > 0 && b->status != 1 ? std::to_string(b->id) : "";
      xml += Format("    <beacon id=\"%s\" name=\"%s\" uuid=\"%s\" major=\"%05" PRId64
                    "\" minor=\"%05" PRId64 "\"  kx=\"%0.6lf\" ky=\"%0.6lf\" ",
                    id.c_str(), XmlEscape(b->name).c_str(), XmlEscape(b->uuid).c_str(), b->major,
                    b->minor, kx, ky);
      const auto k = kept.find(Key(b->major, b->minor, b->uuid));
      if (k != kept.end()) xml += k->second;
      xml += std::string(status) + "/>\n";
    }
    xml += "  </Sublocation>\n";
  }
  return xml + "</Location>\n";
}

bool MCArchiveManager::updateBeaconsXML(std::optional<platform::Error>* error) {
  std::shared_ptr<MCLocation> loc = location();
  std::optional<platform::Error> failure;
  std::optional<platform::Error> ignored;
  const auto stored = dataFromFile("beacons.xml", &ignored);
  for (const auto& floor : loc->sublocations) {
    for (const auto& b : *floor->beacons) {
      if (b->status >= 1 && b->status <= 3) loc->modified = true;
    }
  }
  const std::string xml =
      beaconsXML(*loc, stored ? std::string(stored->begin(), stored->end()) : std::string());
  zipWriteData(xml, "beacons.xml", int64_t(xml.size()), &failure);
  if (loc->modified) {
    const std::string version = std::to_string(loc->version) + "+";
    zipWriteData(version, "version.txt", int64_t(version.size()), &failure);
  }
  if (failure) {
    MC_LOG(1, "Error with saving beacons.xml");
    platform::setError(error, *failure);
    return false;
  }
  return true;
}

bool MCArchiveManager::zipWriteData(const std::string& text, const std::string& atFile,
                                    int64_t /*size*/, std::optional<platform::Error>* error) {
  platform::MutexLock lock(mutex_);
  std::optional<platform::Error> e;
  zip_.openArchive(archivePath(), &e);
  if (e) {
    MC_LOG(3, "ERROR! " + e->description() + "\n");
    zip_.closeArchive();
    platform::setError(error, *e);
    return false;
  }
  zip_.writeBuffer(atFile, text, &e);
  // The member reaches the file only when the archive is closed.
  if (zip_.closeArchive() != 0 && !e) e = MArchiveWriteError(atFile);
  if (e) {
    MC_LOG(3, "ERROR! " + e->description() + "\n");
    platform::setError(error, *e);
    return false;
  }
  return true;
}

std::optional<std::vector<uint8_t>> MCArchiveManager::dataFromFile(
    const std::string& name, std::optional<platform::Error>* error) {
  platform::MutexLock lock(mutex_);
  std::optional<platform::Error> e;
  zip_.openArchive(archivePath(), &e);
  std::optional<std::vector<uint8_t>> data;
  if (!e) data = zip_.dataOfFile(name, &e);
  zip_.closeArchive();
  if (e) {
    MC_LOG(3, "ERROR! " + e->description() + "\n");
    platform::setError(error, *e);
    return std::nullopt;
  }
  return data;
}

std::optional<std::vector<uint8_t>> MCArchiveManager::dataFromFile(
    const std::string& name, const std::string& at, std::optional<platform::Error>* error) {
  MArchiveEngine zip;
  std::optional<platform::Error> e;
  zip.openArchive(at, &e);
  std::optional<std::vector<uint8_t>> data;
  if (!e) data = zip.dataOfFile(name, &e);
  zip.closeArchive();
  if (e) {
    platform::setError(error, *e);
    return std::nullopt;
  }
  return data;
}
