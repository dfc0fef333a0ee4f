// Property lists <-> JSON values through libplist. Bytes map to JSON binary values, dates to
// seconds since 1970, UIDs to integers. Pure functions, safe from any thread.
#pragma once
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "networking/networking_exports.h"

// format 100: XML, 200: binary. None (with a reason) when the value cannot be written whole: a
// null, or a key or string holding a NUL character or not valid UTF-8.
std::optional<Data> MCPropertyListDataWithJSON(const nlohmann::json& value, unsigned long format, std::string* reason);
// XML or binary property lists; none (with a reason) when the bytes are no property list.
std::optional<nlohmann::json> MCPropertyListJSONWithData(const Data& data, std::string* reason);
