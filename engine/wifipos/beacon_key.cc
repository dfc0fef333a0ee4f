#include "wifipos/beacon_key.h"

#include <cctype>
#include <cstdio>

std::string MakeBeaconKey(long long major, long long minor, const std::string& uuid) {
  char head[64];
  std::snprintf(head, sizeof head, "(%05lld,%05lld,", major, minor);
  std::string key = head;
  for (char c : uuid) key += char(std::toupper(static_cast<unsigned char>(c)));
  return key + ")";
}
