#include "venuesim/generator.h"

#include <cctype>
#include <cstdio>

#include "venuesim/layout.h"
#include "venuesim/placement.h"
#include "venuesim/propagation.h"
#include "venuesim/rng.h"
#include "venuesim/route_layout.h"
#include "venuesim/survey.h"

namespace venuesim {
namespace {

constexpr uint64_t kPlanTag = 0x504C414EULL;
constexpr uint64_t kBeaconTag = 0x4245414BULL;
constexpr uint64_t kUuidTag = 0x55554944ULL;

}  // namespace

std::string VenueUuid(const VenueSpec& setup) {
  if (!setup.uuid.empty()) {
    std::string u = setup.uuid;
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
  }
  Rng rng(DeriveSeed(setup.seed, {kUuidTag}));
  const uint64_t hi = rng.nextU64(), lo = rng.nextU64();
  char buf[40];
  // Version 4 / variant 1 layout, so it reads as an ordinary random UUID.
  std::snprintf(buf, sizeof buf, "%08X-%04X-4%03X-%04X-%012llX", static_cast<unsigned>(hi >> 32),
                static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0x0FFF),
                static_cast<unsigned>(0x8000 | ((lo >> 48) & 0x3FFF)),
                static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFULL));
  return buf;
}

int GenerateLayout(const VenueSpec& setup, Venue* venue, std::string* error) {
  if (!venue) {
    if (error) *error = "no venue to fill";
    return kBadSpec;
  }
  *venue = Venue();
  const int code = ValidateSpec(setup, error);
  if (code != kOk) return code;
  venue->setup = setup;
  venue->uuid = VenueUuid(setup);
  for (int f = 0; f < setup.floors; ++f) {
    VenueFloor floor;
    floor.id = f + 1;
    floor.name = "Floor " + std::to_string(f + 1);
    Rng planRng(DeriveSeed(setup.seed, {kPlanTag, static_cast<uint64_t>(f)}));
    BuildFloorPlan(setup, planRng, floor);
    Rng beaconRng(DeriveSeed(setup.seed, {kBeaconTag, static_cast<uint64_t>(f)}));
    PlaceBeacons(setup, f, venue->uuid, beaconRng, floor);
    PlaceReferencePoints(setup, floor);
    venue->floors.push_back(std::move(floor));
  }
  BuildVenueRoutes(venue);
  if (error) error->clear();
  return kOk;
}

int GenerateVenue(const VenueSpec& setup, Venue* venue, std::string* error) {
  const int code = GenerateLayout(setup, venue, error);
  if (code != kOk) return code;
  const PropagationModel model(*venue);
  SimulateSurvey(model, *venue);
  return kOk;
}

}  // namespace venuesim
