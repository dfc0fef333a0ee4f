#include "MCBeaconManager/mc_beacon_key.h"

#include <cctype>

#include "wifipos/beacon_key.h"

std::string MCUpperCase(std::string text) {
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string MCBeaconKey(int64_t major, int64_t minor, const std::string& uuid) {
  return MakeBeaconKey(major, minor, uuid);
}

namespace {

bool digits(const std::string& s, size_t from, size_t n, int64_t& out) {
  out = 0;
  for (size_t i = from; i < from + n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

bool uuidText(const std::string& s, size_t from) {
  for (size_t i = 0; i < 36; ++i) {
    const char c = s[from + i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

std::optional<MCBeaconKeyParts> MCParseBeaconKey(const std::string& key) {
  if (key.size() != 50 || key[0] != '(' || key[6] != ',' || key[12] != ',' || key[49] != ')')
    return std::nullopt;
  MCBeaconKeyParts p;
  if (!digits(key, 1, 5, p.major) || !digits(key, 7, 5, p.minor) || !uuidText(key, 13))
    return std::nullopt;
  p.uuid = key.substr(13, 36);
  return p;
}

bool MCSameUUID(const std::string& a, const std::string& b) {
  return MCUpperCase(a) == MCUpperCase(b);
}
