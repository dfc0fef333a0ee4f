// beacons.xml: the beacons every floor is positioned with.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "server/utils.h"
#include "wifipos/beacon_key.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

using tinyxml2::XMLElement;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// atoi semantics (leading number, 0 when there is none) without overflow.
int textToInt(const char* text) {
  long v = std::strtol(text, nullptr, 10);
  return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

std::string upperCase(const char* text) {
  std::string s = text;
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

int NavigationMap::parseBeaconsXML() {
  MV_LOG(11, "\n\n Starting parse beacons.xml file\n");
  return parseTransmittersXML(files_.beaconsFile, &NavigationMap::fillBeaconsOnFloor);
}

int NavigationMap::parseTransmittersXML(const std::string& memberName,
                                        int (NavigationMap::*fill)(XMLElement*, SublocationMap&)) {
  char* raw = nullptr;
  int code = getDataFromZip(files_.pathToArchive.c_str(), memberName.c_str(), raw, nullptr);
  if (code != 0) return code;
  std::unique_ptr<char, FreeDeleter> text(raw);
  tinyxml2::XMLDocument document;
  code = parseXmlTopNodes(text.get(), document);
  if (code != 0) return code;

  if (sublocations_.empty()) {
    MV_LOG(11, "there is no any correct sublocations at id = %d location\n", locationId_);
    return 9;
  }
  for (unsigned int i = 0; i < sublocations_.size(); ++i) {
    XMLElement* element = document.RootElement()->FirstChildElement("Sublocation");
    if (element == nullptr) {
      MV_LOG(11, "There is no Sublocation childs of %d location\n", locationId_);
      return 5;
    }
    if (findSublocationHandle(element, sublocations_[i]) != 0) return 9;
    if ((this->*fill)(element, sublocations_[i]) != 0) {
      MV_LOG(11, "This sublocation with id = %d will be missed \n", sublocations_[i].getId());
      deleteBadFloor(i);
    }
  }
  if (sublocations_.empty()) {
    MV_LOG(11, "there is no any correct sublocations at id = %d location\n", locationId_);
    return 9;
  }
  return 0;
}

int NavigationMap::fillBeaconsOnFloor(XMLElement* sublocation, SublocationMap& floor) {
  for (const XMLElement* e = sublocation->FirstChildElement(); e != nullptr;
       e = e->NextSiblingElement()) {
    const int code = parseBeaconNode(e, floor);
    if (code != 0) return code;
  }
  std::vector<Beacon>& beacons = floor.getBeacons();
  // Only direct repeats go: the same beacon listed twice in a row.
  const size_t before = beacons.size();
  beacons.erase(std::unique(beacons.begin(), beacons.end()), beacons.end());
  if (beacons.size() != before) {
    MV_LOG(11, "Warning: There was duplicate beacons at %d sublocation\n", floor.getId());
  }
  std::stable_sort(beacons.begin(), beacons.end());
  const int count = static_cast<int>(beacons.size());
  MV_LOG(11, "at %d sublocation number of beacons == %d\n", floor.getId(), count);
  if (count <= 2) MV_LOG(11, "WARNING: less then 3 beacon on floor id =%d \n", floor.getId());
  return 0;
}

int NavigationMap::parseBeaconNode(const XMLElement* element, SublocationMap& floor) {
  if (std::strcmp(element->Name(), "beacon") != 0) {
    MV_LOG(11, "bad element at parseBeaconNode function of id = %d sublocation \n",
           floor.getId());
  }
  const char* id = element->Attribute("id");
  if (id == nullptr) {
    MV_LOG(11, "Error id = Null at beacon node\n");
    return 9;
  }
  const char* kx = element->Attribute("kx");
  if (kx == nullptr) {
    MV_LOG(11, "Error kx = Null at beacon node\n");
    return 9;
  }
  const char* ky = element->Attribute("ky");
  if (ky == nullptr) {
    MV_LOG(11, "Error ky = Null at beacon node\n");
    return 9;
  }
  const char* a = element->Attribute("A");
  const char* b = element->Attribute("B");
  const char* power = element->Attribute("power");
  if (power == nullptr) MV_LOG(11, "Warning! power = Null at beacon node\n");
  const char* battery = element->Attribute("battery");
  if (battery == nullptr) MV_LOG(11, "Warning! battery = Null at beacon node\n");
  const char* uuid = element->Attribute("uuid");
  if (uuid == nullptr) {
    MV_LOG(11, "Error uuid = Null at beacon node\n");
    return 9;
  }
  const char* name = element->Attribute("name");
  if (name == nullptr) {
    MV_LOG(11, "Error name = Null at beacon node\n");
    return 9;
  }
  const char* major = element->Attribute("major");
  if (major == nullptr) {
    MV_LOG(11, "Error major = Null at beacon node\n");
    return 9;
  }
  if (std::strlen(major) > 5) {
    MV_LOG(11, "Error. Invalid size of major=%s field", major);
    return 9;
  }
  const char* minor = element->Attribute("minor");
  if (minor == nullptr) {
    MV_LOG(11, "Error minor = Null at beacon node\n");
    return 9;
  }
  if (std::strlen(minor) > 5) {
    MV_LOG(11, "Error. Invalid size of minor=%s field", minor);
    return 9;
  }

  const SublocationNavProperties& props = floor.getProperties();
  const int majorNumber = textToInt(major);
  const int minorNumber = textToInt(minor);
  const std::string uuidText = upperCase(uuid);
  Beacon beacon;
  beacon.setBaseId(textToInt(id));
  beacon.setKX(std::atof(kx));
  beacon.setKY(std::atof(ky));
  beacon.setX(beacon.getKX() * props.width_meters);
  beacon.setY(beacon.getKY() * props.height_meters);
  beacon.setA(a != nullptr ? std::atof(a) : 0.0);
  beacon.setB(b != nullptr ? std::atof(b) : 0.0);
  beacon.setPower(power != nullptr ? textToInt(power) : 0);
  beacon.setBattery(battery != nullptr ? textToInt(battery) : 0);
  beacon.setUuid(uuidText);
  beacon.setBeaconName(name);
  beacon.setMajor(static_cast<unsigned int>(majorNumber));
  beacon.setMinor(static_cast<unsigned int>(minorNumber));
  beacon.setBeaconId(MakeBeaconKey(majorNumber, minorNumber, uuidText));
  beacon.setLocationId(floor.getId());
  const char* status = element->Attribute("status");
  if (status != nullptr) beacon.setStatus(status);

  if (status != nullptr && std::strcmp(status, "del") == 0) return 0;
  floor.getBeacons().push_back(beacon);
  return 0;
}
