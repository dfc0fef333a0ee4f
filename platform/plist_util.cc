#include "platform/plist_util.h"

#include "platform/text_encoding.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <fstream>
#include <iterator>

namespace platform::plist {

namespace {

uint64_t readBE(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// A string holding a NUL code unit: libplist asserts (and so aborts the host) when such a
// string or key is read back. Object kinds 0x5 (ASCII, one byte a unit) and 0x6 (UTF-16).
bool stringHoldsNul(const std::vector<uint8_t>& b, uint64_t off, uint64_t end) {
  uint8_t marker = b[off];
  unsigned kind = marker >> 4;
  if (kind != 0x5 && kind != 0x6) return false;
  uint64_t len = marker & 0x0F, pos = off + 1;
  if (len == 0x0F) {
    if (pos >= end || (b[pos] >> 4) != 0x1) return false;  // the reader refuses it itself
    unsigned width = 1u << (b[pos] & 0x0F);
    if (width > 8 || pos + 1 + width > end) return false;
    len = readBE(b.data() + pos + 1, width);
    pos += 1 + width;
  }
  unsigned unit = kind == 0x6 ? 2 : 1;
  if (len > end || pos + len * unit > end) return false;
  for (uint64_t i = 0; i < len; ++i)
    if (readBE(b.data() + pos + i * unit, unit) == 0) return true;
  return false;
}

}  // namespace

uint64_t maxExpandedNodes(size_t bytes) {
  // Honest lists share few values, so their expansion stays near their size; a reference
  // chain of a few hundred bytes expands to millions of nodes (about 260 bytes each).
  return std::min<uint64_t>(1u << 20, 65536 + 16 * uint64_t(bytes));
}

namespace {

// The reader recurses once per nesting level and expands every shared reference into a
// copy, so a crafted list nested a hundred thousand deep overflows the stack and a chain of
// doubly referenced arrays explodes in memory. This walks the object graph first, without
// recursion, and accepts it only when it is acyclic, at most kMaxDepth deep, expands to at
// most maxExpandedNodes nodes and no string holds a NUL.
bool shapeIsSafe(const std::vector<uint8_t>& b) {
  const uint64_t kMaxDepth = kMaxNestingDepth, kMaxNodes = maxExpandedNodes(b.size());
  const size_t n = b.size();
  const uint8_t* t = b.data() + n - 32;
  const unsigned offSize = t[6], refSize = t[7];
  const uint64_t count = readBE(t + 8, 8), top = readBE(t + 16, 8), table = readBE(t + 24, 8);
  if (offSize < 1 || offSize > 8 || refSize < 1 || refSize > 8) return false;
  if (count == 0 || count > n || top >= count || table < 8 || table > n - 32 ||
      count * offSize > n - 32 - table)
    return false;
  auto offsetOf = [&](uint64_t i) { return readBE(b.data() + table + i * offSize, offSize); };
  // The child references of object i (empty for scalars); false when out of bounds.
  auto children = [&](uint64_t i, std::vector<uint64_t>* out) {
    out->clear();
    uint64_t off = offsetOf(i);
    if (off < 8 || off >= table) return false;
    if (stringHoldsNul(b, off, table)) return false;
    uint8_t marker = b[off];
    unsigned kind = marker >> 4;
    if (kind != 0xA && kind != 0xC && kind != 0xD) return true;
    uint64_t len = marker & 0x0F, pos = off + 1;
    if (len == 0x0F) {
      if (pos >= table || (b[pos] >> 4) != 0x1) return false;
      unsigned width = 1u << (b[pos] & 0x0F);
      if (width > 8 || pos + 1 + width > table) return false;
      len = readBE(b.data() + pos + 1, width);
      pos += 1 + width;
    }
    uint64_t refs = kind == 0xD ? len * 2 : len;
    if (len > n || pos + refs * refSize > table) return false;
    for (uint64_t r = 0; r < refs; ++r) {
      uint64_t c = readBE(b.data() + pos + r * refSize, refSize);
      if (c >= count) return false;
      out->push_back(c);
    }
    return true;
  };
  // Iterative post-order walk: state 0 unseen, 1 on the path, 2 done.
  std::vector<uint8_t> state(count, 0);
  std::vector<uint64_t> height(count, 0), size(count, 0);
  struct Frame {
    uint64_t obj;
    std::vector<uint64_t> kids;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  auto push = [&](uint64_t o) {
    Frame f{o, {}};
    if (!children(o, &f.kids)) return false;
    state[o] = 1;
    stack.push_back(std::move(f));
    return stack.size() <= kMaxDepth;
  };
  if (!push(top)) return false;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.kids.size()) {
      uint64_t c = f.kids[f.next++];
      if (state[c] == 1) return false;  // a cycle
      if (state[c] == 0 && !push(c)) return false;
      continue;
    }
    uint64_t h = 1, sz = 1;
    for (uint64_t c : f.kids) {
      h = std::max(h, height[c] + 1);
      sz += size[c];
      if (sz > kMaxNodes) return false;
    }
    if (h > kMaxDepth) return false;
    height[f.obj] = h;
    size[f.obj] = sz;
    state[f.obj] = 2;
    stack.pop_back();
  }
  return true;
}

}  // namespace

Node fromBinary(const std::vector<uint8_t>& bytes) {
  // The reader needs at least the 8-byte header and the 32-byte trailer.
  if (bytes.size() < 40 || bytes.size() > UINT32_MAX) return nullptr;
  if (std::string(bytes.begin(), bytes.begin() + 6) != "bplist") return nullptr;
  if (!shapeIsSafe(bytes)) return nullptr;
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bytes.data()), uint32_t(bytes.size()), &root);
  return Node(root);
}

namespace {

// The deepest nesting of elements, counted without parsing: comments, processing
// instructions, declarations and CDATA sections are skipped; an element that closes itself
// adds nothing. Text outside tags cannot open an element, so this bounds what libplist builds.
size_t xmlDepth(const std::vector<uint8_t>& b) {
  size_t depth = 0, deepest = 0, i = 0, n = b.size();
  auto skipPast = [&](const char* end) {
    std::string_view tail(reinterpret_cast<const char*>(b.data()) + i, n - i);
    size_t at = tail.find(end);
    i = at == std::string_view::npos ? n : i + at + std::strlen(end);
  };
  while (i < n) {
    if (b[i] != '<') {
      ++i;
      continue;
    }
    std::string_view rest(reinterpret_cast<const char*>(b.data()) + i, n - i);
    if (rest.rfind("<!--", 0) == 0) skipPast("-->");
    else if (rest.rfind("<![CDATA[", 0) == 0) skipPast("]]>");
    else if (rest.rfind("<?", 0) == 0) skipPast("?>");
    else if (rest.rfind("<!", 0) == 0) skipPast(">");
    else if (rest.rfind("</", 0) == 0) {
      if (depth) --depth;
      skipPast(">");
    } else {
      size_t close = rest.find('>');
      if (close == std::string_view::npos) break;
      if (rest[close - 1] != '/') deepest = std::max(deepest, ++depth);
      i += close + 1;
    }
  }
  return deepest;
}

}  // namespace

Node fromXML(const std::vector<uint8_t>& bytes) {
  if (bytes.empty() || bytes.size() > UINT32_MAX) return nullptr;
  // XML allows no NUL, raw or as a reference (libplist refuses the reference itself).
  if (std::find(bytes.begin(), bytes.end(), 0) != bytes.end()) return nullptr;
  if (xmlDepth(bytes) > kMaxNestingDepth) return nullptr;
  plist_t root = nullptr;
  plist_from_xml(reinterpret_cast<const char*>(bytes.data()), uint32_t(bytes.size()), &root);
  return Node(root);
}

namespace {

// Why a list cannot be written whole, or null.
const char* textFault(plist_t root) {
  std::vector<plist_t> pending{root};
  while (!pending.empty()) {
    plist_t node = pending.back();
    pending.pop_back();
    switch (plist_get_node_type(node)) {
      case PLIST_STRING: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (text && !isUTF8(std::string_view(text, length))) return "a string is not valid UTF-8";
        break;
      }
      case PLIST_ARRAY:
        for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
          pending.push_back(plist_array_get_item(node, i));
        break;
      case PLIST_DICT: {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        const char* fault = nullptr;
        for (;;) {
          char* key = nullptr;
          plist_t item = nullptr;
          plist_dict_next_item(node, it, &key, &item);
          if (!key) break;
          if (!isUTF8(key)) fault = "a key is not valid UTF-8";
          free(key);
          if (fault) break;
          pending.push_back(item);
        }
        free(it);
        if (fault) return fault;
        break;
      }
      default:
        break;
    }
  }
  return nullptr;
}

std::vector<uint8_t> write(plist_t root, bool binary, std::string* reason) {
  if (const char* fault = textFault(root)) {
    if (reason) *reason = fault;
    return {};
  }
  char* out = nullptr;
  uint32_t len = 0;
  if (binary) plist_to_bin(root, &out, &len); else plist_to_xml(root, &out, &len);
  std::vector<uint8_t> v;
  if (out) {
    v.assign(out, out + len);
    if (binary) plist_to_bin_free(out); else plist_to_xml_free(out);
  }
  if (v.empty() && reason) *reason = "property list could not be written";
  return v;
}

}  // namespace

std::vector<uint8_t> toBinary(plist_t root, std::string* reason) { return write(root, true, reason); }

std::vector<uint8_t> toXML(plist_t root, std::string* reason) { return write(root, false, reason); }

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
