// Page bodies of the protocol, one function per direction. Each takes an open
// connection and the logged-in user's id, runs in its own transaction and
// returns the reply text, or throws Refusal (nothing changed) or StoreError.
#pragma once

#include <cstdint>
#include <string>

#include "server/store.h"
#include "server/wire.h"

namespace gwserver::pages {

// "id,name" per user, written raw; no login needed.
std::string userList(Db& db);
// "version,2.5,1.0" and "ProductID,...".
std::string version();
// A GET of a page for this user.
std::string fetch(Db& db, uint32_t user, const std::string& page, const Form& form);
// A POST (commit, send) of a page for this user.
std::string commit(Db& db, uint32_t user, const std::string& page, const Form& form);

// The eleven built-in address items: id -1 .. -11 and their wire names.
struct BuiltinItem {
  int id;
  const char* name;
  const char* label;
};
extern const BuiltinItem kBuiltinItems[11];

}  // namespace gwserver::pages
