#include "MCModels/mc_description.h"

#include <cstdarg>
#include <cstdio>

std::string MCFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, again);
    out.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

std::string MCObjectDescription(const char* className, const void* object) {
  return MCFormat("<%s: %p>", className, object);
}

std::string MCListDescription(const std::vector<std::string>& items) {
  std::string out = "(\n";
  for (size_t i = 0; i < items.size(); ++i) {
    out += "    " + items[i] + (i + 1 < items.size() ? ",\n" : "\n");
  }
  return out + ")";
}
