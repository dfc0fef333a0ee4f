// Loading one location after another through the coordinator: every load shows
// the venues and categories of its own archive, on its own floors.
#include <gtest/gtest.h>

#include <set>

#include "MCArchiveManager/mc_archive_manager.h"
#include "MCModels/mc_location.h"
#include "MCVenueManager/mc_category_manager.h"
#include "MCVenueManager/mc_venue_manager.h"
#include "sdk/coordinator_scene.h"
#include "server/zip_archive.h"

namespace {

std::set<int64_t> Ids(const std::vector<std::shared_ptr<MCVenue>>& venues) {
  std::set<int64_t> ids;
  for (const auto& v : venues) ids.insert(v->id);
  return ids;
}

TEST(LocationSwitchTest, EachLoadShowsItsOwnVenuesAndCategories) {
  struct Site {
    const char* name;
    int locationId, floor;  // the generated venue's floors are 1 and 2
    int64_t venue;
    const char* category;
  } const sites[] = {{"a", 7101, 1, 11, "Shops"}, {"b", 7102, 2, 21, "Desks"}};
  auto categories = std::make_shared<MCCategoryManager>();
  auto venues = std::make_shared<MCVenueManager>();
  sdk_test::CoordinatorScene c([&](MainSDKManagers& m) {
    categories->setArchiveManager(m.archiveManager);
    venues->setArchiveManager(m.archiveManager);
    venues->setCategoryManager(categories);
    m.venueManager = venues;
  });
  venuesim_test::TempDir dir;
  for (const Site& s : sites) {
    venuesim::Venue venue = sdk_test::SharedScene().venue;
    venue.setup.locationId = s.locationId;
    const std::string path = dir.file(std::string(s.name) + ".mvz"), id = std::to_string(s.venue);
    std::string error;
    ASSERT_EQ(venuesim::WriteVenueArchive(venue, path, &error), 0) << error;
    const std::string members[][2] = {
        {"categories.xml", "<Categories><Category id=\"" + id + "\"><name>" + s.category + "</name></Category></Categories>"},
        {"venues.xml", "<Location id=\"" + std::to_string(s.locationId) + "\"><Sublocation id=\"" +
                           std::to_string(s.floor) + "\"><Venue id=\"" + id + "\" kx=\"0.5\" ky=\"0.5\" categoryId=\"" +
                           id + "\"/></Sublocation></Location>"}};
    zip* z = ZipOpen(path.c_str());
    for (const auto& [member, text] : members) ZipWriteBuffer(z, member.c_str(), text.data(), int(text.size()));
    ASSERT_EQ(ZipClose(z), 0);
    c.install(s.name, path);
  }
  for (int k : {0, 1, 0}) {
    const Site& s = sites[k];
    SCOPED_TRACE(s.name);
    std::optional<platform::Error> error;
    c.sdk->loadArchive(s.name, &error);
    ASSERT_FALSE(error) << error->localizedDescription;
    ASSERT_EQ(c.sdk->location()->id, s.locationId);
    EXPECT_EQ(Ids(venues->venues()), std::set<int64_t>{s.venue});
    ASSERT_EQ(categories->categories().size(), 1u);
    EXPECT_EQ(categories->categories()[0]->name, s.category);
    for (const auto& v : venues->venues()) EXPECT_EQ(v->category->name, s.category);
    for (const auto& floor : c.sdk->location()->sublocations)
      EXPECT_EQ(Ids(*floor->venues), floor->id == s.floor ? std::set<int64_t>{s.venue} : std::set<int64_t>{})
          << "floor " << floor->id;
  }
}

}  // namespace
