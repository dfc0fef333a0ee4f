// The SDK's own error domain and the one way to make an error in it: the
// code and its text as the localized description, no user information.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

extern const char* const kMarvistoErrorDomain;

platform::Error MarvistoError(int64_t code, const std::string& description);
