// A point of interest of a floor and its category. Not locked.
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

class MCCategory {
 public:
  int64_t id = 0;
  std::string name;

  bool isValid() const { return id > 0; }
  std::string description() const;

  static const char* className() { return "MCCategory"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCCategory> initWithCoder(const platform::KeyedUnarchiver& coder);
};

class MCVenue {
 public:
  MCVenue();  // a new empty image and a new category

  int64_t id = 0;
  int64_t location = 0;
  int64_t sublocation = 0;
  std::string name;
  MCNumber x;
  MCNumber y;
  std::shared_ptr<platform::Image> image;
  std::string phone;
  std::string descript;
  std::string alias;
  std::shared_ptr<MCCategory> category;

  bool isValid() const { return id >= 1 && location >= 1 && sublocation > 0; }
  std::string description() const;

  static const char* className() { return "MCVenue"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const;
  // Starts from no image and no category: what the archive lacks stays none.
  static std::shared_ptr<MCVenue> initWithCoder(const platform::KeyedUnarchiver& coder);
};
