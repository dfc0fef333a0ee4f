// Reading JSON replies and parameters. A missing member and a null member are alike (absent);
// an absent or non-numeric number reads as 0, an absent text as "", an absent flag as false.
// Nothing here throws: wrong types read as absent. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace platform::json {

using Value = nlohmann::json;

// Parses text; none for malformed input (never throws).
std::optional<Value> parse(std::string_view text);

// The member `key` of an object, or null when `v` is no object or the member is missing/null.
const Value* member(const Value& v, std::string_view key);
bool has(const Value& v, std::string_view key);

// Numbers also accept numeric texts and booleans (as 1/0); texts accept numbers (their
// decimal form); flags accept numbers (non-zero) and the texts "true"/"yes"/"1".
int64_t integer(const Value& v, std::string_view key);
double number(const Value& v, std::string_view key);
bool boolean(const Value& v, std::string_view key);
std::string string(const Value& v, std::string_view key);

// Same conversions on a value itself (absent/null -> 0, "", false).
int64_t asInteger(const Value* v);
double asNumber(const Value* v);
bool asBoolean(const Value* v);
std::string asString(const Value* v);

}  // namespace platform::json
