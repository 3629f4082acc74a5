#include "synccore/tests/allocfail.h"

#include <new>

namespace testutil {
int g_nothrowAllocationsLeft = -1;
}

namespace {
bool shouldFail() {
  if (testutil::g_nothrowAllocationsLeft < 0) return false;
  if (testutil::g_nothrowAllocationsLeft == 0) {
    testutil::g_nothrowAllocationsLeft = -1;
    return true;
  }
  --testutil::g_nothrowAllocationsLeft;
  return false;
}
}  // namespace

// Allocated through the throwing operator so that the usual delete matches.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (shouldFail()) return nullptr;
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  if (shouldFail()) return nullptr;
  try {
    return ::operator new[](n);
  } catch (...) {
    return nullptr;
  }
}
