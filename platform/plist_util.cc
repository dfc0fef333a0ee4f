#include "platform/plist_util.h"

#include <cmath>
#include <fstream>
#include <iterator>

namespace platform::plist {

Node fromBinary(const std::vector<uint8_t>& bytes) {
  // The reader needs at least the 8-byte header and the 32-byte trailer.
  if (bytes.size() < 40 || bytes.size() > UINT32_MAX) return nullptr;
  if (std::string(bytes.begin(), bytes.begin() + 6) != "bplist") return nullptr;
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bytes.data()), uint32_t(bytes.size()), &root);
  return Node(root);
}

std::vector<uint8_t> toBinary(plist_t root) {
  char* out = nullptr;
  uint32_t len = 0;
  plist_to_bin(root, &out, &len);
  std::vector<uint8_t> v;
  if (out) {
    v.assign(out, out + len);
    plist_to_bin_free(out);
  }
  return v;
}

std::optional<std::string> string(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t len = 0;
  const char* p = plist_get_string_ptr(node, &len);
  if (!p) return std::string();
  return std::string(p, len);
}

std::optional<std::vector<uint8_t>> data(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
  uint64_t len = 0;
  const char* p = plist_get_data_ptr(node, &len);
  if (!p) return std::vector<uint8_t>();
  return std::vector<uint8_t>(p, p + len);
}

std::optional<int64_t> integer(plist_t node) {
  if (!node) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return int64_t(v);  // negative values travel in two's complement
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      if (!(d > -9.2e18 && d < 9.2e18)) return 0;
      return int64_t(d);
    }
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return b ? 1 : 0;
    }
    default:
      return std::nullopt;
  }
}

std::optional<double> number(plist_t node) {
  if (!node) return std::nullopt;
  if (plist_get_node_type(node) == PLIST_REAL) {
    double d = 0;
    plist_get_real_val(node, &d);
    return d;
  }
  auto i = integer(node);
  if (!i) return std::nullopt;
  return double(*i);
}

plist_t newInteger(int64_t v) { return plist_new_uint(uint64_t(v)); }

plist_t newData(const std::vector<uint8_t>& bytes) {
  return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<uint8_t> readFile(const std::string& path, bool* missing) {
  std::ifstream in(path, std::ios::binary);
  if (missing) *missing = !in;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace platform::plist
