#include "MCModels/mc_json.h"

#include <cmath>
#include <limits>

const nlohmann::json* MCJSONMember(const nlohmann::json& object, const std::string& key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<int64_t> MCJSONInteger(const nlohmann::json* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  if (value->is_number_unsigned()) {
    const uint64_t u = value->get<uint64_t>();
    return u > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                               : int64_t(u);
  }
  if (value->is_number_integer()) return value->get<int64_t>();
  if (value->is_number_float()) {
    const double d = value->get<double>();
    if (std::isnan(d)) return std::nullopt;
    if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return int64_t(d);
  }
  return std::nullopt;
}

std::optional<double> MCJSONDouble(const nlohmann::json* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  if (value->is_number()) return value->get<double>();
  return std::nullopt;
}

std::optional<bool> MCJSONBool(const nlohmann::json* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number()) return value->get<double>() != 0;
  return std::nullopt;
}

std::optional<std::string> MCJSONText(const nlohmann::json* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

const nlohmann::json* MCJSONObject(const nlohmann::json& object, const std::string& key) {
  const nlohmann::json* v = MCJSONMember(object, key);
  return v != nullptr && v->is_object() ? v : nullptr;
}

const nlohmann::json* MCJSONArray(const nlohmann::json& object, const std::string& key) {
  const nlohmann::json* v = MCJSONMember(object, key);
  return v != nullptr && v->is_array() ? v : nullptr;
}
