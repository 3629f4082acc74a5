// Runs the Palm database fuzz target over seeded mutations of valid files,
// so that every CI run (and its sanitizer build) reads thousands of damaged
// databases.
#include <gtest/gtest.h>

// Records are written with designated initializers; the rest stay default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <cstdint>
#include <random>
#include <string>

#include "hotsync/pdb/pdb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> seeds() {
  palm::Database records;
  records.name = "AddressDB";
  records.type = palm::fourCC("DATA");
  records.creator = palm::fourCC("addr");
  records.appInfo = *palm::defaultAppInfo(palm::fourCC("addr"));
  records.sortInfo = "sort";
  records.records = {{.uniqueId = 1, .category = 2, .data = std::string("\0\0\0\0\0\0\0\3\0a\0b\0", 13)},
                     {.uniqueId = 2, .deleted = true, .dirty = true},
                     {.uniqueId = 3, .archived = true, .data = "kept"}};
  palm::Database resources;
  resources.name = "Saved Preferences";
  resources.attributes = palm::kDbResource;
  resources.resources = {{palm::fourCC("mail"), 1, std::string("\0\1\2\0\1\0\x0f\xa0to\0from\0subj\0", 19)}};
  return {palm::serializeDatabase(records), palm::serializeDatabase(resources)};
}

TEST(PdbFuzz, DamagedFilesAreReadWholeOrRefused) {
  std::mt19937 random(20261207);
  for (const std::string& seed : seeds()) {
    for (int round = 0; round < 3000; ++round) {
      std::string bytes = seed;
      int edits = 1 + static_cast<int>(random() % 4);
      for (int e = 0; e < edits; ++e) {
        size_t at = bytes.empty() ? 0 : random() % bytes.size();
        switch (random() % 5) {
          case 0:
            if (!bytes.empty()) bytes[at] = static_cast<char>(random());
            break;
          case 1:
            if (!bytes.empty()) bytes[at] ^= static_cast<char>(1u << (random() % 8));
            break;
          case 2: bytes.insert(at, 1 + random() % 4, static_cast<char>(random())); break;
          case 3: bytes.erase(at, 1 + random() % 8); break;
          // Header fields (offsets, count) are where damage matters most.
          default:
            if (bytes.size() > 78) bytes[32 + random() % 46] = static_cast<char>(random());
            break;
        }
      }
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
  }
}

}  // namespace
