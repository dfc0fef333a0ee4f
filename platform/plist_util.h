// Small libplist helpers shared by the keychain and the keyed archiver (internal).
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/binary_plist.h"

namespace platform::plist {

std::optional<std::string> string(plist_t node);         // a string node's text
std::optional<std::vector<uint8_t>> data(plist_t node);  // a data node's bytes
std::optional<double> number(plist_t node);              // integer, real or boolean
std::optional<int64_t> integer(plist_t node);            // integer, real (toward zero), boolean

plist_t newInteger(int64_t v);
plist_t newData(const std::vector<uint8_t>& bytes);

std::vector<uint8_t> readFile(const std::string& path, bool* missing = nullptr);

}  // namespace platform::plist
