// The SDK's own error domain and the one way to make an error in it: the
// code and its text as the localized description, no user information.
//
// The codes the SDK raises in this domain (besides the engine's positioning
// codes, passed on as the engine gives them):
//   1  "Some problems with downloading. Error: %d"   the download flow
//   2  "Archive does not exist at path: %@." and the archive member errors
//   3  "Invalid archive, some problems inside."      the engine refused a map
//   11 "  Beacon already on map"                      placement of a measured beacon
//   12 a placement that cannot be made: the measured key is malformed, or the
//      spot's floor is not part of the loaded location
//   13 "Problems with Internet connecting"            the download stalled
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

extern const char* const kMarvistoErrorDomain;

enum MarvistoErrorCode : int64_t {
  kMarvistoErrorDownload = 1,
  kMarvistoErrorArchive = 2,
  kMarvistoErrorInvalidArchive = 3,
  kMarvistoErrorBeaconOnMap = 11,
  kMarvistoErrorBeaconNotPlaced = 12,
  kMarvistoErrorInternet = 13,
};

// Whether `code` is one of the table above.
bool MarvistoErrorIsListed(int64_t code);

platform::Error MarvistoError(int64_t code, const std::string& description);
