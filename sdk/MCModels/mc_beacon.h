// The beacon of a floor as the kit hands it to the host and writes it back to
// the map archive. Not locked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "MCModels/mc_number.h"

// Archiving goes through the platform's keyed coder, which the host never needs.
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

class MCBeacon {
 public:
  int64_t id = 0;
  int64_t location = 0;
  int64_t sublocation = 0;
  int64_t major = 0;
  int64_t minor = 0;
  std::string uuid;
  std::string name;
  MCNumber x;  // floor units: the floor width times the beacon's kx
  MCNumber y;
  int64_t status = 0;  // 0 none, 1 new, 2 modified, 3 deleted

  virtual ~MCBeacon() = default;
  bool isValid() const { return id >= 1 && location >= 1 && sublocation >= 1; }
  std::string description() const;

  static const char* className() { return "MCBeacon"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCBeacon> initWithCoder(const platform::KeyedUnarchiver& coder);
};
