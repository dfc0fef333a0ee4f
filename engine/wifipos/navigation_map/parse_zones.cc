// Zone loading: placeholder until the reader lands.
#include "wifipos/navigation_map/navigation_map.h"

int NavigationMap::parseZones(std::string* /*error*/) { return 0; }
