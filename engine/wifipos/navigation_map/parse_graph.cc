// Route graph loading: placeholder until the reader lands.
#include "wifipos/navigation_map/navigation_map.h"

int NavigationMap::parseGraph(std::string* /*error*/) { return 0; }
