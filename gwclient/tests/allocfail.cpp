#include "gwclient/tests/allocfail.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdlib>
#include <new>

namespace {

// Per thread: allocations that still succeed (-1: none fails), whether the
// failure stays, whether one was met, and libcurl transfers under way.
thread_local long t_left = -1;
thread_local bool t_persistent = false;
thread_local bool t_met = false;
thread_local int t_inTransfer = 0;

bool ShouldFail() {
  if (t_left < 0 || t_inTransfer > 0) return false;
  if (t_left > 0) {
    --t_left;
    return false;
  }
  t_met = true;
  if (!t_persistent) t_left = -1;
  return true;
}

void* Allocate(std::size_t n) {
  if (ShouldFail()) throw std::bad_alloc();
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace gwtest {

AllocFailure::AllocFailure(long succeedFirst, bool persistent) {
  t_persistent = persistent;
  t_met = false;
  t_left = succeedFirst;
}

AllocFailure::~AllocFailure() { t_left = -1; }

bool AllocFailure::Met() const { return t_met; }

}  // namespace gwtest

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// The program's own curl_easy_perform stands in front of libcurl's: the
// transfer runs with failures held back (see allocfail.h).
extern "C" CURLcode curl_easy_perform(CURL* easy) {
  using Perform = CURLcode (*)(CURL*);
  static const Perform real = reinterpret_cast<Perform>(dlsym(RTLD_NEXT, "curl_easy_perform"));
  if (!real) return CURLE_FAILED_INIT;
  ++t_inTransfer;
  CURLcode rc = real(easy);
  --t_inTransfer;
  return rc;
}
