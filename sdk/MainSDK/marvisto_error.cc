#include "MainSDK/marvisto_error.h"

const char* const kMarvistoErrorDomain = "com.marvisto.sdk.error";

platform::Error MarvistoError(int64_t code, const std::string& description) {
  return platform::Error::make(kMarvistoErrorDomain, code, description);
}
