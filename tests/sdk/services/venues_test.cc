// Venues and categories from a map archive: placed on their floors, given
// their categories and pictures; lists that start empty at every load; and
// pictures fetched only over http(s), each within its time-out.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cairo.h>
#include <zlib.h>

#include <chrono>
#include <fstream>

#include "MCArchiveManager/m_archive_engine.h"
#include "MCArchiveManager/mc_archive_manager.h"
#include "MCModels/mc_location.h"
#include "MCVenueManager/mc_category_manager.h"
#include "MCVenueManager/mc_venue_manager.h"
#include "platform/run_loop.h"
#include "sdk/services/services_support.h"

namespace {

std::string Png() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 3, 2);
  const auto png = platform::Image::imageWithSurface(s, 1)->pngData();
  cairo_surface_destroy(s);
  return std::string(png.begin(), png.end());
}

// A valid PNG of w x h one-bit grey pixels, all black: a few kilobytes, however large it
// decodes.
std::string GreyPng(uint32_t w, uint32_t h) {
  std::vector<uint8_t> raw((1 + (w + 7) / 8) * size_t(h), 0);  // filter byte and bits per row
  uLongf n = compressBound(uLong(raw.size()));
  std::vector<uint8_t> z(n);
  compress2(z.data(), &n, raw.data(), uLong(raw.size()), 9);
  z.resize(n);
  std::string png("\x89PNG\r\n\x1a\n", 8);
  auto be = [&](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(char(v >> shift));
  };
  auto chunk = [&](const char* type, const std::vector<uint8_t>& data) {
    be(uint32_t(data.size()));
    std::string body(type, 4);
    body.append(data.begin(), data.end());
    png += body;
    be(uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
  };
  std::vector<uint8_t> header;
  for (uint32_t v : {w, h})
    for (int shift = 24; shift >= 0; shift -= 8) header.push_back(uint8_t(v >> shift));
  header.insert(header.end(), {1, 0, 0, 0, 0});  // depth 1, grey, deflate, no filter, no interlace
  chunk("IHDR", header);
  chunk("IDAT", z);
  chunk("IEND", {});
  return png;
}

class Venues : public services_test::ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    editReplies([](contentserver::SdkReplies& r) { r.images["a.png"] = Png(); });
    std::ofstream(home_->path() / "local.png", std::ios::binary) << Png();
    location_->id = 3;
    categories_->setArchiveManager(archive_);
    venues_->setArchiveManager(archive_);
    venues_->setCategoryManager(categories_);
    venues_->setLocation(location_);
    venues_->setImageTimeout(1);
  }
  // A new archive and new floors (as every load makes them), then the load.
  void load(const std::map<std::string, std::string>& members) {
    const std::string path = (home_->path() / ("map" + std::to_string(++archives_) + ".mvz")).string();
    MArchiveEngine zip;
    zip.createArchive(path);
    std::optional<platform::Error> error;
    zip.writeBuffer("config.xml", "<Location id=\"3\"/>", &error);
    for (const auto& [name, data] : members) zip.writeBuffer(name, data, &error);
    zip.closeArchive();
    ASSERT_FALSE(error);
    location_->sublocations.clear();
    for (int id : {1, 2}) {
      auto f = std::make_shared<MCSublocation>();
      f->id = id, f->location = 3, f->width = 40, f->height = 20;
      location_->sublocations.push_back(f);
    }
    location_->archiveFile = path;
    archive_->setLocation(location_);
    venues_->loadVenuesFromArchive();
  }
  std::shared_ptr<MCVenue> venue(int64_t id) const {
    for (const auto& v : venues_->venues())
      if (v->id == id) return v;
    return nullptr;
  }

  int archives_ = 0;
  std::shared_ptr<MCLocation> location_ = std::make_shared<MCLocation>();
  std::shared_ptr<MCArchiveManager> archive_ = std::make_shared<MCArchiveManager>();
  std::shared_ptr<MCCategoryManager> categories_ = std::make_shared<MCCategoryManager>();
  std::shared_ptr<MCVenueManager> venues_ = std::make_shared<MCVenueManager>();
};

const char* const kCategories =
    "<Categories><Category id=\"1\"><name>Food</name></Category><Category id=\"2\"><name>Shops</name></Category>"
    "<Category id=\"2\"><name>Second</name></Category></Categories>";

TEST_F(Venues, VenuesLandOnTheirFloorsWithCategoriesAndPictures) {
  const std::string img = base() + "/images/";
  load({{"categories.xml", kCategories},
        {"venues.xml",
         "<Location id=\"3\"><Sublocation id=\"1\">"
         "<Venue id=\"10\" kx=\"0.5\" ky=\"0.25\" categoryId=\"2\" alias=\"shop\"><name>Shop</name>"
         "<description>Tea &amp; cake</description><phone>+49 30</phone><image>" + img + "a.png</image></Venue>"
         "<Venue id=\"11\" kx=\"0.1\" ky=\"0.9\" categoryId=\"99\"><image>file://" + (home_->path() / "local.png").string() +
             "</image></Venue>"
         "<Venue id=\"12\" categoryId=\"1\"><image>" + img + "missing.png</image></Venue>"
         "<Venue id=\"13\"><image></image></Venue>"
         "</Sublocation><Sublocation id=\"9\"><Venue id=\"20\" kx=\"0.5\" ky=\"0.5\"/></Sublocation></Location>"}});
  struct Row {
    int64_t id;
    double x, y;
    int64_t floor;  // 0: on no floor
    const char* category;
    int pictureWidth;
  };
  const Row rows[] = {{10, 20, 5, 1, "2 Shops", 3}, {11, 4, 18, 1, "0 ", 0}, {12, 0, 0, 1, "1 Food", 0},
                      {13, 0, 0, 1, "0 ", 0},       {20, 0, 0, 0, "0 ", 0}};
  ASSERT_EQ(venues_->venues().size(), std::size(rows));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    const auto v = venue(row.id);
    ASSERT_TRUE(v && v->image);  // an empty picture, never a missing one
    EXPECT_EQ(v->x.doubleValue() * 1000 + v->y.doubleValue(), row.x * 1000 + row.y);
    EXPECT_EQ(std::to_string(v->category->id) + " " + v->category->name, row.category);
    EXPECT_EQ(v->image->pixelWidth(), row.pictureWidth);
    int64_t floor = 0;
    for (const auto& f : location_->sublocations)
      if (std::find(f->venues->begin(), f->venues->end(), v) != f->venues->end()) floor = f->id;
    EXPECT_EQ(floor, row.floor);
  }
  EXPECT_EQ(venue(10)->alias + "|" + venue(10)->name + "|" + venue(10)->descript + "|" + venue(10)->phone,
            "shop|Shop|Tea & cake|+49 30");
  EXPECT_EQ(routes_->records().size(), 2u);  // only the two http pictures were asked for
}

TEST_F(Venues, EachLoadStartsFromEmptyLists) {
  load({{"categories.xml", kCategories},
        {"venues.xml", "<Location id=\"3\"><Sublocation id=\"1\"><Venue id=\"10\" categoryId=\"2\"/></Sublocation></Location>"}});
  ASSERT_EQ(venue(10)->category->name, "Shops");
  // The next location has venues but no categories: none of the old ones apply.
  load({{"venues.xml", "<Location id=\"3\"><Sublocation id=\"2\"><Venue id=\"30\" categoryId=\"2\"/></Sublocation></Location>"}});
  EXPECT_TRUE(categories_->categories().empty());
  ASSERT_EQ(venues_->venues().size(), 1u);
  EXPECT_EQ(venue(30)->category->id, 0);
  EXPECT_EQ(location_->subLocationWithId(2)->venues->size(), 1u);
  load({});
  EXPECT_TRUE(venues_->venues().empty());
}

TEST_F(Venues, PicturesOnlyOverHttpAndWithinTheTimeOut) {
  // A peer that takes the connection into its backlog and never answers.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), n) | listen(silent, 8) |
                getsockname(silent, reinterpret_cast<sockaddr*>(&a), &n), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(MCVenueManager::fetchImage("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/x.png", 1), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  close(silent);
  for (const std::string& url : {"file://" + (home_->path() / "local.png").string(), std::string("ftp://127.0.0.1/a.png"),
                                std::string("javascript:x"), std::string("http://")})
    EXPECT_EQ(MCVenueManager::fetchImage(url, 1), nullptr) << url;
  EXPECT_NE(MCVenueManager::fetchImage(base() + "/images/a.png", 1), nullptr);
}


// Pictures that would decode to gigabytes: what a location's pictures take together is
// bounded, each picture that would pass the bound is skipped, and later small ones still fit.
TEST_F(Venues, PicturesOfALocationShareOnePixelBound) {
  editReplies([](contentserver::SdkReplies& r) {
    r.images["huge.png"] = GreyPng(8192, 8192);  // 64M pixels
    r.images["big.png"] = GreyPng(3000, 3000);   // 9M pixels
  });
  const std::string img = base() + "/images/";
  struct Row {
    int64_t id;
    const char* picture;
    int width;  // 0: the empty image
  } rows[] = {
      {1, "huge.png", 0}, {2, "huge.png", 0}, {3, "big.png", 3000},
      {4, "big.png", 0},  {5, "a.png", 3},    {6, "a.png", 3},
  };
  std::string xml = "<Location id=\"3\"><Sublocation id=\"1\">";
  for (const Row& row : rows)
    xml += "<Venue id=\"" + std::to_string(row.id) + "\"><image>" + img + row.picture + "</image></Venue>";
  load({{"venues.xml", xml + "</Sublocation></Location>"}});
  int64_t pixels = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    const auto v = venue(row.id);
    ASSERT_TRUE(v && v->image);
    EXPECT_EQ(v->image->pixelWidth(), row.width);
    pixels += int64_t(v->image->pixelWidth()) * v->image->pixelHeight();
  }
  EXPECT_LE(pixels, MCVenueManager::kMaxImagePixels);
  // The next location starts with the whole bound again.
  load({{"venues.xml", "<Location id=\"3\"><Sublocation id=\"1\"><Venue id=\"7\"><image>" + img +
                           "big.png</image></Venue></Sublocation></Location>"}});
  EXPECT_EQ(venue(7)->image->pixelWidth(), 3000);
}

// Loaded on the main thread, pictures decode while the main run loop keeps turning; a load
// that a block of the loop starts meanwhile is refused instead of waiting on the first.
TEST_F(Venues, OnTheMainThreadPicturesDecodeWhileItsRunLoopTurns) {
  ASSERT_TRUE(platform::RunLoop::isMainThread());
  editReplies([](contentserver::SdkReplies& r) { r.images["big.png"] = GreyPng(3000, 3000); });
  bool ran = false;
  platform::RunLoop::main()->perform([&] {
    ran = true;
    venues_->loadVenuesFromArchive();
  });
  load({{"venues.xml", "<Location id=\"3\"><Sublocation id=\"1\"><Venue id=\"8\"><image>" + base() +
                           "/images/big.png</image></Venue></Sublocation></Location>"}});
  EXPECT_TRUE(ran);
  ASSERT_EQ(venues_->venues().size(), 1u);
  EXPECT_EQ(venue(8)->image->pixelWidth(), 3000);
}

}  // namespace
