// Splitting a measurement log into its records. A log is a sequence of
// messages in their XML text form, each normally led by an XML declaration;
// recorders also leave blank records, a declaration without a message, or a
// message cut short when the phone stopped. Splitting never fails: it only
// finds where each record begins and ends, and parsing tells good from bad.
// A record ends at its message's closing tag; text after it is ignored.
#pragma once

#include <string_view>
#include <vector>

namespace replay {

struct LogRecords {
  std::vector<std::string_view> records;  // each holds one "<message" start tag
  int empty = 0;  // stretches between declarations with no message at all
};

// Records point into `text`, which must outlive them.
LogRecords SplitLogRecords(std::string_view text);

}  // namespace replay
