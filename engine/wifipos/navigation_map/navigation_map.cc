#include "wifipos/navigation_map/navigation_map.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "server/utils.h"
#include "server/zip_archive.h"

namespace {

// No map archive member comes near this; a larger declared size is a damaged
// or hostile archive, not something to allocate for.
constexpr int kMaxMemberSize = 1 << 30;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using MemberBuffer = std::unique_ptr<char, FreeDeleter>;

// atoi without its undefined behaviour on overflow: leading blanks and a sign,
// then the leading digits; out-of-range values are clamped.
int textToInt(const char* text) {
  if (text == nullptr) return 0;
  long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool assignFileName(NavigationFiles& files, const std::string& key, const std::string& value) {
  std::string NavigationFiles::*const members[] = {
      &NavigationFiles::configFile,   &NavigationFiles::barriersFile,
      &NavigationFiles::navigationFile, &NavigationFiles::trackingFile,
      &NavigationFiles::measuringFile, &NavigationFiles::beaconsFile,
      &NavigationFiles::locatorsFile, &NavigationFiles::gpFile,
      &NavigationFiles::graphFile,    &NavigationFiles::zonesFile,
      &NavigationFiles::versionFile};
  const char* const keys[] = {"configFile",    "barriersFile", "navigationFile", "trackingFile",
                              "measuringFile", "beaconsFile",  "locatorsFile",   "gpFile",
                              "graphFile",     "zonesFile",    "versionFile"};
  for (size_t i = 0; i < sizeof(keys) / sizeof(keys[0]); ++i) {
    if (key == keys[i]) {
      files.*members[i] = value;
      return true;
    }
  }
  return false;
}

}  // namespace

int NavigationMap::setPathToNavArchive(const char* path) {
  if (path == nullptr) {
    MV_LOG(11, "Error: zipName == 0. You must specify path to zip archive\n");
    return 25;
  }
  files_.pathToArchive = path;
  return 0;
}

int NavigationMap::setParameters(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  int state = 0;  // 0 reading the key, 1 the value, 2 a pair with a second '='
  std::string key;
  std::string value;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (isBlank(c)) continue;
    if (c == '=') {
      if (state < 2) ++state;
    } else if (c == ';') {
      if (state == 1 && key == "defaults" && (value == "classic" || value == "kit")) {
        behaviour_ = value == "classic" ? EngineBehaviour::original() : EngineBehaviour::kit();
      } else if (state == 1) {
        assignFileName(files_, key, value);
      }
      key.clear();
      value.clear();
      state = 0;
    } else if (state == 0) {
      key += c;
    } else if (state == 1) {
      value += c;
    }
  }
  return 0;
}

int NavigationMap::getDataFromZip(const char* archivePath, const char* memberName, char*& data,
                                  int* size) {
  if (archivePath == nullptr) {
    MV_LOG(11, "Error: zipName == 0. You must specify path to zip archive\n");
    return 25;
  }
  zip* archive = ZipOpen(archivePath);
  if (archive == nullptr) {
    MV_LOG(11, "Can't open zip archive %s!\n", archivePath);
    return 25;
  }
  const char* member = memberName != nullptr ? memberName : "";
  const int length = member[0] != '\0' ? ZipGetFileSize(archive, member) : -1;
  if (size != nullptr) *size = length;
  if (length <= 0) {
    MV_LOG(11, "file %s is bad or not exist in zip\n", member);
    ZipClose(archive);
    return 25;
  }
  if (length > kMaxMemberSize) {
    MV_LOG(11, "file %s is bad or not exist in zip: declared size %d is too large\n", member,
           length);
    ZipClose(archive);
    return 25;
  }
  MemberBuffer buffer(static_cast<char*>(std::calloc(static_cast<size_t>(length) + 1, 1)));
  if (!buffer) {
    MV_LOG(11, "file %s is bad or not exist in zip: no memory for %d bytes\n", member, length);
    ZipClose(archive);
    return 25;
  }
  // A damaged member can decompress to fewer bytes than it declares; a short
  // read must not pass for a complete member.
  const int got = ZipReadFile(archive, member, buffer.get(), length);
  ZipClose(archive);
  if (got != length) {
    MV_LOG(11, "file %s is damaged in zip: %d of %d bytes read\n", member, got, length);
    return 25;
  }
  data = buffer.release();
  return 0;
}

int NavigationMap::parseXmlTopNodes(const char* text, tinyxml2::XMLDocument& document) {
  if (document.Parse(text != nullptr ? text : "") != tinyxml2::XML_SUCCESS) {
    MV_LOG(11, "error parse .xml file. ERROR = %s\n", document.ErrorStr());
    return 21;
  }
  const tinyxml2::XMLElement* root = document.RootElement();
  if (root == nullptr || std::strcmp(root->Name(), "Location") != 0) {
    MV_LOG(11, "Parse error: root element <Location> wasn't found\n");
    return 21;
  }
  const char* id = root->Attribute("id");
  if (id == nullptr) {
    MV_LOG(11, "Bad location id at xml File\n");
    return 5;
  }
  if (textToInt(id) != locationId_) {
    MV_LOG(11, "location id in config.xml and navigation.xml are different\n");
    return 5;
  }
  return 0;
}

int NavigationMap::findSublocationHandle(tinyxml2::XMLElement*& element,
                                         const SublocationMap& floor) {
  if (element == nullptr || std::strcmp(element->Name(), "Sublocation") != 0) {
    MV_LOG(11, "wrong xml element. Value != Sublocation\n");
    return 5;
  }
  for (tinyxml2::XMLElement* e = element; e != nullptr; e = e->NextSiblingElement("Sublocation")) {
    const char* id = e->Attribute("id");
    if (id == nullptr) {
      MV_LOG(11, "error there is no id attribute at id=%d Sublocation\n", floor.getId());
      return 9;
    }
    if (textToInt(id) == floor.getId()) {
      element = e;
      return 0;
    }
  }
  MV_LOG(11,
         "ERROR: There is no such a sublocation with id = %d at .xml file\n Parse will be "
         "interrupted\n",
         floor.getId());
  return 5;
}

int NavigationMap::parseAllFiles(bool tracking) {
  int code = parseConfigXML();
  if (code != 0) return code;

  if (!tracking) {
    code = parseNavigationConfigXML(files_.navigationFile, navigation_);
    if (code != 0) return code;
  } else if (parseNavigationConfigXML(files_.trackingFile, tracking_) != 0) {
    MV_LOG(11, "WARNING: error in parsing Tracking.xml, but program will continue executing\n");
  }

  if (parseLocatorsXML() != 0) {
    MV_LOG(11, "WARNING: error in parsing locators.xml, but program will continue executing\n");
  }
  if (tracking) return parseBmp() != 0 ? 1 : 0;

  if (parseSignalsMapXML() != 0) {
    MV_LOG(11, "WARNING: error in parsing measure.xml, but program will continue executing\n");
  }
  if (parseBeaconsXML() != 0) {
    MV_LOG(11, "WARNING: error in parsing beacons.xml, but program will continue executing\n");
  }
  if (navigation_.knn.Clear_unknown_beacons) clearUnknownBeacons();
  if (navigation_.Use_algorithm == NAV_ALG_GP &&
      navigation_.gaussianProcesses.Mode != GP_MODE_NORMAL) {
    code = parseGpXML();
    if (code != 0) {
      MV_LOG(11, "Error in parsing gp.xml\n");
      return code;
    }
  }
  if (parseBmp() != 0 || getImages() != 0 || parseVersion() != 0) return 1;

  std::string error;
  if (parseGraph(&error) != 0) MV_LOG(11, "WARNING in parseGraph: %s\n", error.c_str());
  if (parseZones(&error) != 0) MV_LOG(11, "WARNING in parseZones: %s\n", error.c_str());
  return 0;
}

int NavigationMap::parseVersion() {
  char* raw = nullptr;
  const int code = getDataFromZip(files_.pathToArchive.c_str(), files_.versionFile.c_str(), raw,
                                  nullptr);
  if (code != 0) return code;
  MemberBuffer text(raw);
  version_ = textToInt(text.get());
  return 0;
}

int NavigationMap::getImages() {
  for (SublocationMap& floor : sublocations_) {
    SublocationImages& images = floor.getImages();
    struct Kind {
      const std::string& name;
      void (SublocationImages::*set)(const char*, int);
    };
    const Kind kinds[] = {{images.getSvgName(), &SublocationImages::setSvgData},
                          {images.getPngName(), &SublocationImages::setPngData},
                          {images.getJpgName(), &SublocationImages::setJpgData}};
    for (const Kind& kind : kinds) {
      if (kind.name.empty()) continue;
      char* raw = nullptr;
      int size = 0;
      const int code =
          getDataFromZip(files_.pathToArchive.c_str(), kind.name.c_str(), raw, &size);
      if (code != 0) return code;
      MemberBuffer data(raw);
      (images.*kind.set)(data.get(), size);
    }
  }
  return 0;
}

SublocationMap* NavigationMap::getSublocationPtrByIndex(unsigned index) {
  if (index >= sublocations_.size()) {
    MV_LOG(11, "ERROR: Sublocation index = %d is out of range. Sublocations vector size = %d\n",
           static_cast<int>(index), static_cast<int>(sublocations_.size()));
    return nullptr;
  }
  return &sublocations_[index];
}

const SublocationNavProperties* NavigationMap::getSublocPropertiesPtrByIndex(
    unsigned index) const {
  if (index >= sublocations_.size()) {
    MV_LOG(11, "ERROR: Sublocation index = %d is out of range. Sublocations vector size = %d\n",
           static_cast<int>(index), static_cast<int>(sublocations_.size()));
    return nullptr;
  }
  return &sublocations_[index].getProperties();
}

SublocationMap* NavigationMap::getSublocationPtrById(int id) {
  for (SublocationMap& floor : sublocations_) {
    if (floor.getId() == id) return &floor;
  }
  MV_LOG(11, "ERROR: Sublocation index = %d is out of range. Sublocations vector size = %d\n",
         static_cast<int>(sublocations_.size()), static_cast<int>(sublocations_.size()));
  return nullptr;
}

const SublocationNavProperties* NavigationMap::getSublocPropertiesPtrById(int id) const {
  for (const SublocationMap& floor : sublocations_) {
    if (floor.getId() == id) return &floor.getProperties();
  }
  MV_LOG(11, "ERROR: Sublocation index = %d is out of range. Sublocations vector size = %d\n",
         static_cast<int>(sublocations_.size()), static_cast<int>(sublocations_.size()));
  return nullptr;
}

int NavigationMap::getSublocIndexById(int id) const {
  for (size_t i = 0; i < sublocations_.size(); ++i) {
    if (sublocations_[i].getId() == id) return static_cast<int>(i);
  }
  MV_LOG(11, "There is no sublocations with such an Id\n");
  return 0;
}

int NavigationMap::getSublocationPtr(const SublocationMap** out, unsigned index) const {
  if (index >= sublocations_.size()) {
    MV_LOG(12, "ERROR: Bad index of sublocation in getSublocation method\n!");
    return -1;
  }
  if (out != nullptr) *out = &sublocations_[index];
  return 0;
}

void NavigationMap::addSublocation(const SublocationMap& floor) { sublocations_.push_back(floor); }

std::vector<SublocationMap>::iterator NavigationMap::removeSublocation(int index) {
  if (index < 0 || static_cast<size_t>(index) >= sublocations_.size()) return sublocations_.end();
  return sublocations_.erase(sublocations_.begin() + index);
}

std::vector<SublocationMap>::iterator NavigationMap::removeSublocation(
    std::vector<SublocationMap>::iterator& position) {
  if (position == sublocations_.end()) return sublocations_.end();
  position = sublocations_.erase(position);
  return position;
}

unsigned int NavigationMap::deleteBadFloor(unsigned int& index) {
  if (index >= sublocations_.size()) return index;
  sublocations_.erase(sublocations_.begin() + index);
  --index;  // unsigned: 0 wraps, and the caller's ++ brings it back to 0
  return index;
}
