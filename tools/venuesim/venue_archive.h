// The map archive of a venue: all members in their order, and writing them.
#pragma once

#include <string>
#include <vector>

#include "venuesim/venue.h"
#include "venuesim/zip_writer.h"

namespace venuesim {

// config.xml, navigation.xml, beacons.xml, measure.xml, gp.xml, every floor's
// bitmap and image, the route graph, barriers.xml, zones.xml, version.txt.
// 0, or kEncodeError with a message.
int BuildArchiveMembers(const Venue& venue, std::vector<ArchiveMember>* members, std::string* error);

// Builds the members and writes them to path. 0, or the first failure's code.
int WriteVenueArchive(const Venue& venue, const std::string& path, std::string* error);

}  // namespace venuesim
