#include "MCModels/mc_venue.h"

#include <cairo.h>

#include "MCModels/mc_coding.h"
#include "MCModels/mc_description.h"
#include "platform/image.h"
#include "platform/keyed_archiver.h"

std::string MCCategory::description() const {
  return MCFormat("MCCategory description: %s id: %zd name: %s",
                  MCObjectDescription("MCCategory", this).c_str(), static_cast<ssize_t>(id),
                  name.c_str());
}

void MCCategory::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt(id, "id");
  coder.encodeString(name, "name");
}

std::shared_ptr<MCCategory> MCCategory::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto c = std::make_shared<MCCategory>();
  c->id = coder.decodeIntForKey("id");
  c->name = coder.decodeStringForKey("name");
  return c;
}

MCVenue::MCVenue()
    : image(std::make_shared<platform::Image>(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 0, 0),
                                              1.0)),
      category(std::make_shared<MCCategory>()) {}

std::string MCVenue::description() const {
  const std::string imageText =
      image ? MCFormat("<Image: %p> (%g x %g)", static_cast<const void*>(image.get()),
                       image->width(), image->height())
            : std::string("(null)");
  return MCFormat(
      "MCVenue description: %s id: %zd location id: %zd sublocation id: %zd name: %s x: %s y: %s "
      "image: %s phone: %s description: %s alias: %s category: %s",
      MCObjectDescription("MCVenue", this).c_str(), static_cast<ssize_t>(id),
      static_cast<ssize_t>(location), static_cast<ssize_t>(sublocation), name.c_str(),
      x.description().c_str(), y.description().c_str(), imageText.c_str(), phone.c_str(),
      descript.c_str(), alias.c_str(),
      category ? category->description().c_str() : "(null)");
}

void MCVenue::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt(id, "id");
  coder.encodeInt(location, "locationId");
  coder.encodeInt(sublocation, "sublocationId");
  coder.encodeString(name, "name");
  MCEncodeNumber(coder, x, "x");
  MCEncodeNumber(coder, y, "y");
  coder.encodeImage(image, "image");
  coder.encodeString(phone, "phone");
  coder.encodeString(descript, "descript");
  coder.encodeString(alias, "alias");
  coder.encodeObject(category, "category");
}

std::shared_ptr<MCVenue> MCVenue::initWithCoder(const platform::KeyedUnarchiver& coder) {
  auto v = std::make_shared<MCVenue>();
  v->id = coder.decodeIntForKey("id");
  v->location = coder.decodeIntForKey("locationId");
  v->sublocation = coder.decodeIntForKey("sublocationId");
  v->name = coder.decodeStringForKey("name");
  v->x = MCDecodeNumber(coder, "x");
  v->y = MCDecodeNumber(coder, "y");
  v->image = coder.decodeImageForKey("image");
  v->phone = coder.decodeStringForKey("phone");
  v->descript = coder.decodeStringForKey("descript");
  v->alias = coder.decodeStringForKey("alias");
  v->category = coder.decodeObjectForKey<MCCategory>("category");
  return v;
}
