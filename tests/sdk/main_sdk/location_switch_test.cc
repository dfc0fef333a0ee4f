// Loading one location after another through the coordinator: every load shows
// the venues and categories of its own archive, on its own floors.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "MCArchiveManager/mc_archive_manager.h"
#include "MCModels/mc_location.h"
#include "MCVenueManager/mc_category_manager.h"
#include "MCVenueManager/mc_venue_manager.h"
#include "sdk/coordinator_scene.h"
#include "server/zip_archive.h"

namespace {

using sdk_test::CoordinatorScene;
using sdk_test::SharedScene;

struct Site {
  const char* name;
  int locationId;
  const char* categories;  // the categories.xml member
  const char* venues;      // the venues.xml member; floors 1 and 2 are the generated ones
};

// The generated venue under another location id, with the two members added.
void Install(CoordinatorScene& c, const Site& site, const venuesim_test::TempDir& dir) {
  venuesim::Venue venue = SharedScene().venue;
  venue.setup.locationId = site.locationId;
  const std::string path = dir.file(std::string(site.name) + ".mvz");
  std::string error;
  ASSERT_EQ(venuesim::WriteVenueArchive(venue, path, &error), 0) << error;
  zip* z = ZipOpen(path.c_str());
  ASSERT_NE(z, nullptr);
  const std::string categories = site.categories, venues = site.venues;
  ZipWriteBuffer(z, "categories.xml", categories.data(), int(categories.size()));
  ZipWriteBuffer(z, "venues.xml", venues.data(), int(venues.size()));
  ASSERT_EQ(ZipClose(z), 0);
  c.install(site.name, path);
}

std::set<int64_t> Ids(const std::vector<std::shared_ptr<MCVenue>>& venues) {
  std::set<int64_t> ids;
  for (const auto& v : venues) ids.insert(v->id);
  return ids;
}

TEST(LocationSwitchTest, EachLoadShowsItsOwnVenuesAndCategories) {
  const Site sites[] = {
      {"a", 7101, "<Categories><Category id=\"1\"><name>Shops</name></Category></Categories>",
       "<Location id=\"7101\"><Sublocation id=\"1\">"
       "<Venue id=\"11\" kx=\"0.5\" ky=\"0.5\" categoryId=\"1\"><name>Bakery</name></Venue>"
       "<Venue id=\"12\" kx=\"0.1\" ky=\"0.1\" categoryId=\"1\"><name>Florist</name></Venue>"
       "</Sublocation></Location>"},
      {"b", 7102, "<Categories><Category id=\"2\"><name>Desks</name></Category></Categories>",
       "<Location id=\"7102\"><Sublocation id=\"2\">"
       "<Venue id=\"21\" kx=\"0.25\" ky=\"0.75\" categoryId=\"2\"><name>Help desk</name></Venue>"
       "</Sublocation></Location>"},
  };
  struct Expect {
    int site;
    std::set<int64_t> venues;
    const char* category;  // every venue's
    std::vector<std::set<int64_t>> onFloor;  // venue ids on each floor, in floor order
  };
  const Expect loads[] = {
      {0, {11, 12}, "Shops", {{11, 12}, {}}},
      {1, {21}, "Desks", {{}, {21}}},
      {0, {11, 12}, "Shops", {{11, 12}, {}}},
  };
  venuesim_test::TempDir dir;
  auto categories = std::make_shared<MCCategoryManager>();
  auto venues = std::make_shared<MCVenueManager>();
  CoordinatorScene c([&](MainSDKManagers& m) {
    // Venues and categories read through the coordinator's own archive manager.
    categories->setArchiveManager(m.archiveManager);
    venues->setArchiveManager(m.archiveManager);
    venues->setCategoryManager(categories);
    m.venueManager = venues;
  });
  for (const Site& s : sites) Install(c, s, dir);
  for (const Expect& e : loads) {
    const Site& site = sites[e.site];
    SCOPED_TRACE(site.name);
    std::optional<platform::Error> error;
    c.sdk->loadArchive(site.name, &error);
    ASSERT_FALSE(error) << error->localizedDescription;
    const auto location = c.sdk->location();
    ASSERT_EQ(location->id, site.locationId);
    EXPECT_EQ(Ids(venues->venues()), e.venues);
    ASSERT_EQ(categories->categories().size(), 1u);
    EXPECT_EQ(categories->categories()[0]->name, e.category);
    for (const auto& v : venues->venues()) EXPECT_EQ(v->category->name, e.category) << v->id;
    ASSERT_EQ(location->sublocations.size(), e.onFloor.size());
    for (size_t f = 0; f < e.onFloor.size(); ++f)
      EXPECT_EQ(Ids(*location->sublocations[f]->venues), e.onFloor[f]) << "floor " << f;
  }
}

}  // namespace
