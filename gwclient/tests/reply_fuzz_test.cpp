// Runs the reply fuzz target over seeded mutations of real replies, so that
// every CI run (and its sanitizer build) reads a few thousand damaged ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "testutil/mutate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

const char* const kSeeds[] = {
    "1,Ann\r\n2,\"Lee, Bob\"\r\n\r\nrelation\r\nts.1700000000\r\n1,101\r\n",
    "version,2.5,1.0\nProductID,GW\n",
    "s,Sync,0,12\nt,Down\na,Down,2,17,1,0,ts.5,1,-2,3\nw,Sync,1,30,40\nm,Down,9\n",
    "ErrorCode,16405,\"bad\"\n",
    "12,ts.3,\"a\"\"b&#010;c\",,\x82\xa0,2024/2/29,24:00:00\n",
    "0,,,,Tel,12,FirstName,,Memo\n5,ts.9,2,\"Friends\",03-1,\"fax, office\",Ann\n",
    "FirstName,Text,,,First\nlastname,text,1,,Last\n12,File,,1,Fax\n",
    "1,ts.1,2024/1/1,2024/5/6,,9:30,24:00,W,2,1,,\"e,v\",d,m,2024/1/3,,2024/1/9\n",
    "1,ts.5,2024/2/29,3,1,2024/3/1,Work,Report,memo\nc,a,b\n",
    "1,ts.5,ts.4,Hello,1,f,t,c,b,r,text/plain,\"Body&#010;x\"\nErrorCode,16409,2\n",
    "",
};

void run(const std::string& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(ReplyFuzz, DamagedRepliesAreReadWithoutHarm) {
  std::mt19937 random(20261208);
  const std::string alphabet = ",\"\r\n&#010;ts./:-0123456789relationErrorCode\x81\xe0 ";
  for (const char* seed : kSeeds) {
    run(seed);
    for (int round = 0; round < 400; ++round) {
      std::string bytes = testutil::damage(seed, random, alphabet, 6);
      SCOPED_TRACE(bytes);
      run(bytes);
    }
  }
}

}  // namespace
