// Runs the commit fuzz target over seeded mutations of valid commit bodies of
// every page, so that every CI run (and its sanitizer build) tries a few
// thousand damaged commits against a real database.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "testutil/mutate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
namespace gwfuzz {
extern int applied;
extern int refused;
}  // namespace gwfuzz

namespace {

// The first character picks the page (its value modulo 7).
const char* const kSeeds[] = {
    "\x00page=SyncMemo&label=P&i=0&n=a&d=b%0Ac&s=1&i=0&rt=ts.-1&i=5&s=9",
    "\x01page=SyncAddress&label=P&i=0&t=1&g=W&c=2&-2=x&1=y&s=2&i=0&rt=ts.10",
    "\x02page=SyncCalendar&label=P&i=0&sd=da.2024.1.1&st=tm.9.0.0&t=w&n=1&c=e&s=3&e=da.2024.1.8&i=0&rt=ts.-1",
    "\x03page=SyncToDo&label=P&i=0&l=da.2024.1.1&p=1&f=1&n=t&c=Home&s=4&i=0&rt=ts.-1",
    "\x04page=SyncToDoCategory&c=A&c=B&C",
    "\x05page=SyncMail&s=x&t=a@b&c=&b=&d=y&s=z&t=&c=&b=&d=",
    "\x06page=SyncRelation&app=VuzIzud&label=P&rt=ts.-1&i=1&s=2",
};

TEST(CommitFuzz, DamagedBodiesAreAppliedOrRefusedWhole) {
  std::mt19937 random(20261208);
  const std::string alphabet = "&=%+.,-0123456789isnrtpdcegbfl\x82\xa0ts.da.tm.";
  for (const char* seed : kSeeds) {
    std::string base(
        seed, seed[0] == '\0' ? 1 + std::char_traits<char>::length(seed + 1) : std::char_traits<char>::length(seed));
    for (int round = 0; round < 300; ++round) {
      // The first byte chooses the target's case and stays as it is.
      const std::string bytes = base.substr(0, 1) + testutil::damage(base.substr(1), random, alphabet, 4);
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
  }
  // The target aborts on a refused commit that changed data; the mutations
  // must reach both outcomes for that to mean anything.
  EXPECT_GT(gwfuzz::applied, 200);
  EXPECT_GT(gwfuzz::refused, 200);
}

}  // namespace
