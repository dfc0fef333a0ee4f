// Reading property lists safely: the bytes' shape (offsets, references, nesting, counts,
// NULs in strings) is checked before libplist sees them, so cycles, bombs, deep nesting and
// strings libplist would assert on are refused instead of crashing the host or exhausting
// memory. Any thread.
#pragma once

#include <plist/plist.h>

#include <cstddef>
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

// Lists nested deeper are refused: libplist builds, converts and frees them recursively.
constexpr unsigned kMaxNestingDepth = 512;
// The most nodes a binary list of `bytes` may expand to through shared references.
uint64_t maxExpandedNodes(size_t bytes);

// Parses a binary property list; null for anything else (never crashes on bad bytes). Lists
// that are cyclic, too deep, expand too far or hold a NUL in a string or key are refused.
Node fromBinary(const std::vector<uint8_t>& bytes);
// Parses an XML property list; null for anything else. Lists nested too deep or holding a
// NUL (which XML forbids) are refused before libplist sees them.
Node fromXML(const std::vector<uint8_t>& bytes);

}  // namespace platform::plist
