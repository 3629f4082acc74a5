// Seeded damage for the tests that run a fuzz target in every build: the same
// inputs each run, so a failure names bytes that reproduce it.
//
//   std::mt19937 random(20261207);
//   std::string bytes = testutil::damage(seed, random, ",\"\r\n0123456789", 4);
#pragma once

#include <algorithm>
#include <random>
#include <string>

namespace testutil {

// Applies 1 to maxEdits edits to bytes: a character of the alphabet inserted
// or written over one, a run of up to 8 bytes erased, or the text cut short.
inline std::string damage(std::string bytes, std::mt19937& random, const std::string& alphabet, int maxEdits) {
  int edits = 1 + static_cast<int>(random() % static_cast<unsigned>(maxEdits));
  for (int e = 0; e < edits; ++e) {
    size_t at = bytes.empty() ? 0 : random() % (bytes.size() + 1);
    char c = alphabet[random() % alphabet.size()];
    switch (random() % 4) {
      case 0: bytes.insert(at, 1, c); break;
      case 1:
        if (at < bytes.size()) bytes[at] = c;
        break;
      case 2:
        if (at < bytes.size()) bytes.erase(at, 1 + random() % 8);
        break;
      default: bytes.resize(std::min(bytes.size(), at)); break;
    }
  }
  return bytes;
}

}  // namespace testutil
