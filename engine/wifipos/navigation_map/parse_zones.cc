// Zone loading: the floor sizes of the config member and the polygons of the
// zones member become the map's zone map.
#include <cstdlib>
#include <memory>
#include <string>

#include "server/utils.h"
#include "server/zones/zones.h"
#include "wifipos/navigation_map/navigation_map.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

}  // namespace

int NavigationMap::parseZones(std::string* error) {
  const char* archive = files_.pathToArchive.c_str();

  char* raw = nullptr;
  int code = getDataFromZip(archive, files_.configFile.c_str(), raw, nullptr);
  if (code != 0) return code;
  std::unique_ptr<char, FreeDeleter> config(raw);

  raw = nullptr;
  code = getDataFromZip(archive, files_.zonesFile.c_str(), raw, nullptr);
  if (code != 0) return code;
  std::unique_ptr<char, FreeDeleter> zones(raw);

  // A zones member that does not parse leaves an empty zone map; the map
  // itself still loads, so only the log and the error text tell.
  zones_ = ZoneMap::parse(std::string(config.get()) + "\n", std::string(zones.get()), error,
                          nullptr);
  return 0;
}
