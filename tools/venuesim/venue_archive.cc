#include "venuesim/venue_archive.h"

#include "venuesim/beacons_xml.h"
#include "venuesim/config_xml.h"
#include "venuesim/floor_bitmap.h"
#include "venuesim/floor_image.h"
#include "venuesim/gp_xml.h"
#include "venuesim/measure_xml.h"
#include "venuesim/navigation_xml.h"
#include "venuesim/route_layout.h"

namespace venuesim {

int BuildArchiveMembers(const Venue& venue, std::vector<ArchiveMember>* members, std::string* error) {
  members->clear();
  if (venue.floors.empty()) {
    if (error) *error = "the venue has no floors";
    return kEncodeError;
  }
  members->push_back({"config.xml", ConfigXml(venue)});
  members->push_back({"navigation.xml", NavigationXml(venue)});
  members->push_back({"beacons.xml", BeaconsXml(venue)});
  members->push_back({"measure.xml", MeasureXml(venue)});
  members->push_back({"gp.xml", GpXml(venue)});
  for (const VenueFloor& floor : venue.floors) {
    members->push_back({Venue::BitmapName(floor.id), EncodeFloorBitmap(floor.grid)});
    ArchiveMember image{Venue::ImageName(floor.id), {}};
    const int code = RenderFloorImage(venue.setup, floor, &image.data, error);
    if (code != kOk) return code;
    members->push_back(std::move(image));
  }
  AppendRouteMembers(venue, members);
  members->push_back({"version.txt", std::to_string(venue.setup.version)});
  return kOk;
}

int WriteVenueArchive(const Venue& venue, const std::string& path, std::string* error) {
  std::vector<ArchiveMember> members;
  const int code = BuildArchiveMembers(venue, &members, error);
  if (code != kOk) return code;
  return WriteZipArchive(path, members, error);
}

}  // namespace venuesim
