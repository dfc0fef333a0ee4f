// Seeded edits of a valid text, for the tests that feed outside input (XML
// members, messages, logs) to the parsers: bytes replaced or flipped,
// stretches cut or duplicated, tokens that upset the parser inserted, the
// tail cut off.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace testmut {

inline std::string Mutate(std::string s, std::mt19937& rng, const std::vector<std::string>& tokens,
                          int maxEdits = 3) {
  for (int e = 1 + static_cast<int>(rng() % maxEdits); e > 0; --e) {
    const size_t n = s.size();
    const size_t pos = n == 0 ? 0 : rng() % n;
    switch (rng() % 6) {
      case 0: if (n) s[pos] = static_cast<char>(rng()); break;
      case 1: if (n) s[pos] ^= static_cast<char>(1 << (rng() % 8)); break;
      case 2: s.erase(pos, 1 + rng() % 16); break;
      case 3: if (n) s.insert(pos, s.substr(rng() % n, 1 + rng() % 40)); break;
      case 4: if (!tokens.empty()) s.insert(pos, tokens[rng() % tokens.size()]); break;
      default: s.resize(pos); break;
    }
  }
  return s;
}

}  // namespace testmut
