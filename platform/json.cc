#include "platform/json.h"

#include <cmath>
#include <cstdlib>

namespace platform::json {
namespace {

bool parseNumber(const std::string& s, double* out) {
  if (s.empty()) return false;
  const char* b = s.c_str();
  char* e = nullptr;
  double d = std::strtod(b, &e);
  while (e && (*e == ' ' || *e == '\t')) ++e;
  if (e == b || (e && *e) || !std::isfinite(d)) return false;
  *out = d;
  return true;
}

}  // namespace

std::optional<Value> parse(std::string_view text) {
  Value v = Value::parse(text.begin(), text.end(), nullptr, false);
  if (v.is_discarded()) return std::nullopt;
  return v;
}

const Value* member(const Value& v, std::string_view key) {
  if (!v.is_object()) return nullptr;
  auto it = v.find(key);
  if (it == v.end() || it->is_null()) return nullptr;
  return &*it;
}

bool has(const Value& v, std::string_view key) { return member(v, key) != nullptr; }

double asNumber(const Value* v) {
  if (!v) return 0;
  if (v->is_number()) return v->get<double>();
  if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
  double d;
  if (v->is_string() && parseNumber(v->get_ref<const std::string&>(), &d)) return d;
  return 0;
}

int64_t asInteger(const Value* v) {
  if (!v) return 0;
  if (v->is_number_integer()) return v->get<int64_t>();
  if (v->is_number_unsigned()) return int64_t(v->get<uint64_t>());
  double d = asNumber(v);
  if (!(d > -9.2e18 && d < 9.2e18)) return 0;  // NaN or out of range
  return int64_t(d);                            // toward zero
}

bool asBoolean(const Value* v) {
  if (!v) return false;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number()) return v->get<double>() != 0;
  if (v->is_string()) {
    const auto& s = v->get_ref<const std::string&>();
    if (s == "true" || s == "yes" || s == "YES" || s == "TRUE" || s == "True") return true;
    double d;
    return parseNumber(s, &d) && d != 0;
  }
  return false;
}

std::string asString(const Value* v) {
  if (!v) return {};
  if (v->is_string()) return v->get<std::string>();
  if (v->is_number_integer()) return std::to_string(v->get<int64_t>());
  if (v->is_number_unsigned()) return std::to_string(v->get<uint64_t>());
  if (v->is_number() || v->is_boolean()) return v->dump();
  return {};
}

int64_t integer(const Value& v, std::string_view key) { return asInteger(member(v, key)); }
double number(const Value& v, std::string_view key) { return asNumber(member(v, key)); }
bool boolean(const Value& v, std::string_view key) { return asBoolean(member(v, key)); }
std::string string(const Value& v, std::string_view key) { return asString(member(v, key)); }

}  // namespace platform::json
