// Fuzz target for the Palm database reader: any bytes as a .pdb or .prc file.
//
// Every input is either refused with a reason, or read into a database that
// writes out as a file which reads back to the same bytes again (dates
// aside, see below). Built for
// libFuzzer with -DGWSYNC_FUZZ=ON (clang); the test suite runs the same
// function over seeded mutations (hotsync/pdb/tests/pdb_fuzz_test.cpp).
#include <cstdint>
#include <string>

#include "hotsync/pdb/pdb.h"

namespace {
void check(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  palm::Database db;
  std::string why;
  if (!palm::parseDatabase(input, db, &why)) {
    check(!why.empty());
    return 0;
  }
  const std::string once = palm::serializeDatabase(db);
  palm::Database again;
  check(palm::parseDatabase(once, again, &why));
  // Dates before 1972 counted from 1904 look like 1970-based ones and move
  // on every reading; everything else must come back byte for byte.
  again.created = db.created;
  again.modified = db.modified;
  again.backedUp = db.backedUp;
  check(palm::serializeDatabase(again) == once);
  if (db.appInfo) {
    palm::CategoryBlock block;
    if (palm::parseCategoryBlock(*db.appInfo, block)) {
      std::string copy = *db.appInfo;
      palm::storeCategoryBlock(block, copy);
      check(copy.size() == db.appInfo->size());
    }
  }
  return 0;
}
