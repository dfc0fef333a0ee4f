/// @file
/// The SDK's error value: a domain, an integer code, a localized description, an optional
/// underlying error and a user-info map. Errors are plain values, safe to copy between threads.
/// Functions that can fail take a `std::optional<Error>* error` out-parameter: null means the
/// caller wants no error; it is filled only on failure (never reset on success).
#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace platform {

/// Dynamic values keyed by name (error user info, notification user info).
using UserInfo = std::map<std::string, std::any>;

/// An error: what failed (domain and code) and why, in words.
struct Error {
  std::string domain;                ///< Which part of the system raised it.
  int64_t code = 0;                  ///< The code within the domain.
  std::string localizedDescription;  ///< The text to show or log.
  /// The error that caused this one; null: none.
  std::shared_ptr<const Error> underlyingError;
  UserInfo userInfo;                 ///< Further values; empty for the SDK's own errors.

  /// An error with the given fields and no underlying error.
  static Error make(std::string domain, int64_t code, std::string description = {},
                    UserInfo userInfo = {});
  /// "Error Domain=<domain> Code=<code> \"<description>\"", the text form used in logs.
  std::string description() const;
};

/// Stores `e` into `*out` when the caller asked for an error (out != null).
void setError(std::optional<Error>* out, Error e);

}  // namespace platform
