/// @file
/// The SDK's own error domain and the one way to make an error in it: the
/// code and its text as the localized description, no user information.
///
/// The codes the SDK raises in this domain (besides the engine's positioning
/// codes, passed on as the engine gives them):
/// - 1 "Some problems with downloading. Error: %d": the download flow;
/// - 2 "Archive does not exist at path: %@." and the archive member errors;
/// - 3 "Invalid archive, some problems inside.": the engine refused a map;
/// - 11 "  Beacon already on map": placement of a measured beacon;
/// - 12 a placement that cannot be made: the measured key is malformed, or the
///   spot's floor is not part of the loaded location;
/// - 13 "Problems with Internet connecting": the download stalled.
///
/// Code 1's description ends with the download job's own code: -1090 an unknown
/// location id or name, -1130 a server that cannot be reached, -1140 to -1180 a
/// connection that failed or timed out, -1190 to -1250 TLS (-1230: a certificate
/// not trusted), -1050 to -1070 and -1260/-1270 a malformed or cut reply, -1010 to
/// -1040 the device's files (a full disk among them), -1080 a stopped transfer,
/// -1100/-1280 a request that cannot be made, and minus the HTTP status for a
/// refused request. `MarvistoCore::deviceInfo()`'s error carries the engine's
/// positioning codes: 4 "No solution" (too few beacons heard), 9 no floor decided,
/// 10 and 25 a broken floor bitmap or archive member, 30 no usable floor, 31 "NULL
/// client" (navigation stopped or no map), 33 "Bad message time". The README lists
/// what a host should do for each.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

/// The domain of the SDK's own errors.
extern const char* const kMarvistoErrorDomain;

/// The codes of the SDK's own errors.
enum MarvistoErrorCode : int64_t {
  kMarvistoErrorDownload = 1,          ///< The download job failed.
  kMarvistoErrorArchive = 2,           ///< The archive or one of its members is missing.
  kMarvistoErrorInvalidArchive = 3,    ///< The engine refused the map.
  kMarvistoErrorBeaconOnMap = 11,      ///< The measured beacon is already on the map.
  kMarvistoErrorBeaconNotPlaced = 12,  ///< The measured beacon cannot be placed.
  kMarvistoErrorInternet = 13,         ///< The download made no progress for 8 s.
};

/// Whether `code` is one of the table above.
bool MarvistoErrorIsListed(int64_t code);

/// An error in the SDK's domain with `code` and `description` as its text.
platform::Error MarvistoError(int64_t code, const std::string& description);
