#include "Foundation/marvisto_error.h"

const char* const kMarvistoErrorDomain = "com.marvisto.sdk.error";

bool MarvistoErrorIsListed(int64_t code) {
  switch (code) {
    case kMarvistoErrorDownload:
    case kMarvistoErrorArchive:
    case kMarvistoErrorInvalidArchive:
    case kMarvistoErrorBeaconOnMap:
    case kMarvistoErrorBeaconNotPlaced:
    case kMarvistoErrorInternet:
      return true;
    default:
      return false;
  }
}

platform::Error MarvistoError(int64_t code, const std::string& description) {
  return platform::Error::make(kMarvistoErrorDomain, code, description);
}
