// locators.xml: the transmitters a floor is tracked with.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/utils.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

using tinyxml2::XMLElement;

std::string upperCase(const char* text) {
  std::string s = text;
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

int NavigationMap::parseLocatorsXML() {
  MV_LOG(11, "\n\nStarting parse locators.xml file\n");
  return parseTransmittersXML(files_.locatorsFile, &NavigationMap::fillLocatorsOnFloor);
}

int NavigationMap::fillLocatorsOnFloor(XMLElement* sublocation, SublocationMap& floor) {
  for (const XMLElement* e = sublocation->FirstChildElement(); e != nullptr;
       e = e->NextSiblingElement()) {
    const int code = parseLocatorNode(e, floor);
    if (code != 0) return code;
  }
  std::vector<Beacon>& locators = floor.getLocators();
  locators.erase(std::unique(locators.begin(), locators.end()), locators.end());
  std::stable_sort(locators.begin(), locators.end());
  const int count = static_cast<int>(locators.size());
  MV_LOG(11, "at %d sublocation number of locators == %d\n", floor.getId(), count);
  if (count <= 1) MV_LOG(11, "WARNING: less then 2 locators on floor id=%d\n", floor.getId());
  return 0;
}

int NavigationMap::parseLocatorNode(const XMLElement* element, SublocationMap& floor) {
  if (std::strcmp(element->Name(), "locator") != 0) {
    MV_LOG(11, "bad element at parseLocatorNode function of id = %d sublocation \n",
           floor.getId());
  }
  const char* kx = element->Attribute("kx");
  if (kx == nullptr) {
    MV_LOG(11, "error kx = Null at locator node\n");
    return 9;
  }
  const char* ky = element->Attribute("ky");
  if (ky == nullptr) {
    MV_LOG(11, "error ky = Null at locator node\n");
    return 9;
  }
  const char* uuid = element->Attribute("uuid");
  if (uuid == nullptr) {
    MV_LOG(11, "error uuid = Null at locator node\n");
    return 9;
  }
  const char* name = element->Attribute("name");
  if (name == nullptr) {
    MV_LOG(11, "error name = Null at locator node\n");
    return 9;
  }

  const SublocationNavProperties& props = floor.getProperties();
  Beacon locator;
  locator.setKX(std::atof(kx));
  locator.setKY(std::atof(ky));
  locator.setX(locator.getKX() * props.width_meters);
  locator.setY(locator.getKY() * props.height_meters);
  locator.setBeaconId(upperCase(uuid));
  locator.setBeaconName(name);
  locator.setLocationId(floor.getId());
  const char* status = element->Attribute("status");
  if (status != nullptr) locator.setStatus(status);

  if (status != nullptr && std::strcmp(status, "del") == 0) return 0;
  floor.getLocators().push_back(locator);
  return 0;
}
