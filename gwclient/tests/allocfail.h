// Fails an allocation of the calling thread on demand, for sweeps that fail
// the N-th allocation of one library call for every N until the call
// completes without meeting it. The replacement operator new (throwing and
// nothrow, single and array) is defined once in allocfail.cpp for the whole
// test program; other threads (the scripted server) are never failed.
//
//   {
//     gwtest::AllocFailure fail(n, false);  // n allocations succeed, then one
//     fails result = connection.GetCount(); met = fail.Met();
//   }                                       // disarmed: assert from here on
//
// Allocations made inside libcurl's transfer (its callbacks into the
// internet layer) are not failed: an exception cannot cross libcurl's C
// frames. Everything the library does before and after the transfer is.
#pragma once

namespace gwtest {

class AllocFailure {
 public:
  // succeedFirst allocations succeed, then the next one fails; with
  // persistent every allocation after it fails too.
  AllocFailure(long succeedFirst, bool persistent);
  ~AllocFailure();
  AllocFailure(const AllocFailure&) = delete;
  AllocFailure& operator=(const AllocFailure&) = delete;

  // Whether an allocation has been failed since the arming.
  bool Met() const;
};

}  // namespace gwtest
