#include "networking/property_list.h"

#include "platform/binary_plist.h"

#include <plist/plist.h>

#include <algorithm>

#include <limits>
#include <memory>

namespace {

using PlistPtr = std::unique_ptr<void, void (*)(plist_t)>;
constexpr double kSecondsFrom1970To2001 = 978307200.0;

// libplist takes keys and strings as C strings, so one holding a NUL would be written cut
// short (and its reader refuses NULs): such values have no property-list form here.
bool holdsNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// None when `v` cannot be written; `reason` then tells why.
plist_t toPlist(const nlohmann::json& v, std::string* reason) {
  switch (v.type()) {
    case nlohmann::json::value_t::object: {
      plist_t d = plist_new_dict();
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (holdsNul(it.key())) {
          *reason = "a key holds a NUL character";
          plist_free(d);
          return nullptr;
        }
        plist_t item = toPlist(it.value(), reason);
        if (!item) { plist_free(d); return nullptr; }
        plist_dict_set_item(d, it.key().c_str(), item);
      }
      return d;
    }
    case nlohmann::json::value_t::array: {
      plist_t a = plist_new_array();
      for (const auto& e : v) {
        plist_t item = toPlist(e, reason);
        if (!item) { plist_free(a); return nullptr; }
        plist_array_append_item(a, item);
      }
      return a;
    }
    case nlohmann::json::value_t::string: {
      const auto& text = v.get_ref<const std::string&>();
      if (holdsNul(text)) {
        *reason = "a string holds a NUL character";
        return nullptr;
      }
      return plist_new_string(text.c_str());
    }
    case nlohmann::json::value_t::boolean: return plist_new_bool(v.get<bool>());
    case nlohmann::json::value_t::number_integer: return plist_new_uint(static_cast<uint64_t>(v.get<int64_t>()));
    case nlohmann::json::value_t::number_unsigned: return plist_new_uint(v.get<uint64_t>());
    case nlohmann::json::value_t::number_float: return plist_new_real(v.get<double>());
    case nlohmann::json::value_t::binary: {
      const auto& b = v.get_binary();
      return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
    }
    default:  // null has no property-list form
      *reason = "value has no property-list form";
      return nullptr;
  }
}

bool toJSON(plist_t p, nlohmann::json& out, int depth) {
  if (depth > static_cast<int>(platform::plist::kMaxNestingDepth)) return false;
  switch (plist_get_node_type(p)) {
    case PLIST_DICT: {
      out = nlohmann::json::object();
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(p, &it);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(p, it, &key, &item);
        if (!key) break;
        std::string k = key;
        free(key);
        if (!toJSON(item, out[k], depth + 1)) { free(it); return false; }
      }
      free(it);
      return true;
    }
    case PLIST_ARRAY: {
      out = nlohmann::json::array();
      for (uint32_t i = 0, n = plist_array_get_size(p); i < n; ++i)
        if (!toJSON(plist_array_get_item(p, i), out.emplace_back(), depth + 1)) return false;
      return true;
    }
    case PLIST_STRING: {
      // The reader refused strings holding a NUL; the length is taken as stored all the same.
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(p, &length);
      out = s ? std::string(s, length) : std::string();
      return true;
    }
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(p, &b);
      out = b != 0;
      return true;
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(p, &u);
      if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) out = u; else out = static_cast<int64_t>(u);
      return true;
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(p, &d);
      out = d;
      return true;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(p, &sec, &usec);
      out = kSecondsFrom1970To2001 + sec + usec / 1e6;
      return true;
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t n = 0;
      plist_get_data_val(p, &d, &n);
      out = nlohmann::json::binary(std::vector<uint8_t>(d, d + n));
      free(d);
      return true;
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(p, &u);
      out = u;
      return true;
    }
    default: return false;
  }
}

}  // namespace

std::optional<Data> MCPropertyListDataWithJSON(const nlohmann::json& value, unsigned long format, std::string* reason) {
  std::string why;
  PlistPtr root(toPlist(value, &why), plist_free);
  if (!root) {
    if (reason) *reason = why;
    return std::nullopt;
  }
  Data data = format == 200 ? platform::plist::toBinary(root.get(), &why)
                            : platform::plist::toXML(root.get(), &why);
  if (data.empty()) {
    if (reason) *reason = why;
    return std::nullopt;
  }
  return data;
}

std::optional<nlohmann::json> MCPropertyListJSONWithData(const Data& data, std::string* reason) {
  plist_t root = nullptr;
  static const std::string binaryMagic = "bplist00";
  if (data.size() >= binaryMagic.size() && std::equal(binaryMagic.begin(), binaryMagic.end(), data.begin())) {
    // Binary lists go through the platform's reader, which refuses cycles and bombs first.
    root = platform::plist::fromBinary(data).release();
  } else {
    root = platform::plist::fromXML(data).release();
  }
  if (!root) {
    if (reason) *reason = "The data couldn't be read because it isn't in the correct format.";
    return std::nullopt;
  }
  PlistPtr guard(root, plist_free);
  nlohmann::json out;
  if (!toJSON(root, out, 0)) {
    if (reason) *reason = "The data couldn't be read because it isn't in the correct format.";
    return std::nullopt;
  }
  return out;
}
