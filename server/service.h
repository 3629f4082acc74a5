// The pages of the sync protocol, answered from the storage, independent of
// the HTTP library: the HTTP layer (httpserver.h) turns each request into an
// Incoming and sends back the Reply.
//
//   gwserver::Service service(pool, {});
//   Reply r = service.handle({.post = false, .form = decodeForm("page=SyncPXVersion")});
//
// Refusals become "ErrorCode,<code>" reply lines with HTTP status 200; the
// codes are listed in server/README.md and below.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/store.h"
#include "server/wire.h"

namespace gwserver {

// Error codes of "ErrorCode," lines. The numbers never change.
enum ErrorCode : int {
  kErrStorage = 16400,       // the server failed: database (disk full, locked too long) or memory
  kErrNotLoggedIn = 16401,   // a data page without a login cookie, or an unknown one
  kErrUnknownUser = 16402,   // login with a user id that does not exist
  kErrLoginExpired = 16403,  // the login cookie has expired or was logged out
  kErrBadPassword = 16404,   // login with the wrong password
  kErrMayNotSync = 16405,    // the user exists but is not allowed to synchronise
  kErrMalformed = 16406,     // bad number, date or key; missing end marker; truncated body
  kErrUnknownId = 16407,     // a record or address item id this user does not have
  kErrUnknownPage = 16408,   // no such page, or a page that cannot be posted / fetched
  kErrMailRefused = 16409,   // a queued mail without any recipient (with its position)
};

// What a page request carries, whatever the transport.
struct Incoming {
  bool post = false;
  Form form;  // the query of a GET, the form body of a POST
  std::string cookieHeader;
  std::string peer;  // the client's address
};

struct Reply {
  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string note;  // for the request log: why a request was refused
};

struct ServiceOptions {
  std::chrono::seconds loginIdle{1800};  // a login expires after this long unused
};

// Thrown by page code to refuse a request; becomes an error line.
struct Refusal {
  explicit Refusal(int c, int pos = 0, std::string reason = {}) : code(c), position(pos), why(std::move(reason)) {}
  int code;
  int position;  // mail send: the refused mail's place, from 1; 0 = none
  std::string why;
};

class Service {
 public:
  Service(DbPool& pool, ServiceOptions options) : pool_(pool), options_(options) {}

  // Answers one page request. Never throws: storage failures and refusals
  // come back as error lines, with HTTP status 200.
  Reply handle(const Incoming& in);

  // Whether a Cookie header carries a live login: 0, or the error code a
  // page that needs one would get (kErrNotLoggedIn, kErrLoginExpired). Reads
  // no database and leaves the login's idle time as it is.
  int loginState(const std::string& cookieHeader);

  // Page name of a request, "" when it has none (used to match faults).
  static std::string pageOf(const Incoming& in);

 private:
  struct Login {
    uint32_t userId;
    std::chrono::steady_clock::time_point lastUse;
  };

  Reply login(const Incoming& in);
  void logout(const Incoming& in);
  uint32_t requireLogin(const Incoming& in);
  std::string loginToken(const Incoming& in) const;

  // Failed logins in a row, per user id and per client address: past a few,
  // a login must wait ever longer after the last failure (the numbers are at
  // the top of service.cpp), and one that comes earlier is refused unchecked.
  struct Failures {
    int count = 0;
    std::chrono::steady_clock::time_point last;
  };
  // The time still to wait before a login of this user from this address
  // may be checked; zero when it may be now.
  std::chrono::milliseconds loginWait(uint32_t user, const std::string& peer);
  void loginFailed(uint32_t user, const std::string& peer);
  void loginSucceeded(uint32_t user);

  DbPool& pool_;
  ServiceOptions options_;
  std::mutex failuresMutex_;
  std::map<uint32_t, Failures> userFailures_;
  std::map<std::string, Failures> peerFailures_;
  std::mutex hashingMutex_;
  std::condition_variable hashingDone_;
  int hashing_ = 0;  // password checks running; each holds tens of MB
  std::mutex loginsMutex_;
  std::map<std::string, Login> logins_;
  std::map<std::string, std::chrono::steady_clock::time_point> ended_;  // expired or logged out
};

// Password hashing shared by the service and the administration commands.
// New hashes are Argon2id strings ("$argon2id$...", libsodium's
// crypto_pwhash_str, interactive limits), stored with an empty salt. Older
// databases hold a salted SHA-256 (salt and digest); those still verify, and
// the login that proves the password replaces them.
std::string hashPassword(const std::string& password);
// Whether `password` matches the stored salt and hash; `outdated` tells
// whether the stored form should be replaced by hashPassword's.
bool verifyPassword(const std::string& salt, const std::string& hash, const std::string& password, bool& outdated);
// The old form: SHA-256 of salt and password (kept to verify old databases).
std::string legacyPasswordHash(const std::string& salt, const std::string& password);
std::string randomBytes(size_t n);

}  // namespace gwserver
