// Reading members of the service's JSON replies: a missing member, a null
// member and a member of the wrong type all read as absent (an absent number
// as 0), so no reply, however malformed, makes a reader throw. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// The member `key` of `object`, or null when `object` is not an object, the
// member is missing or it is JSON null.
const nlohmann::json* MCJSONMember(const nlohmann::json& object, const std::string& key);
// Numbers (integers are kept exact, fractions truncate toward zero, values
// beyond the range clamp) and booleans as 0/1; anything else absent.
std::optional<int64_t> MCJSONInteger(const nlohmann::json* value);
std::optional<double> MCJSONDouble(const nlohmann::json* value);
// true/false, or a number read as its truth value; anything else absent.
std::optional<bool> MCJSONBool(const nlohmann::json* value);
std::optional<std::string> MCJSONText(const nlohmann::json* value);
// An object or array member, or null.
const nlohmann::json* MCJSONObject(const nlohmann::json& object, const std::string& key);
const nlohmann::json* MCJSONArray(const nlohmann::json& object, const std::string& key);
