// config.xml: the location, its floors with their files, sizes and GPS binding.
#pragma once

#include <string>

#include "venuesim/venue.h"

namespace venuesim {

std::string ConfigXml(const Venue& venue);

}  // namespace venuesim
