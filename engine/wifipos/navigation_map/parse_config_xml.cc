// config.xml: the location's identity, its floors with their files, size and
// GPS binding, and the list of route-graph files.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/utils.h"
#include "wifipos/navigation_map/navigation_map.h"
#include "wifipos/navigation_map/scan_number.h"

namespace {

using tinyxml2::XMLElement;

bool named(const XMLElement* e, const char* name) { return std::strcmp(e->Name(), name) == 0; }

bool usableSize(double metres) { return std::isfinite(metres) && metres > 0.0; }

int readFloorFiles(const XMLElement* files, SublocationMap& floor) {
  const int id = floor.getId();
  const XMLElement* file = files->FirstChildElement("File");
  if (file == nullptr) {
    MV_LOG(11, "There is no Any File element at config file of %d sublocation id\n", id);
    return 5;
  }
  for (; file != nullptr; file = file->NextSiblingElement()) {
    const char* type = file->Attribute("type");
    if (type == nullptr) {
      MV_LOG(11, "There is no type attribute of File node at %d sublocation id\n", id);
      return 5;
    }
    const char* name = file->Attribute("name");
    if (name == nullptr) {
      MV_LOG(11, "There is no name attribute of File node at %d sublocation id\n", id);
      return 5;
    }
    const std::string t = type;
    if (t == "BMP") {
      floor.setBmpFile(name);
    } else if (t == "BMP2") {
      floor.setBmp2File(name);
    } else if (t == "SVG") {
      floor.getImages().setSvgName(name);
    } else if (t == "PNG") {
      floor.getImages().setPngName(name);
    } else if (t == "JPG") {
      floor.getImages().setJpgName(name);
    }
  }
  if (floor.getBmpFile().empty()) {
    MV_LOG(11, "there is no some attributes of Files element in %d sublocation\n", id);
    return 5;
  }
  return 0;
}

// readFloor's answer for a floor that reads but has no usable size: the
// floor is dropped and the others load.
constexpr int kUnusableFloor = -5;

// A size written as nan or inf reads (as "%lf" reads it) but is no size:
// it is kept as NaN so that the floor is dropped, not the whole load failed.
bool ScanSize(const char* text, double& value) {
  if (ScanDouble(text, value)) return true;
  double v = 0.0;
  if (std::sscanf(text, "%lf", &v) != 1 || std::isfinite(v)) return false;
  value = std::nan("");
  return true;
}

int readFloorMetrics(const XMLElement* metrics, SublocationMap& floor) {
  const int id = floor.getId();
  const char* width = metrics->Attribute("width_meters");
  const char* height = metrics->Attribute("height_meters");
  if (width == nullptr || height == nullptr) {
    MV_LOG(11, "Bad building attributes at %d sublocation\n", id);
    return 5;
  }
  SublocationNavProperties& props = floor.getProperties();
  if (!ScanSize(width, props.width_meters)) {
    MV_LOG(11, "Bad sscanf of width_meters parameter at %d sublocation\n", id);
    return 5;
  }
  if (!ScanSize(height, props.height_meters)) {
    MV_LOG(11, "Bad sscanf of buildingHeightMeters parameter at %d sublocation\n", id);
    return 5;
  }
  return 0;
}

int readFloorGps(const XMLElement* gps, SublocationMap& floor) {
  const int id = floor.getId();
  const std::string idText = std::to_string(id);
  const char* latitude = gps->Attribute("latitude_deg");
  const char* longitude = gps->Attribute("longitude_deg");
  const char* azimuth = gps->Attribute("azimuth_deg");
  if (latitude == nullptr || longitude == nullptr || azimuth == nullptr) {
    MV_LOG(11, "There is no some attributes of GPS node\n");
    return 5;
  }
  SublocationNavProperties& props = floor.getProperties();
  if (!ScanDouble(latitude, props.latitude_deg)) {
    MV_LOG(11,
           "Bad sscanf of latitude_deg attribute at %d sublocation. attribute was set to 0 by "
           "default\n",
           id);
    props.latitude_deg = 0.0;
  }
  if (!ScanDouble(longitude, props.longitude_deg)) {
    MV_LOG(11,
           "Bad sscanf of longitude_deg attribute at %d sublocation. attribute was set to 0 by "
           "default\n",
           id);
    props.longitude_deg = 0.0;
  }
  if (!ScanDouble(azimuth, props.azimuth_deg)) {
    MV_LOG(11, "Bad sscanf of azimuth_deg attribute at %s sublocation\n", idText.c_str());
    return 5;
  }
  const char* declination = gps->Attribute("magnetic_declination_deg");
  if (declination == nullptr) {
    MV_LOG(11, "There is no magnetic_declination_deg attribute\n");
  } else if (!ScanDouble(declination, props.magnetic_declination_deg)) {
    MV_LOG(11, "Bad sscanf of magnetic_declination_deg attribute at %s sublocation\n",
           idText.c_str());
    return 5;
  }
  // Without a GPS binding a declination has nothing to correct.
  if (props.latitude_deg == 0.0 || props.longitude_deg == 0.0) {
    props.magnetic_declination_deg = 0.0;
  }
  return 0;
}

int readFloor(const XMLElement* element, int locationId, const std::string& locationName,
              SublocationMap& floor) {
  const char* name = element->Attribute("name");
  if (name == nullptr) {
    MV_LOG(11, "Bad sublocation name of %s location in config.xml\n", locationName.c_str());
    return 5;
  }
  floor.setName(name);
  const char* idText = element->Attribute("id");
  int id = 0;
  if (idText == nullptr || !ScanInt(idText, id)) {
    MV_LOG(11, "Bad sublocation id of %d location in config.xml\n", locationId);
    return 5;
  }
  floor.setId(id);
  const XMLElement* child = element->FirstChildElement();
  if (child == nullptr) {
    MV_LOG(11, "there is no childs of %s sublocation\n", std::to_string(id).c_str());
    return 5;
  }
  for (; child != nullptr; child = child->NextSiblingElement()) {
    int code = 0;
    if (named(child, "Files")) {
      code = readFloorFiles(child, floor);
    } else if (named(child, "Metrics")) {
      code = readFloorMetrics(child, floor);
    } else if (named(child, "GPS")) {
      code = readFloorGps(child, floor);
    } else {
      MV_LOG(11, "error at config.xml Bad sublocation childs at %d location\n", locationId);
      code = 5;
    }
    if (code != 0) return code;
  }
  // Every position, pixel scale and zone of the floor is relative to its size;
  // a floor without a usable one cannot be placed at all, but the other
  // floors can.
  const SublocationNavProperties& props = floor.getProperties();
  if (!usableSize(props.width_meters) || !usableSize(props.height_meters)) {
    MV_LOG(11,
           "Bad or missing Metrics at %d sublocation: width %g m, height %g m; both must be "
           "positive. The sublocation is dropped\n",
           id, props.width_meters, props.height_meters);
    return kUnusableFloor;
  }
  return 0;
}

void readLocationFiles(const XMLElement* files, std::vector<RouteGraph>& graphs) {
  for (const XMLElement* file = files->FirstChildElement("File"); file != nullptr;
       file = file->NextSiblingElement()) {
    const char* type = file->Attribute("type");
    const char* name = file->Attribute("name");
    if (type == nullptr || name == nullptr) continue;
    std::string lowered = type;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const char* tag = file->Attribute("tag");
    if (lowered == "graph:xml" && tag != nullptr) {
      RouteGraph graph;
      graph.setTag(tag);
      graph.setName(name);
      graphs.push_back(graph);
    }
  }
}

}  // namespace

int NavigationMap::parseConfigXML() {
  char* raw = nullptr;
  const int code =
      getDataFromZip(files_.pathToArchive.c_str(), files_.configFile.c_str(), raw, nullptr);
  if (code != 0) return code;
  std::string text(raw);
  std::free(raw);
  text += "\n";

  tinyxml2::XMLDocument document;
  if (document.Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS) {
    MV_LOG(11, "error parse config.xml\n'%s'\n ERROR =%s\n", text.c_str(), document.ErrorStr());
    return 21;
  }
  const XMLElement* root = document.RootElement();
  if (root == nullptr || !named(root, "Location")) {
    MV_LOG(11, "Parse error: root element <Location> wasn't found\n");
    return 21;
  }
  const char* name = root->Attribute("name");
  if (name == nullptr) {
    MV_LOG(11, "Bad location name at config.xml\n");
    return 5;
  }
  name_ = name;
  MV_LOG(11, "Location name = %s\n", name);
  const char* idText = root->Attribute("id");
  int id = 0;
  if (idText == nullptr || !ScanInt(idText, id)) {
    MV_LOG(11, "Bad location id in config.xml\n");
    return 5;
  }
  locationId_ = id;

  const XMLElement* child = root->FirstChildElement();
  if (child == nullptr) {
    MV_LOG(11, "There is no any subloations at %d Location\n", locationId_);
    return 5;
  }
  for (; child != nullptr; child = child->NextSiblingElement()) {
    if (named(child, "Description")) {
      const char* description = child->GetText();
      description_ = description != nullptr ? description : "";
    } else if (named(child, "Sublocation")) {
      SublocationMap floor;
      const int floorCode = readFloor(child, locationId_, name_, floor);
      if (floorCode == kUnusableFloor) continue;
      if (floorCode != 0) return floorCode;
      sublocations_.push_back(floor);
    } else if (named(child, "Files")) {
      readLocationFiles(child, graphs_);
    }
  }
  if (sublocations_.empty()) {
    MV_LOG(11, "there is no any floors at xml file\n");
    return 5;
  }
  return 0;
}
