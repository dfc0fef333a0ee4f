// The beacon key that names a beacon reading and the engine's map beacons:
// "(" major as five digits "," minor as five digits "," UUID ")", the UUID in
// upper case. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Builds the key: the engine's own (MakeBeaconKey), so readings match the map.
std::string MCBeaconKey(int64_t major, int64_t minor, const std::string& uuid);

struct MCBeaconKeyParts {
  int64_t major = 0;
  int64_t minor = 0;
  std::string uuid;  // as written in the key
};

// The three parts of a measuring key: exactly 50 characters, "(" five digits
// "," five digits "," a 36-character 8-4-4-4-12 hex UUID ")". None otherwise.
std::optional<MCBeaconKeyParts> MCParseBeaconKey(const std::string& key);

// Two UUID texts name the same UUID (letters compared without regard to case).
bool MCSameUUID(const std::string& a, const std::string& b);

// The text with ASCII letters upper-cased.
std::string MCUpperCase(std::string text);
