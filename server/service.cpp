#include "server/service.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sodium.h>

#include <algorithm>
#include <cstdio>

#include "server/httpserver.h"
#include "server/pages.h"

namespace gwserver {

namespace {

const char kCookieName[] = "GWLogin";

std::string errorLine(const Refusal& r) {
  std::string line = "ErrorCode," + std::to_string(r.code);
  if (r.position > 0) line += "," + std::to_string(r.position);
  return line + "\n";
}

std::string toHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The cookie's value of that name in a Cookie header, "" when absent.
std::string cookieValue(const std::string& header, const std::string& name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string part = header.substr(pos, end - pos);
    size_t first = part.find_first_not_of(' ');
    if (first != std::string::npos) part = part.substr(first);
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=')
      return part.substr(name.size() + 1);
    pos = end + 1;
  }
  return {};
}

// How many failed logins in a row pass untouched, per user and per client
// address; after that each failure doubles the wait before the next check,
// from kFirstWait up to kLongestWait. Failures are forgotten kForget after
// the last one (per address) or at a successful login (per user).
constexpr int kFreeUserFailures = 3;
constexpr int kFreePeerFailures = 10;
constexpr auto kFirstWait = std::chrono::seconds(2);
constexpr auto kLongestWait = std::chrono::seconds(60);
constexpr auto kForget = std::chrono::minutes(15);
// Password checks at once: each Argon2id check holds 64 MiB for a moment.
constexpr int kHashingAtOnce = 2;

std::chrono::milliseconds waitAfter(int count, int free) {
  if (count < free) return std::chrono::milliseconds(0);
  std::chrono::milliseconds wait = kFirstWait * (1 << std::min(count - free, 8));
  return std::min<std::chrono::milliseconds>(wait, kLongestWait);
}

void initSodium() {
  static const int ready = sodium_init();
  if (ready < 0) throw StoreError("libsodium cannot start");
}

}  // namespace

std::string randomBytes(size_t n) {
  std::string out(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
    throw StoreError("no random bytes");
  return out;
}

std::string hashPassword(const std::string& password) {
  initSodium();
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    throw StoreError("out of memory hashing a password");
  return out;
}

bool verifyPassword(const std::string& salt, const std::string& hash, const std::string& password, bool& outdated) {
  initSodium();
  outdated = false;
  if (hash.rfind("$argon2", 0) == 0) {
    std::string stored = hash;  // crypto_pwhash_str_verify wants it NUL-terminated
    if (crypto_pwhash_str_verify(stored.c_str(), password.data(), password.size()) != 0) return false;
    outdated = crypto_pwhash_str_needs_rehash(stored.c_str(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                              crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0;
    return true;
  }
  std::string got = legacyPasswordHash(salt, password);
  if (got.size() != hash.size() || CRYPTO_memcmp(got.data(), hash.data(), got.size()) != 0) return false;
  outdated = true;
  return true;
}

std::string legacyPasswordHash(const std::string& salt, const std::string& password) {
  std::string input = salt + password;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &len, EVP_sha256(), nullptr) != 1) throw StoreError("hash failed");
  return std::string(reinterpret_cast<char*>(digest), len);
}

std::string Service::pageOf(const Incoming& in) { return formValue(in.form, "page").value_or(""); }

std::string Service::loginToken(const Incoming& in) const { return cookieValue(in.cookieHeader, kCookieName); }

Reply Service::handle(const Incoming& in) {
  Reply reply;
  try {
    std::string page = pageOf(in);
    if (page.empty()) throw Refusal(kErrUnknownPage, 0, "no page");
    if (page == "PXBlank") return login(in);
    if (page == "SyncUserList" || page == "SyncPXVersion") {
      if (formValue(in.form, "_Logout") == "1") logout(in);
      auto db = pool_.take();
      reply.body = page == "SyncUserList" ? pages::userList(*db) : pages::version();
      return reply;
    }
    uint32_t user = requireLogin(in);
    auto db = pool_.take();
    {
      // A user deleted (gwserver user delete) while logged in is logged out.
      Stmt s(*db, "SELECT 1 FROM users WHERE id = ?");
      s.bind(1, user);
      if (!s.step()) {
        logout(in);
        throw Refusal(kErrNotLoggedIn, 0, "user " + std::to_string(user) + " no longer exists");
      }
    }
    reply.body = in.post ? pages::commit(*db, user, page, in.form) : pages::fetch(*db, user, page, in.form);
  } catch (const Refusal& r) {
    reply.body = errorLine(r);
    reply.note = r.why;
  } catch (const StoreError& e) {
    std::fprintf(stderr, "gwserver: %s\n", e.what());
    reply.body = errorLine(Refusal(kErrStorage));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gwserver: %s\n", e.what());
    reply.body = errorLine(Refusal(kErrStorage));
  }
  return reply;
}

Reply Service::login(const Incoming& in) {
  auto id = parseUnsigned(formValue(in.form, "_ID").value_or(""));
  if (!id) throw Refusal(kErrUnknownUser, 0, "no user id");
  std::string peer = in.peer.empty() ? "-" : in.peer;
  auto wait = loginWait(*id, peer);
  if (wait.count() > 0) {
    std::fprintf(stderr,
                 "gwserver: login of user %u from %s refused unchecked: too many failed logins, next in %.1f s\n", *id,
                 logSafe(peer).c_str(), static_cast<double>(wait.count()) / 1000);
    throw Refusal(kErrBadPassword, 0, "too many failed logins");
  }
  auto db = pool_.take();
  {
    Stmt s(*db, "SELECT may_sync, salt, hash FROM users WHERE id = ?");
    s.bind(1, *id);
    if (!s.step()) {
      loginFailed(*id, peer);
      throw Refusal(kErrUnknownUser, 0, "no user " + std::to_string(*id));
    }
    bool maySync = s.integer(0) != 0;
    std::string salt = s.text(1), hash = s.text(2);
    // Read strictly as a form: a client that sends the password unescaped
    // must fail here rather than have its fault hidden.
    std::string password = formValue(in.form, "Password").value_or("");
    bool outdated = false, same = false;
    {
      std::unique_lock<std::mutex> lock(hashingMutex_);
      hashingDone_.wait(lock, [&] { return hashing_ < kHashingAtOnce; });
      ++hashing_;
    }
    try {
      same = verifyPassword(salt, hash, password, outdated);
    } catch (...) {
      std::lock_guard<std::mutex> lock(hashingMutex_);
      --hashing_;
      hashingDone_.notify_one();
      throw;
    }
    {
      std::lock_guard<std::mutex> lock(hashingMutex_);
      --hashing_;
    }
    hashingDone_.notify_one();
    if (!same) {
      loginFailed(*id, peer);
      throw Refusal(kErrBadPassword, 0, "wrong password");
    }
    loginSucceeded(*id);
    if (outdated) {
      // The password is known now: store it in the current form. A failure
      // here costs the upgrade, not the login.
      try {
        Stmt u(*db, "UPDATE users SET salt = ?, hash = ? WHERE id = ? AND hash = ?");
        u.bind(1, std::string_view()).bind(2, hashPassword(password)).bind(3, *id).bind(4, hash).run();
      } catch (const StoreError& e) {
        std::fprintf(stderr, "gwserver: the password hash of user %u stays in its old form: %s\n", *id, e.what());
      }
    }
    if (!maySync) throw Refusal(kErrMayNotSync);
  }
  std::string token = toHex(randomBytes(16));
  {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(loginsMutex_);
    // Logins that were never used again expire here, so the table stays small.
    for (auto it = logins_.begin(); it != logins_.end();) {
      if (now - it->second.lastUse > options_.loginIdle) {
        ended_[it->first] = now;
        it = logins_.erase(it);
      } else {
        ++it;
      }
    }
    logins_[token] = {*id, now};
  }
  Reply reply;
  reply.headers.push_back({"Set-Cookie", std::string(kCookieName) + "=" + token + "; Path=/; HttpOnly"});
  return reply;
}

std::chrono::milliseconds Service::loginWait(uint32_t user, const std::string& peer) {
  auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(failuresMutex_);
  for (auto it = peerFailures_.begin(); it != peerFailures_.end();)
    it = now - it->second.last > kForget ? peerFailures_.erase(it) : std::next(it);
  for (auto it = userFailures_.begin(); it != userFailures_.end();)
    it = now - it->second.last > kForget ? userFailures_.erase(it) : std::next(it);
  std::chrono::milliseconds wait(0);
  auto left = [&](const Failures& f, int free) {
    auto until = f.last + waitAfter(f.count, free);
    if (until > now)
      wait = std::max(
          wait, std::chrono::duration_cast<std::chrono::milliseconds>(until - now) + std::chrono::milliseconds(1));
  };
  if (auto it = userFailures_.find(user); it != userFailures_.end()) left(it->second, kFreeUserFailures);
  if (auto it = peerFailures_.find(peer); it != peerFailures_.end()) left(it->second, kFreePeerFailures);
  return wait;
}

void Service::loginFailed(uint32_t user, const std::string& peer) {
  auto now = std::chrono::steady_clock::now();
  int inRow = 0, fromPeer = 0;
  {
    std::lock_guard<std::mutex> lock(failuresMutex_);
    Failures& u = userFailures_[user];
    u.count++;
    u.last = now;
    Failures& p = peerFailures_[peer];
    p.count++;
    p.last = now;
    inRow = u.count;
    fromPeer = p.count;
  }
  std::fprintf(stderr, "gwserver: failed login of user %u from %s (%d in a row for the user, %d from the address)\n",
               user, logSafe(peer).c_str(), inRow, fromPeer);
}

void Service::loginSucceeded(uint32_t user) {
  std::lock_guard<std::mutex> lock(failuresMutex_);
  userFailures_.erase(user);
}

int Service::loginState(const std::string& cookieHeader) {
  std::string token = cookieValue(cookieHeader, kCookieName);
  if (token.empty()) return kErrNotLoggedIn;
  std::lock_guard<std::mutex> lock(loginsMutex_);
  auto it = logins_.find(token);
  if (it == logins_.end()) return ended_.count(token) ? kErrLoginExpired : kErrNotLoggedIn;
  if (std::chrono::steady_clock::now() - it->second.lastUse > options_.loginIdle) return kErrLoginExpired;
  return 0;
}

void Service::logout(const Incoming& in) {
  std::string token = loginToken(in);
  if (token.empty()) return;
  std::lock_guard<std::mutex> lock(loginsMutex_);
  if (logins_.erase(token)) ended_[token] = std::chrono::steady_clock::now();
}

uint32_t Service::requireLogin(const Incoming& in) {
  std::string token = loginToken(in);
  if (token.empty()) throw Refusal(kErrNotLoggedIn);
  auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(loginsMutex_);
  // Forget ended logins after a day so the table cannot grow without bound.
  for (auto it = ended_.begin(); it != ended_.end();)
    it = now - it->second > std::chrono::hours(24) ? ended_.erase(it) : std::next(it);
  auto it = logins_.find(token);
  if (it == logins_.end()) throw Refusal(ended_.count(token) ? kErrLoginExpired : kErrNotLoggedIn);
  if (now - it->second.lastUse > options_.loginIdle) {
    logins_.erase(it);
    ended_[token] = now;
    throw Refusal(kErrLoginExpired);
  }
  it->second.lastUse = now;
  return it->second.userId;
}

}  // namespace gwserver
