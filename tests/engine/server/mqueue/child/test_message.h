// The messages the queue's fault tests write: each names its number, and its
// length varies so that cuts and merges land anywhere.
#pragma once

#include <string>

inline std::string TestMessage(int n) {
  const size_t pad = 100 + (static_cast<unsigned>(n) * 7919u) % 6000;
  return "<m n=\"" + std::to_string(n) + "\">" + std::string(pad, static_cast<char>('a' + n % 26)) + "</m>";
}
