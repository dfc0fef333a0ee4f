// Reading property lists safely: the bytes' shape (offsets, references, nesting, counts,
// NULs in strings) is checked before libplist sees them, so cycles, bombs, deep nesting and
// strings libplist would assert on are refused instead of crashing the host or exhausting
// memory. Writing them only whole: a list whose text would not read back is not written.
// Any thread.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
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

// A list's binary or XML form; empty, with the reason, when a key or string of it is not
// valid UTF-8: the binary writer converts text to UTF-16 and cuts it at the first invalid
// byte or drops it, and XML cannot carry it. (Texts reach libplist as C strings, so a NUL
// must be refused before they are handed over.)
std::vector<uint8_t> toBinary(plist_t root, std::string* reason = nullptr);
std::vector<uint8_t> toXML(plist_t root, std::string* reason = nullptr);

}  // namespace platform::plist
