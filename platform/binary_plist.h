// Reading binary property lists safely: the bytes' shape (offsets, references,
// nesting, counts) is checked before libplist sees them, so cycles and bombs are
// refused instead of crashing or exhausting memory. Any thread.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace platform::plist {

struct Free {
  void operator()(plist_t p) const {
    if (p) plist_free(p);
  }
};
using Node = std::unique_ptr<void, Free>;

// Parses a binary property list; null for anything else (never crashes on bad bytes).
Node fromBinary(const std::vector<uint8_t>& bytes);

}  // namespace platform::plist
