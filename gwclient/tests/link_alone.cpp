// Built by the test suite with nothing but the repository root on the include
// path and -lgwclient on the link line: the public header and the library
// must be enough for a program of someone else's.
#include "gwclient/gwclient.h"

static_assert(sizeof(__SYNC5_SET) == 113 * 4, "the settings record is copied whole");
static_assert(sizeof(COfficeSession) == 4 + 4 + 8 + 8 + 4 + 4 + 4 + 4, "six fields, in order");

int main() {
  COfficeSession session;
  // Nothing listens on port 1: Open still succeeds (it sends nothing), the
  // first request fails with error 11.
  if (!session.Open("http://127.0.0.1:1/gw", nullptr, 0)) return 1;
  if (session.FindFirstUser() != nullptr || session.GetLastError() != 11) return 2;
  COfficeSession copy;
  copy = session;
  copy.Close();
  return session.GetDetailError() == 0 && session.GetLastError() == 2 ? 0 : 3;
}
