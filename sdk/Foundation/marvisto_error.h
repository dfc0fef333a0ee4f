/// @file
/// The SDK's own error domain and the one way to make an error in it: the
/// code and its text as the localized description, no user information.
///
/// Every code a host meets, where it arrives, what it means and what to do.
/// The download's fail block, `beaconFounded` and the calls with an error
/// argument deliver the SDK's own codes (`MarvistoErrorCode`, 1 to 13);
/// `MarvistoCore::deviceInfo()`'s `error` carries the engine's positioning
/// codes after a tick that placed nobody (the position fields keep their last
/// values); code 1's description ends with the download job's own code N
/// ("Some problems with downloading. Error: N"), which the loader functions
/// (`checkLocationLoader`) also return as the job's state.
///
/// | Code | Arrives | Meaning | What the host should do |
/// |---|---|---|---|
/// | 1 | download fail block (the process block then gets -1) | the download job failed; N, below, says why | act on N; a local copy, if there was one, stays loaded |
/// | 2 | `loadArchiveByName`, `loadArchiveById`, the download fail block, `_saveBeaconsXML` | "Archive does not exist at path: PATH.", or a member of the archive is missing, larger than 64 MiB, shorter than its header says or cannot be written | download the location first; with a local copy, download it again |
/// | 3 | `loadArchiveByName`, `loadArchiveById`, the download fail block | "Invalid archive, some problems inside.": the engine refused the map; after a download the previous archive stays and navigation goes on | keep the local copy; report the location to whoever publishes it |
/// | 11 | `beaconFounded` | "  Beacon already on map" | nothing: the beacon is placed |
/// | 12 | `beaconFounded` | the measured key is malformed or the spot's floor is not in the loaded location | measure again on a floor of the loaded location |
/// | 13 | download fail block | "Problems with Internet connecting": the job made no progress for 8 s and was stopped (the kit's log then holds -1080, the stop). A server that never answers ends so, and so does a server name that does not resolve: the transfer keeps asking the resolver until the stop | retry when the network is back; check the server address |
/// | 4 | `deviceInfo()->error` | "No solution": too few of the venue's beacons heard to place the phone | wait (the first fix takes a few seconds of walking); check that Bluetooth is on and the phone is in the venue |
/// | 9 | `deviceInfo()->error` | no floor could be decided | as for 4 |
/// | 10, 25 | `deviceInfo()->error` | a floor bitmap (10) or an archive member (25) is broken | load another copy of the location |
/// | 7, 8 | `deviceInfo()->error` | "No sublocations": the location loaded without an error, but the engine's map check left no floor to position on: 8 when no floor has a beacon (the venue's method places by beacons: zone, trilateration, Gaussian processes in normal mode), 7 when every floor has fewer than 3 reference points (the other methods); every tick fails so until another location is loaded. A map that turns its GPS fallback on (`Use_gps`) places by GPS instead while a fix is at hand, else gives 4 | load another copy of the location; report the location to whoever publishes it |
/// | 30 | nowhere | a map without any floor: the load refuses it with 3, so no tick reports 30 | as for 3 |
/// | 31 | `deviceInfo()->error` | "NULL client": no location is loaded, or `stopMarvisto` let go of it; every tick fails so, also after a later `startMarvisto`, until a location is loaded again | load the location (`loadArchiveById`, a download), then call `startMarvisto` |
/// | 33 | `deviceInfo()->error` | "Bad message time": the device clock gave a time the engine cannot use | check the device clock |
/// | N = -1090 | code 1's description, a loader's state | the server lists no location with that id or name for this user hash | check the location id and the user hash |
/// | N = -1120 | as above | the server address (`initWithUserHash`, `setServer`) is no `http://` or `https://` address with a host, or holds a space or a control character ("127.0.0.1:8080" without its `http://`, say) | give the server as `http://host:port` or `https://host:port` |
/// | "Upload failed: invalid url: ADDRESS" | the kit's log only (level 1, which the default level keeps), at each try of the message queue (`startSendingPostRequests`); no code arrives anywhere, and -1110 never does: the queue checks the address before it posts | the same as -1120, for the queue's posts to the server address; the queue keeps its lines and tries again 1 s later, the delay doubling up to 60 s | as for -1120 |
/// | N = -1130 | code 1's description, a loader's state | the server cannot be reached: the connection was refused or there is no route to it (a server name that does not resolve, or a server that never answers, gives 13 instead) | retry later; check the server address |
/// | N = -1140 to -1180 | as above | the connection failed or timed out (31 s without a byte) while receiving or sending; in a download a stalled transfer meets the 8 s rule first and ends with 13 | retry |
/// | N = -1190 to -1250 | as above | TLS failed: handshake, set-up, the certificate list, the server's certificate not trusted (-1230), reading or writing | check the server's certificate and the device clock; do not retry blindly |
/// | N = -1050, -1060, -1070, -1260, -1270 | as above | the reply was malformed: header, chunks, gzip, larger than 1 GiB, or cut short | retry; report the server if it persists |
/// | N = -1010 to -1040 | as above | the device's files: a socket option, a folder or the download file could not be made or written (a full disk among them) | free space on the device, then retry |
/// | N = -1080 | as above | the transfer was stopped | nothing: the host or the kit stopped it |
/// | N = -1 | as above | the job is gone: it was stopped and forgotten before it ended | download again if the host still wants the location |
/// | N = -1100, -1280, -1501 | as above | the request was empty or held a value a request cannot carry (a line break in the user hash, a server address over 255 characters) | check the user hash, the server address and the location name |
/// | N = minus 400 to 599 | as above | the server answered with that HTTP status | 401 or 403: check the user hash; 404: the location; 5xx: retry later |
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

/// Whether `code` is one of the SDK's own codes (`MarvistoErrorCode`).
bool MarvistoErrorIsListed(int64_t code);

/// An error in the SDK's domain with `code` and `description` as its text.
platform::Error MarvistoError(int64_t code, const std::string& description);
