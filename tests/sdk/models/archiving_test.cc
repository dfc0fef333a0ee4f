// Every model through the keyed archiver: a filled object survives a round
// trip (its re-encoding is byte for byte the first), is stored under the
// expected keys, and an archive holding only the class decodes as zero.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <functional>
#include <random>
#include <set>

#include "MCModels/mc_beacon.h"
#include "MCModels/mc_device_info.h"
#include "MCModels/mc_global_point.h"
#include "MCModels/mc_location.h"
#include "MCModels/mc_route_path.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::shared_ptr<MCLocationPoint> Point(double x) {
  return MCLocationPoint::pointWithLocation(7, 2, MCNumber(x), MCNumber(int64_t{-4}));
}

std::shared_ptr<MCZone> Zone() {
  auto z = std::make_shared<MCZone>();
  z->id = 11, z->location = 7, z->sublocation = 2;
  z->name = "Hall", z->alias = "h", z->color = "#ff0000";
  z->points = {Point(1.25), Point(3.5)};
  return z;
}

std::shared_ptr<MCBeacon> Beacon() {
  auto b = std::make_shared<MCBeacon>();
  b->id = 3, b->location = 7, b->sublocation = 2, b->major = 100, b->minor = 65535;
  b->uuid = "UUID-1", b->name = "b3", b->x = MCNumber(12.5), b->y = MCNumber(int64_t{8});
  b->status = 2;
  return b;
}

std::shared_ptr<platform::Image> TinyImage() {
  // A 1x1 PNG.
  static const Bytes png = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
      0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f,
      0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8,
      0xcf, 0xc0, 0xf0, 0x1f, 0x00, 0x05, 0x00, 0x01, 0xff, 0x89, 0x99, 0x3d, 0x1d, 0x00, 0x00,
      0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  return platform::Image::imageWithData(png);
}

std::shared_ptr<MCSublocation> Floor() {
  auto s = std::make_shared<MCSublocation>();
  s->id = 2, s->location = 7, s->name = "Ground";
  s->svgFile = "a.svg", s->pngFile = "a.png", s->jpgFile = "a.jpg";
  s->pngImage = Bytes{1, 2, 3};
  s->image = TinyImage();
  s->width = 60.5f, s->height = 30, s->azimuth = -12.25f, s->magneticDeclination = 3;
  s->latitude = 52.5, s->longitude = 13.25;
  s->beacons->push_back(Beacon());
  s->zones->push_back(Zone());
  auto v = std::make_shared<MCVenue>();
  v->id = 5, v->location = 7, v->sublocation = 2, v->name = "Cafe", v->x = MCNumber(1.5);
  v->phone = "123", v->descript = "coffee", v->alias = "c", v->image = TinyImage();
  v->category->id = 9, v->category->name = "food";
  s->venues->push_back(v);
  s->archiveFile = "/tmp/map.mvz";
  return s;
}

template <class T>
Bytes Archive(const std::shared_ptr<T>& o) {
  return platform::KeyedArchiver::archivedDataWithRootObject(o);
}

// The keys of the archive's root object.
std::set<std::string> Keys(const Bytes& data) {
  plist_t top = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(data.data()), data.size(), &top);
  plist_t root = plist_dict_get_item(top, "root");
  std::set<std::string> keys;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root, &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, it, &key, &value);
    if (!key) break;
    keys.insert(key);
    free(key);
  }
  free(it);
  plist_free(top);
  return keys;
}

// Encodes a dictionary holding only the class name.
template <class T>
struct Bare {
  static const char* className() { return T::className(); }
  void encodeWithCoder(platform::KeyedArchiver&) const {}
};

struct Case {
  const char* name;
  std::function<Bytes()> filled;
  std::function<Bytes(const Bytes&)> roundTrip;  // decode, encode again
  std::function<Bytes()> bareDecoded;            // the bare archive decoded and re-encoded
  std::function<Bytes()> fresh;                  // a new object encoded
  std::set<std::string> keys;
};

template <class T>
Case Make(const char* name, std::function<std::shared_ptr<T>()> make,
          std::set<std::string> keys) {
  return Case{
      name,
      [make] { return Archive(make()); },
      [](const Bytes& b) { return Archive(platform::KeyedUnarchiver::unarchiveObjectWithData<T>(b)); },
      [] {
        auto bare = Archive(std::make_shared<Bare<T>>());
        return Archive(platform::KeyedUnarchiver::unarchiveObjectWithData<T>(bare));
      },
      [] { return Archive(std::make_shared<T>()); },
      std::move(keys)};
}

TEST(ModelArchiving, RoundTripKeysAndMissingKeys) {
  const Case cases[] = {
      Make<MCLocationPoint>("point", [] { return Point(2.5); },
                            {"locationId", "sublocationId", "x", "y"}),
      Make<MCGlobalPoint>("global", [] { return MCGlobalPoint::pointWithLatitude(52.1, -3.5); },
                          {"latitude", "longitude"}),
      Make<MCRouteEvent>("event",
                         [] {
                           auto e = std::make_shared<MCRouteEvent>();
                           e->distance = 4.5f, e->value = -90, e->type = 2;
                           return e;
                         },
                         {"distance", "value", "type"}),
      Make<MCRoutePath>("path",
                        [] {
                          auto p = std::make_shared<MCRoutePath>();
                          p->points = {Point(1.5), Point(-2.75)};
                          p->events = {std::make_shared<MCRouteEvent>()};
                          p->lenght = 17.25f;
                          return p;
                        },
                        {"path", "events", "length"}),
      Make<MCDeviceInfo>("device info",
                         [] {
                           auto d = std::make_shared<MCDeviceInfo>();
                           d->id = "dev", d->time = 1.7e9, d->location = 7, d->sublocation = 2;
                           d->x = 1, d->kx = 0.5f, d->y = 2, d->ky = 0.25f, d->r = 3;
                           d->azimuth = 1.5f;
                           d->paths = {std::make_shared<MCRoutePath>()};
                           d->zones = {Zone()};
                           return d;
                         },
                         {"id", "time", "location", "sublocation", "x", "kx", "y", "ky", "r",
                          "azimuth", "paths", "zones"}),
      Make<MCBeacon>("beacon", Beacon,
                     {"id", "locationId", "sublocationId", "major", "minor", "name", "uuid", "kX",
                      "kY", "status"}),
      Make<MCZone>("zone", Zone,
                   {"id", "locationId", "sublocationId", "name", "alias", "color", "points"}),
      Make<MCCategory>("category",
                       [] {
                         auto c = std::make_shared<MCCategory>();
                         c->id = 4, c->name = "shops";
                         return c;
                       },
                       {"id", "name"}),
      Make<MCVenue>("venue", [] { return Floor()->venues->front(); },
                    {"id", "locationId", "sublocationId", "name", "x", "y", "image", "phone",
                     "descript", "alias", "category"}),
      Make<MCSublocation>("floor", Floor,
                          {"id", "locationId", "name", "svgFile", "pngFile", "jpgFile", "pngImage",
                           "image", "width", "height", "azimuth", "latitude", "longitude",
                           "beacons", "zones", "venues"}),
      Make<MCLocation>("location",
                       [] {
                         auto l = std::make_shared<MCLocation>();
                         l->id = 7, l->name = "Mall", l->localDescription = "big";
                         l->archiveFile = "/x/map.mvz", l->version = 12, l->modified = true;
                         l->sublocations = {Floor()};
                         return l;
                       },
                       {"id", "name", "description", "archiveFile", "version", "subLocations",
                        "modified"}),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes once = c.filled();
    EXPECT_EQ(c.roundTrip(once), once);
    std::set<std::string> keys = c.keys;
    keys.insert("$class");
    EXPECT_EQ(Keys(once), keys);
    // What a bare archive decodes to encodes like a new object, save the
    // fields a new object does not start at zero.
    const Bytes bare = c.bareDecoded();
    if (std::string(c.name) != "device info" && std::string(c.name) != "venue") {
      EXPECT_EQ(bare, c.fresh());
    }
    EXPECT_FALSE(bare.empty());
  }
}

TEST(ModelArchiving, DecodedFieldsThatNeedCare) {
  // A bare archive gives no time, no image and no category.
  auto bare = Archive(std::make_shared<Bare<MCDeviceInfo>>());
  auto info = platform::KeyedUnarchiver::unarchiveObjectWithData<MCDeviceInfo>(bare);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->time, 0.0);
  auto venue = platform::KeyedUnarchiver::unarchiveObjectWithData<MCVenue>(
      Archive(std::make_shared<Bare<MCVenue>>()));
  ASSERT_TRUE(venue);
  EXPECT_FALSE(venue->category);
  EXPECT_TRUE(venue->x.isInteger());

  // The error is not archived; declination and archive path neither.
  auto d = std::make_shared<MCDeviceInfo>();
  d->error = platform::Error::make("d", 4, "failed");
  EXPECT_FALSE(platform::KeyedUnarchiver::unarchiveObjectWithData<MCDeviceInfo>(Archive(d))->error);
  auto floor = platform::KeyedUnarchiver::unarchiveObjectWithData<MCSublocation>(Archive(Floor()));
  EXPECT_EQ(floor->magneticDeclination, 0.0f);
  EXPECT_EQ(floor->archiveFile, "");
  EXPECT_FALSE(floor->svgImage);
  EXPECT_EQ(*floor->pngImage, (Bytes{1, 2, 3}));
  EXPECT_EQ(floor->beacons->at(0)->x, MCNumber(12.5));

  // An event type keeps only its low 32 bits, sign-extended.
  for (const auto& [type, back] : {std::pair<int64_t, int64_t>{0x100000002LL, 2},
                                   {-1, -1}, {0xFFFFFFFFLL, -1}}) {
    auto e = std::make_shared<MCRouteEvent>();
    e->type = type;
    EXPECT_EQ(platform::KeyedUnarchiver::unarchiveObjectWithData<MCRouteEvent>(Archive(e))->type,
              back);
  }
}

}  // namespace

namespace {

// Damaged archives of every model decode to something usable or to none,
// never to a crash; what decodes can be described and archived again.
TEST(ModelArchiving, MutatedArchivesNeverCrash) {
  auto location = std::make_shared<MCLocation>();
  location->id = 7;
  location->sublocations = {Floor()};
  auto info = std::make_shared<MCDeviceInfo>();
  info->paths = {std::make_shared<MCRoutePath>()};
  info->paths[0]->points = {Point(1.5)};
  info->paths[0]->events = {std::make_shared<MCRouteEvent>()};
  info->zones = {Zone()};
  const Bytes seeds[] = {Archive(location), Archive(info)};
  std::mt19937 rng(20261207);
  int decoded = 0;
  for (int i = 0; i < 3000; ++i) {
    Bytes b = seeds[i % 2];
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % b.size();
      switch (rng() % 4) {
        case 0: b[at] = static_cast<uint8_t>(rng()); break;
        case 1: b[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 2: b.erase(b.begin() + static_cast<long>(at)); break;
        default: b.resize(at + 1); break;
      }
      if (b.empty()) b.push_back(0);
    }
    if (auto l = platform::KeyedUnarchiver::unarchiveObjectWithData<MCLocation>(b)) {
      ++decoded;
      l->description();
      Archive(l);
      for (const auto& s : l->sublocations) {
        for (const auto& z : *s->zones) z->center(), z->containsPoint(MCLocationPoint());
      }
    }
    if (auto d = platform::KeyedUnarchiver::unarchiveObjectWithData<MCDeviceInfo>(b)) {
      ++decoded;
      d->isValid();
      Archive(d);
      for (const auto& p : d->paths) p->description();
    }
  }
  EXPECT_GT(decoded, 0);
}

}  // namespace
