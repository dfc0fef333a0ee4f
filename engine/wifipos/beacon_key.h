// The key that names a beacon in the map and in every radio reading:
// "(" major as five digits "," minor as five digits "," UUID ")", the UUID in
// upper case. The map's beacon reader and the SDK's readings both build it
// here, so a reading finds its beacon.
#pragma once

#include <string>

std::string MakeBeaconKey(long long major, long long minor, const std::string& uuid);
