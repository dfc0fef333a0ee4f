#include "platform/error.h"

namespace platform {

Error Error::make(std::string domain, int64_t code, std::string description, UserInfo userInfo) {
  Error e;
  e.domain = std::move(domain);
  e.code = code;
  e.localizedDescription = std::move(description);
  e.userInfo = std::move(userInfo);
  return e;
}

std::string Error::description() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
         localizedDescription + "\"";
}

void setError(std::optional<Error>* out, Error e) {
  if (out) *out = std::move(e);
}

}  // namespace platform
