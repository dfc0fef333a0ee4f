#include "wifipos/beacon_key.h"

#include <cctype>
#include <cstdio>

std::string MakeBeaconKey(long long major, long long minor, const std::string& uuid) {
  char head[64];
  const int n = std::snprintf(head, sizeof head, "(%05lld,%05lld,", major, minor);
  // One allocation: the key is sized before it is filled.
  std::string key;
  key.reserve(static_cast<size_t>(n) + uuid.size() + 1);
  key.append(head, static_cast<size_t>(n));
  for (char c : uuid) key += char(std::toupper(static_cast<unsigned char>(c)));
  key += ')';
  return key;
}
