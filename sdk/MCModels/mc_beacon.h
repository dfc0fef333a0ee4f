/// @file
/// The beacon of a floor as the kit hands it to the host and writes it back to
/// the map archive. Not locked.
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

/// A beacon of a floor: its identity on the air and its place on the map.
class MCBeacon {
 public:
  int64_t id = 0;           ///< The beacon's id in the map archive.
  int64_t location = 0;     ///< The id of its location.
  int64_t sublocation = 0;  ///< The id of its floor.
  int64_t major = 0;        ///< The major number it advertises.
  int64_t minor = 0;        ///< The minor number it advertises.
  std::string uuid;         ///< The proximity UUID it advertises.
  std::string name;         ///< Its name on the map.
  MCNumber x;               ///< Floor units: the floor width times the beacon's kx.
  MCNumber y;               ///< Floor units: the floor height times the beacon's ky.
  int64_t status = 0;       ///< Placement status: 0 none, 1 new, 2 modified, 3 deleted.

  virtual ~MCBeacon() = default;
  /// Whether id, location and floor are all set (at least 1).
  bool isValid() const { return id >= 1 && location >= 1 && sublocation >= 1; }
  /// A one-line text of the fields, for logs.
  std::string description() const;

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCBeacon"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCBeacon> initWithCoder(const platform::KeyedUnarchiver& coder);
};
