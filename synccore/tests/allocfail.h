// Makes the nothrow allocations of the code under test fail on demand (the
// pool's blocks, the result lists): the replacement operator is defined once
// in allocfail.cpp for the whole test program.
//
//   testutil::AllocFailure fail(0);   // the next nothrow allocation fails
#pragma once

namespace testutil {

// Number of nothrow allocations that still succeed before the next one
// fails; negative: none fails.
extern int g_nothrowAllocationsLeft;

class AllocFailure {
 public:
  explicit AllocFailure(int succeedFirst) { g_nothrowAllocationsLeft = succeedFirst; }
  ~AllocFailure() { g_nothrowAllocationsLeft = -1; }
};

}  // namespace testutil
