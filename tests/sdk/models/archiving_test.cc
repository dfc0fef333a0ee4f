// Every model through the keyed archiver: a filled object graph survives a
// round trip (its re-encoding is byte for byte the first), each class is
// stored under its keys, an archive holding only a class name decodes as
// zero, and damaged archives never crash.
#include <cairo.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include "MCModels/mc_device_info.h"
#include "MCModels/mc_location.h"
#include "platform/image.h"
#include "platform/keyed_archiver.h"

namespace {

using Bytes = std::vector<uint8_t>;
using platform::KeyedUnarchiver;

template <class T>
Bytes Archive(const std::shared_ptr<T>& o) {
  return platform::KeyedArchiver::archivedDataWithRootObject(o);
}

std::shared_ptr<MCLocationPoint> Point(double x) {
  return MCLocationPoint::pointWithLocation(7, 2, MCNumber(x), MCNumber(int64_t{-4}));
}

std::shared_ptr<MCZone> Zone() {
  auto z = std::make_shared<MCZone>();
  z->id = 11, z->location = 7, z->sublocation = 2, z->name = "Hall", z->alias = "h";
  z->color = "#f00", z->points = {Point(1.25), Point(3.5)};
  return z;
}

std::shared_ptr<MCLocation> Location() {
  auto s = std::make_shared<MCSublocation>();
  s->id = 2, s->location = 7, s->name = "G", s->svgFile = "a.svg", s->pngFile = "a.png", s->jpgFile = "a.jpg";
  s->pngImage = Bytes{1, 2, 3}, s->width = 60.5f, s->height = 30, s->azimuth = -12.25f, s->latitude = 52.5;
  s->longitude = 13.25;
  s->image = std::make_shared<platform::Image>(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 2, 1), 1.0);
  auto b = std::make_shared<MCBeacon>();
  b->id = 3, b->location = 7, b->sublocation = 2, b->major = 100, b->minor = 65535, b->uuid = "U";
  b->name = "b3", b->x = MCNumber(12.5), b->y = MCNumber(int64_t{8}), b->status = 2;
  auto v = std::make_shared<MCVenue>();
  v->id = 5, v->location = 7, v->sublocation = 2, v->name = "Cafe", v->x = MCNumber(1.5), v->phone = "1";
  v->descript = "d", v->alias = "c", v->image = s->image, v->category->id = 9, v->category->name = "food";
  s->beacons->push_back(b), s->zones->push_back(Zone()), s->venues->push_back(v);
  auto l = std::make_shared<MCLocation>();
  l->id = 7, l->name = "Mall", l->localDescription = "big", l->archiveFile = "/x/map.mvz";
  l->version = 12, l->modified = true, l->sublocations = {s};
  return l;
}

std::shared_ptr<MCDeviceInfo> Info() {
  auto e = std::make_shared<MCRouteEvent>();
  e->distance = 4.5f, e->value = -90, e->type = 2;
  auto p = std::make_shared<MCRoutePath>();
  p->points = {Point(1.5), Point(-2.75)}, p->events = {e}, p->lenght = 17.25f;
  auto d = std::make_shared<MCDeviceInfo>();
  d->id = "dev", d->time = 1.7e9, d->location = 7, d->sublocation = 2, d->x = 1, d->kx = 0.5f;
  d->y = 2, d->ky = 0.25f, d->r = 3, d->azimuth = 1.5f, d->paths = {p}, d->zones = {Zone()};
  return d;
}

// Class name -> keys, over every dictionary nested in the archive.
void CollectKeys(plist_t node, std::map<std::string, std::set<std::string>>* out) {
  if (plist_get_node_type(node) == PLIST_ARRAY) {
    for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
      CollectKeys(plist_array_get_item(node, i), out);
    }
  }
  if (plist_get_node_type(node) != PLIST_DICT) return;
  plist_t cls = plist_dict_get_item(node, "$class");
  char* name = nullptr;
  if (cls) plist_get_string_val(cls, &name);
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(node, &it);
  for (char* key = nullptr;; free(key), key = nullptr) {
    plist_t value = nullptr;
    plist_dict_next_item(node, it, &key, &value);
    if (!key) break;
    if (name && std::string(key) != "$class") (*out)[name].insert(key);
    if (!name || std::string(name) != "Image") CollectKeys(value, out);
  }
  free(it);
  free(name);
}

// Encodes a dictionary holding only the class name.
template <class T>
struct Bare {
  static const char* className() { return T::className(); }
  void encodeWithCoder(platform::KeyedArchiver&) const {}
};

template <class T>
std::pair<Bytes, Bytes> BareAndFresh() {
  auto bare = KeyedUnarchiver::unarchiveObjectWithData<T>(Archive(std::make_shared<Bare<T>>()));
  return {bare ? Archive(bare) : Bytes{}, Archive(std::make_shared<T>())};
}

TEST(ModelArchiving, RoundTripsAndKeys) {
  const Bytes location = Archive(Location()), info = Archive(Info());
  const Bytes global = Archive(MCGlobalPoint::pointWithLatitude(52.1, -3.5));
  EXPECT_EQ(Archive(KeyedUnarchiver::unarchiveObjectWithData<MCLocation>(location)), location);
  EXPECT_EQ(Archive(KeyedUnarchiver::unarchiveObjectWithData<MCDeviceInfo>(info)), info);
  EXPECT_EQ(Archive(KeyedUnarchiver::unarchiveObjectWithData<MCGlobalPoint>(global)), global);

  std::map<std::string, std::set<std::string>> keys;
  for (const Bytes* b : {&location, &info, &global}) {
    plist_t top = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(b->data()), b->size(), &top);
    CollectKeys(plist_dict_get_item(top, "root"), &keys);
    plist_free(top);
  }
  const std::map<std::string, std::set<std::string>> expected = {
      {"MCLocation", {"id", "name", "description", "archiveFile", "version", "subLocations", "modified"}},
      {"MCSublocation", {"id", "locationId", "name", "svgFile", "pngFile", "jpgFile", "pngImage", "image",
                         "width", "height", "azimuth", "latitude", "longitude", "beacons", "zones", "venues"}},
      {"MCBeacon", {"id", "locationId", "sublocationId", "major", "minor", "name", "uuid", "kX", "kY", "status"}},
      {"MCZone", {"id", "locationId", "sublocationId", "name", "alias", "color", "points"}},
      {"MCVenue", {"id", "locationId", "sublocationId", "name", "x", "y", "image", "phone", "descript",
                   "alias", "category"}},
      {"MCCategory", {"id", "name"}},
      {"MCLocationPoint", {"locationId", "sublocationId", "x", "y"}},
      {"MCDeviceInfo", {"id", "time", "location", "sublocation", "x", "kx", "y", "ky", "r", "azimuth",
                        "paths", "zones"}},
      {"MCRoutePath", {"path", "events", "length"}},
      {"MCRouteEvent", {"distance", "value", "type"}},
      {"MCGlobalPoint", {"latitude", "longitude"}},
  };
  for (const auto& [cls, want] : expected) EXPECT_EQ(keys[cls], want) << cls;
}

TEST(ModelArchiving, MissingKeysDecodeAsZero) {
  // What an archive without fields decodes to encodes like a new object.
  const std::pair<Bytes, Bytes> cases[] = {
      BareAndFresh<MCLocation>(), BareAndFresh<MCSublocation>(), BareAndFresh<MCBeacon>(),
      BareAndFresh<MCZone>(), BareAndFresh<MCCategory>(), BareAndFresh<MCLocationPoint>(),
      BareAndFresh<MCRoutePath>(), BareAndFresh<MCRouteEvent>(), BareAndFresh<MCGlobalPoint>()};
  for (const auto& [bare, fresh] : cases) EXPECT_EQ(bare, fresh);
  // Fields a new object does not start at zero: time, image and category.
  auto info = KeyedUnarchiver::unarchiveObjectWithData<MCDeviceInfo>(Archive(std::make_shared<Bare<MCDeviceInfo>>()));
  EXPECT_EQ(info->time, 0.0);
  auto venue = KeyedUnarchiver::unarchiveObjectWithData<MCVenue>(Archive(std::make_shared<Bare<MCVenue>>()));
  EXPECT_FALSE(venue->category);
  EXPECT_FALSE(venue->image);
}

// An event's type travels as a 32-bit integer, read back sign-extended.
TEST(ModelArchiving, EventTypeKeepsLow32Bits) {
  for (const auto& [type, back] :
       {std::pair<int64_t, int64_t>{0x100000002LL, 2}, {-1, -1}, {0xFFFFFFFFLL, -1}}) {
    auto e = std::make_shared<MCRouteEvent>();
    e->type = type;
    EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData<MCRouteEvent>(Archive(e))->type, back);
  }
}

// Damaged archives decode to something usable or to none, never a crash.
TEST(ModelArchiving, MutatedArchivesNeverCrash) {
  const Bytes seeds[] = {Archive(Location()), Archive(Info())};
  std::mt19937 rng(20261207);
  int decoded = 0;
  for (int i = 0; i < 3000; ++i) {
    Bytes b = seeds[i % 2];
    for (int e = 0, n = 1 + static_cast<int>(rng() % 8); e < n && b.size() > 1; ++e) {
      const size_t at = rng() % b.size();
      switch (rng() % 4) {
        case 0: b[at] = static_cast<uint8_t>(rng()); break;
        case 1: b[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 2: b.erase(b.begin() + static_cast<long>(at)); break;
        default: b.resize(at + 1); break;
      }
    }
    if (auto l = KeyedUnarchiver::unarchiveObjectWithData<MCLocation>(b)) {
      ++decoded;
      l->description();
      for (const auto& s : l->sublocations) {
        for (const auto& z : *s->zones) z->center(), z->containsPoint(MCLocationPoint());
      }
    }
    if (auto d = KeyedUnarchiver::unarchiveObjectWithData<MCDeviceInfo>(b)) {
      decoded += !Archive(d).empty();
      for (const auto& p : d->paths) p->description();
    }
  }
  EXPECT_GT(decoded, 0);
}

}  // namespace
