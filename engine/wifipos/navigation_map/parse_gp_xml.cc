// Gaussian-process hyperparameters (gp.xml): one record per transmitter of a
// floor's key list, trained offline for the Gaussian-process method.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "server/utils.h"
#include "wifipos/navigation_map/navigation_map.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

constexpr int kLogLevel = 11;

// The model element of an AP follows the mean model; the linear model has no
// element in this format.
const char* modelElementName(int meanModel) {
  switch (meanModel) {
    case GP_MEAN_CONST:
      return "Const";
    case GP_MEAN_LOG:
      return "LogDistance";
    default:
      return nullptr;
  }
}

struct SlotAttribute {
  const char* attribute;
  int slot;
  const char* missingMessage;
};

// Reading order; note that sn is read before sf but sf has the lower slot.
const SlotAttribute kSlots[] = {
    {"mu", GP_PARAM_MU, "Warning: mu = Null at AP node\n"},
    {"A", GP_PARAM_A, "Warning: A = Null at AP node\n"},
    {"B", GP_PARAM_B, "Warning: B = Null at AP node\n"},
    {"x_AP", GP_PARAM_X_AP, "Warning: x_AP = Null at AP node\n"},
    {"y_AP", GP_PARAM_Y_AP, "Warning: y_AP = Null at AP node\n"},
    {"sn", GP_PARAM_SN, "Warning: sn = Null at AP node\n"},
    {"sf", GP_PARAM_SF, "Warning: sf = Null at AP node\n"},
    {"ell", GP_PARAM_ELL, "Warning: el = Null at AP node\n"},
};

int parseApNode(const XMLElement* e, SublocationMap& floor, int meanModel) {
  const char* mac = e->Attribute("mac");
  if (std::string(e->Name()) != "AP" || !mac) {
    MV_LOG(kLogLevel, "bad element at parseApNode function of id = %d sublocation\n",
           floor.getId());
    return 9;
  }
  const char* modelName = modelElementName(meanModel);
  const XMLElement* model = modelName ? e->FirstChildElement(modelName) : nullptr;
  if (!model) {
    MV_LOG(kLogLevel, "There is no %s model for %s AP at %d sublocation\n",
           modelName ? modelName : "linear", mac, floor.getId());
    return 5;
  }
  const std::vector<std::string>& keys = floor.getUniqueApsBssid();
  auto it = std::find(keys.begin(), keys.end(), mac);
  if (it == keys.end()) {
    MV_LOG(kLogLevel, "AP with BSSID:%s  at %d sublocation from gp.xml is not present at the map\n",
           mac, floor.getId());
    return 0;
  }
  GpParams& record = floor.getGpParams()[static_cast<size_t>(it - keys.begin())];
  for (const SlotAttribute& s : kSlots) {
    const char* text = model->Attribute(s.attribute);
    if (!text) {
      MV_LOG(kLogLevel, "%s", s.missingMessage);
      continue;
    }
    record[s.slot] = std::atof(text);
  }
  return 0;
}

int fillGpParametersForSubloc(XMLElement* sublocation, SublocationMap& floor, int meanModel) {
  // Records of keys gp.xml does not mention stay all zero: no parameters.
  floor.getGpParams().resize(floor.getUniqueApsBssid().size(), GpParams{});
  for (const XMLElement* e = sublocation->FirstChildElement(); e; e = e->NextSiblingElement()) {
    int rc = parseApNode(e, floor, meanModel);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int NavigationMap::parseGpXML() {
  char* data = nullptr;
  int size = 0;
  int rc = getDataFromZip(files_.pathToArchive.c_str(), files_.gpFile.c_str(), data, &size);
  if (rc != 0) return rc;
  std::string text(data, static_cast<size_t>(size));
  std::free(data);
  text += "\n";

  XMLDocument document;
  rc = parseXmlTopNodes(text.c_str(), document);
  if (rc != 0) return rc;

  const int meanModel = navigation_.gaussianProcesses.Mean_model;
  XMLElement* root = document.FirstChildElement("Location");
  for (SublocationMap& floor : sublocations_) {
    XMLElement* sub = root->FirstChildElement("Sublocation");
    if (!sub) {
      MV_LOG(kLogLevel, "There is no Sublocation childs of %d location\n", locationId_);
      return 5;
    }
    rc = findSublocationHandle(sub, floor);
    if (rc != 0) return rc;
    rc = fillGpParametersForSubloc(sub, floor, meanModel);
    if (rc != 0) return rc;
  }
  return 0;
}
