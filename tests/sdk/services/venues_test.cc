// Venues and categories read from a map archive: placed on their floors, given
// their categories and pictures; lists that start empty at every load; and
// pictures fetched only over http(s), each within its time-out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cairo.h>

#include <chrono>
#include <fstream>

#include "MCArchiveManager/m_archive_engine.h"
#include "MCArchiveManager/mc_archive_manager.h"
#include "MCModels/mc_location.h"
#include "MCVenueManager/mc_category_manager.h"
#include "MCVenueManager/mc_venue_manager.h"
#include "sdk/services/services_support.h"

using services_test::ServicesTest;

namespace {

std::string Png() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 3, 2);
  auto image = platform::Image::imageWithSurface(s, 1);
  cairo_surface_destroy(s);
  const auto png = image->pngData();
  return std::string(png.begin(), png.end());
}

// A peer that takes connections into its backlog and never answers.
class SilentPeer {
 public:
  SilentPeer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 8);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
  }
  ~SilentPeer() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class Venues : public ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    editReplies([](contentserver::SdkReplies& r) { r.images["a.png"] = Png(); });
    location_ = std::make_shared<MCLocation>();
    location_->id = 3;
    newFloors();
    archive_ = std::make_shared<MCArchiveManager>();
    categories_ = std::make_shared<MCCategoryManager>();
    categories_->setArchiveManager(archive_);
    venues_ = std::make_shared<MCVenueManager>();
    venues_->setArchiveManager(archive_);
    venues_->setCategoryManager(categories_);
    venues_->setLocation(location_);
    venues_->setImageTimeout(1);
  }
  // Floors are new objects at every load, as the coordinator makes them.
  void newFloors() {
    location_->sublocations.clear();
    for (int id : {1, 2}) {
      auto f = std::make_shared<MCSublocation>();
      f->id = id;
      f->location = 3;
      f->width = 40;
      f->height = 20;
      location_->sublocations.push_back(f);
    }
  }
  void load(const std::map<std::string, std::string>& members) {
    const std::string path = (home_->path() / ("map" + std::to_string(++archives_) + ".mvz")).string();
    MArchiveEngine zip;
    zip.createArchive(path);
    std::optional<platform::Error> error;
    zip.writeBuffer("config.xml", "<Location id=\"3\"/>", &error);
    for (const auto& [name, data] : members) zip.writeBuffer(name, data, &error);
    zip.closeArchive();
    ASSERT_FALSE(error);
    newFloors();
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
  std::shared_ptr<MCLocation> location_;
  std::shared_ptr<MCArchiveManager> archive_;
  std::shared_ptr<MCCategoryManager> categories_;
  std::shared_ptr<MCVenueManager> venues_;
};

const char* const kCategories =
    "<Categories><Category id=\"1\"><name>Food</name></Category><Category id=\"2\"><name>Shops</name></Category>"
    "<Category id=\"2\"><name>Second</name></Category></Categories>";

TEST_F(Venues, VenuesLandOnTheirFloorsWithCategoriesAndPictures) {
  const std::string img = base() + "/images/";
  const std::string local = (home_->path() / "local.png").string();
  { std::ofstream(local, std::ios::binary) << Png(); }
  load({{"categories.xml", kCategories},
        {"venues.xml",
         "<Location id=\"3\"><Sublocation id=\"1\">"
         "<Venue id=\"10\" kx=\"0.5\" ky=\"0.25\" categoryId=\"2\" alias=\"shop\"><name>Shop</name>"
         "<description>Tea &amp; cake</description><phone>+49 30</phone><image>" + img + "a.png</image></Venue>"
         "<Venue id=\"11\" kx=\"0.1\" ky=\"0.9\" categoryId=\"99\"><image>file://" + local + "</image></Venue>"
         "<Venue id=\"12\" categoryId=\"1\"><image>" + img + "missing.png</image></Venue>"
         "<Venue id=\"13\"><image>ftp://127.0.0.1/x.png</image></Venue>"
         "<Venue id=\"14\"><image></image></Venue>"
         "</Sublocation><Sublocation id=\"9\"><Venue id=\"20\" kx=\"0.5\" ky=\"0.5\"/></Sublocation></Location>"}});
  struct Row {
    int64_t id;
    double x, y;
    int64_t floor;  // 0: on no floor
    int64_t category;
    const char* categoryName;
    int pictureWidth;
  };
  const Row rows[] = {
      {10, 20, 5, 1, 2, "Shops", 3},  {11, 4, 18, 1, 0, "", 0}, {12, 0, 0, 1, 1, "Food", 0},
      {13, 0, 0, 1, 0, "", 0},        {14, 0, 0, 1, 0, "", 0},  {20, 0, 0, 0, 0, "", 0},
  };
  ASSERT_EQ(venues_->venues().size(), std::size(rows));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    const auto v = venue(row.id);
    ASSERT_TRUE(v);
    EXPECT_DOUBLE_EQ(v->x.doubleValue(), row.x);
    EXPECT_DOUBLE_EQ(v->y.doubleValue(), row.y);
    EXPECT_EQ(v->location, 3);
    EXPECT_EQ(v->category->id, row.category);
    EXPECT_EQ(v->category->name, row.categoryName);
    ASSERT_TRUE(v->image);  // an empty picture, never a missing one
    EXPECT_EQ(v->image->pixelWidth(), row.pictureWidth);
    bool onFloor = false;
    for (const auto& f : location_->sublocations)
      for (const auto& w : *f->venues) onFloor = onFloor || (w == v && f->id == row.floor);
    EXPECT_EQ(onFloor, row.floor != 0);
  }
  EXPECT_EQ(venue(10)->alias, "shop");
  EXPECT_EQ(venue(10)->descript, "Tea & cake");
  EXPECT_EQ(venue(10)->phone, "+49 30");
  EXPECT_EQ(venue(10)->name, "Shop");
  // Only the two http pictures were asked for.
  EXPECT_EQ(routes_->records("/images/a.png").size(), 1u);
  EXPECT_EQ(routes_->records("/images/missing.png").size(), 1u);
  EXPECT_EQ(routes_->records().size(), 2u);
}

TEST_F(Venues, EachLoadStartsFromEmptyLists) {
  load({{"categories.xml", kCategories},
        {"venues.xml", "<Location id=\"3\"><Sublocation id=\"1\"><Venue id=\"10\" categoryId=\"2\"/></Sublocation></Location>"}});
  ASSERT_EQ(categories_->categories().size(), 3u);
  ASSERT_EQ(venue(10)->category->name, "Shops");
  // The next location has venues but no categories: none of the old ones apply.
  load({{"venues.xml", "<Location id=\"3\"><Sublocation id=\"2\"><Venue id=\"30\" categoryId=\"2\"/></Sublocation></Location>"}});
  EXPECT_TRUE(categories_->categories().empty());
  ASSERT_EQ(venues_->venues().size(), 1u);
  EXPECT_EQ(venue(30)->category->id, 0);
  EXPECT_EQ(location_->subLocationWithId(2)->venues->size(), 1u);
  // And one with neither member: no venues at all.
  load({});
  EXPECT_TRUE(venues_->venues().empty());
}

TEST_F(Venues, ASilentPictureServerCostsOnlyTheTimeOut) {
  SilentPeer silent;
  const auto started = std::chrono::steady_clock::now();
  const auto image = MCVenueManager::fetchImage("http://127.0.0.1:" + std::to_string(silent.port()) + "/x.png", 1);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(image, nullptr);
  EXPECT_LT(took, 5.0);
  struct Row {
    const char* url;
    bool image;
  };
  const std::string local = "file://" + (home_->path() / "local.png").string();
  { std::ofstream(home_->path() / "local.png", std::ios::binary) << Png(); }
  const Row rows[] = {
      {local.c_str(), false}, {"ftp://127.0.0.1/a.png", false}, {"javascript:alert(1)", false},
      {"", false},                     {"http://", false},               {"HTTP://127.0.0.1:1/a.png", false},
  };
  for (const Row& row : rows) EXPECT_EQ(MCVenueManager::fetchImage(row.url, 1) != nullptr, row.image) << row.url;
  EXPECT_NE(MCVenueManager::fetchImage(base() + "/images/a.png", 1), nullptr);
}

}  // namespace
