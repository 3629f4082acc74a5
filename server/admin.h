// Administration of a gwserver database from the command line: users,
// address items, per-device settings, and a user's data as text (export and
// import; the format is described in server/README.md).
//
// Every function throws AdminError (or StoreError) with a message fit for the
// user; nothing is changed when it throws.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>

#include "server/store.h"

namespace gwserver {

struct AdminError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Creates the database file and its tables (an existing database is kept).
void initDatabase(const std::string& path);
// Adds a user; returns its id. Names must be unique, non-empty and one line.
uint32_t addUser(Db& db, const std::string& name, const std::string& password);
// Replaces a user's password.
void setPassword(Db& db, const std::string& name, const std::string& password);
// What a user holds: its id, its records (cards, memos, schedules, to-dos,
// mails) and its relation pairs.
struct UserData {
  uint32_t id = 0;
  int64_t records = 0;
  int64_t relations = 0;
};
UserData userData(Db& db, const std::string& name);
// Removes a user with all its records, categories, sent mail and relation
// data, in one transaction.
void deleteUser(Db& db, const std::string& name);
// Allows or forbids a user to synchronise (a login then gets error 16405).
void setMaySync(Db& db, const std::string& name, bool maySync);
// The id of a user by name; throws when there is none.
uint32_t userId(Db& db, const std::string& name);
// Defines a user-defined address item (type "Text" or "File"); returns its id.
uint32_t addItem(Db& db, const std::string& name, const std::string& type);
// Replaces the settings lines of a device type (None, Palm, PocketPC, Zaurus).
void setSettings(Db& db, const std::string& device, std::istream& lines);
// Writes all data of one user in the export format.
void exportUser(Db& db, const std::string& name, std::ostream& out);
// Reads the export format into one user's data, in one transaction. With
// replace, that user's records, categories and relation data go first.
// Returns the number of lines read.
int importUser(Db& db, const std::string& name, std::istream& in, bool replace);

// The export format's field escaping (Shift-JIS aware), exposed for tests.
std::string escapeField(const std::string& text);
std::string unescapeField(const std::string& text);

}  // namespace gwserver
