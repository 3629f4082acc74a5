#include "server/service.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>

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

bool samePassword(Db& db, uint32_t userId, const std::string& candidate) {
  Stmt s(db, "SELECT salt, hash FROM users WHERE id = ?");
  s.bind(1, userId);
  if (!s.step()) return false;
  std::string want = s.text(1);
  std::string got = hashPassword(s.text(0), candidate);
  return want.size() == got.size() && CRYPTO_memcmp(want.data(), got.data(), got.size()) == 0;
}

}  // namespace

std::string randomBytes(size_t n) {
  std::string out(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
    throw StoreError("no random bytes");
  return out;
}

std::string hashPassword(const std::string& salt, const std::string& password) {
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
    reply.body = in.post ? pages::commit(*db, user, page, in.form) : pages::fetch(*db, user, page, in.form);
  } catch (const Refusal& r) {
    reply.body = errorLine(r);
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
  auto db = pool_.take();
  {
    Stmt s(*db, "SELECT may_sync FROM users WHERE id = ?");
    s.bind(1, *id);
    if (!s.step()) throw Refusal(kErrUnknownUser);
    bool maySync = s.integer(0) != 0;
    // Read strictly as a form: a client that sends the password unescaped
    // must fail here rather than have its fault hidden.
    if (!samePassword(*db, *id, formValue(in.form, "Password").value_or("")))
      throw Refusal(kErrBadPassword);
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
