// Small libplist helpers shared by the keychain and the keyed archiver (internal).
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
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
std::vector<uint8_t> toBinary(plist_t root);

std::optional<std::string> string(plist_t node);         // a string node's text
std::optional<std::vector<uint8_t>> data(plist_t node);  // a data node's bytes
std::optional<double> number(plist_t node);              // integer, real or boolean
std::optional<int64_t> integer(plist_t node);            // integer, real (toward zero), boolean

plist_t newInteger(int64_t v);
plist_t newData(const std::vector<uint8_t>& bytes);

std::vector<uint8_t> readFile(const std::string& path, bool* missing = nullptr);

}  // namespace platform::plist
