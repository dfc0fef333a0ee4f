/// @file
/// A point of interest of a floor and its category. Not locked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "MCModels/mc_number.h"

// Archiving goes through the platform's keyed coder, which the host never needs.
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
class Image;  // a decoded floor or venue picture
}  // namespace platform

/// The category of a point of interest.
class MCCategory {
 public:
  int64_t id = 0;    ///< The category's id.
  std::string name;  ///< Its name.

  /// Whether the id is set.
  bool isValid() const { return id > 0; }
  std::string description() const;  ///< A one-line text of the fields, for logs.

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCCategory"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// A new object from what `encodeWithCoder` wrote; missing fields read as zero or empty.
  static std::shared_ptr<MCCategory> initWithCoder(const platform::KeyedUnarchiver& coder);
};

/// A point of interest on a floor: a shop, a desk, an exit.
class MCVenue {
 public:
  MCVenue();  ///< A point with a new empty image and a new category.

  int64_t id = 0;                        ///< The point's id.
  int64_t location = 0;                  ///< The id of its location.
  int64_t sublocation = 0;               ///< The id of its floor.
  std::string name;                      ///< Its name.
  MCNumber x;                            ///< Metres from the floor's left edge.
  MCNumber y;                            ///< Metres from the floor's lower edge.
  /// Its picture, fetched while the location loads; may be empty.
  std::shared_ptr<platform::Image> image;
  std::string phone;                     ///< Its telephone number.
  std::string descript;                  ///< Its description text.
  std::string alias;                     ///< A second name the venue gives it.
  std::shared_ptr<MCCategory> category;  ///< Its category.

  /// Whether id, location and floor are set.
  bool isValid() const { return id >= 1 && location >= 1 && sublocation > 0; }
  std::string description() const;  ///< A one-line text of the fields, for logs.

  /// The class name the kit's keyed archives record.
  static const char* className() { return "MCVenue"; }
  /// Writes the fields to a keyed archive (used by the kit's own persistence).
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  /// Starts from no image and no category: what the archive lacks stays none.
  static std::shared_ptr<MCVenue> initWithCoder(const platform::KeyedUnarchiver& coder);
};
