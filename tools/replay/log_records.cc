#include "replay/log_records.h"

namespace replay {
namespace {

constexpr std::string_view kDeclaration = "<?xml";
constexpr std::string_view kMessage = "<message";
constexpr std::string_view kMessageEnd = "</message>";

bool IsBlank(std::string_view s) {
  for (char c : s) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

// A "<message" that is a start tag of that name, not "<messages" or similar.
size_t FindMessageTag(std::string_view s, size_t from) {
  while (true) {
    const size_t p = s.find(kMessage, from);
    if (p == std::string_view::npos) return p;
    const size_t after = p + kMessage.size();
    if (after >= s.size()) return std::string_view::npos;
    const char c = s[after];
    if (c == '>' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/') return p;
    from = after;
  }
}

}  // namespace

LogRecords SplitLogRecords(std::string_view text) {
  LogRecords out;
  // Chunks start at each declaration; text before the first one is a chunk
  // of its own (a log written without declarations is one chunk).
  std::vector<size_t> starts{0};
  for (size_t p = text.find(kDeclaration); p != std::string_view::npos; p = text.find(kDeclaration, p + 1)) {
    if (p != 0) starts.push_back(p);
  }
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
    const std::string_view chunk = text.substr(starts[i], end - starts[i]);
    size_t m = FindMessageTag(chunk, 0);
    if (m == std::string_view::npos) {
      if (!IsBlank(chunk)) ++out.empty;
      continue;
    }
    // Within one chunk every further message start begins another record, so
    // a message cut short cannot swallow the one after it.
    size_t recordStart = 0;
    while (true) {
      const size_t next = FindMessageTag(chunk, m + kMessage.size());
      size_t recordEnd = next == std::string_view::npos ? chunk.size() : next;
      // Whatever a recorder left after the closing tag (a stray line, a
      // note) is not part of the message and must not spoil it.
      const size_t close = chunk.substr(0, recordEnd).find(kMessageEnd, m);
      if (close != std::string_view::npos) recordEnd = close + kMessageEnd.size();
      out.records.push_back(chunk.substr(recordStart, recordEnd - recordStart));
      if (next == std::string_view::npos) break;
      recordStart = next;
      m = next;
    }
  }
  return out;
}

}  // namespace replay
