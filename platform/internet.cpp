#include "platform/internet.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "platform/runrecord.h"

namespace platform {

namespace {

// libcurl wants one global initialisation per process before any handle.
void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct UrlHandle {
  CURLU* h = curl_url();
  ~UrlHandle() { curl_url_cleanup(h); }
  std::string part(CURLUPart what, unsigned flags = 0) const {
    char* text = nullptr;
    if (curl_url_get(h, what, &text, flags) != CURLUE_OK || !text) return std::string();
    std::string s(text);
    curl_free(text);
    return s;
  }
};

// The path of an object, for cookie matching only: up to the query, with
// bytes that cannot stand in a URL escaped (the request line itself carries
// the object unchanged).
std::string cookiePath(const std::string& object) {
  std::string path;
  for (unsigned char c : object.substr(0, object.find('?'))) {
    if (c <= 0x20 || c >= 0x7f || c == '#' || c == '%') {
      static const char kHex[] = "0123456789ABCDEF";
      path += '%';
      path += kHex[c >> 4];
      path += kHex[c & 15];
    } else {
      path += static_cast<char>(c);
    }
  }
  return path.empty() || path[0] != '/' ? "/" + path : path;
}

bool hasControl(const char* s) {
  for (; *s; ++s)
    if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7f) return true;
  return false;
}

}  // namespace

bool crackUrl(const char* url, UrlParts& out) {
  if (!url) return false;
  initCurlOnce();
  UrlHandle u;
  if (!u.h || curl_url_set(u.h, CURLUPART_URL, url, CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return false;
  out.scheme = u.part(CURLUPART_SCHEME);
  out.host = u.part(CURLUPART_HOST);
  std::string port = u.part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  out.port = port.empty() ? 0 : std::atoi(port.c_str());
  out.path = u.part(CURLUPART_PATH);
  if (out.path.empty()) out.path = "/";
  std::string query = u.part(CURLUPART_QUERY);
  // A URL that ends in "?" has an empty query, which the parser drops.
  if (!query.empty() || std::strchr(url, '?')) out.path += "?" + query;
  return !out.scheme.empty() && !out.host.empty() && out.port > 0;
}

// ---------------------------------------------------------------------------

struct InternetSession::Impl {
  CURLSH* share = nullptr;
  std::string proxy;
  bool useProxy = false;
  DWORD timeoutMs = 0;
  DWORD connectRetries = 1;

  ~Impl() {
    if (share) curl_share_cleanup(share);
  }
};

InternetSession::InternetSession(const char* proxy) : impl_(std::make_unique<Impl>()) {
  initCurlOnce();
  impl_->share = curl_share_init();
  if (impl_->share) {
    curl_share_setopt(impl_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  }
  if (proxy && *proxy) {
    impl_->proxy = proxy;
    impl_->useProxy = true;
  }
}

InternetSession::~InternetSession() = default;

bool InternetSession::ok() const { return impl_->share != nullptr; }

void InternetSession::setTimeout(DWORD ms) { impl_->timeoutMs = ms; }

void InternetSession::setConnectRetries(DWORD retries) { impl_->connectRetries = retries; }

bool InternetSession::setCookie(const char* url, const char* name, const char* value) {
  UrlParts parts;
  if (!impl_->share || !name || !*name || !value || !crackUrl(url, parts) || hasControl(name) || hasControl(value) ||
      std::strpbrk(name, "=;"))
    return false;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), &curl_easy_cleanup);
  CURL* easy = handle.get();
  if (!easy) return false;
  curl_easy_setopt(easy, CURLOPT_SHARE, impl_->share);
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  // Netscape cookie line: host only, every path, not secure, session cookie.
  std::string line = parts.host + "\tFALSE\t/\tFALSE\t0\t" + name + "\t" + value;
  return curl_easy_setopt(easy, CURLOPT_COOKIELIST, line.c_str()) == CURLE_OK;
}

// ---------------------------------------------------------------------------

HttpConnection::HttpConnection(InternetSession& session, const std::string& scheme, const std::string& host, int port,
                               const std::string& user, const std::string& password)
    : session_(session),
      base_(scheme + "://" + (host.find(':') != std::string::npos && host[0] != '[' ? "[" + host + "]" : host) + ":" +
            std::to_string(port)),
      user_(user),
      password_(password) {}

// ---------------------------------------------------------------------------

struct HttpRequest::Impl {
  HttpConnection& conn;
  std::string verb;
  std::string object;

  // The body of a send in pieces.
  std::string pending;
  std::vector<size_t> pieces;
  size_t announced = 0;
  bool begun = false;

  // Feeding the body to libcurl.
  const char* body = nullptr;
  size_t bodyLength = 0;
  size_t bodySent = 0;
  size_t pieceIndex = 0;

  // The reply.
  std::string headers;
  std::string content;
  size_t readPos = 0;
  long status = 0;
  bool received = false;
  std::string failure;

  Impl(HttpConnection& c, const char* v, const std::string& o) : conn(c), verb(v), object(o) {}

  // No exception may pass through libcurl's C code: a reply that cannot be
  // kept for want of memory ends the transfer (returning 0 aborts it), and
  // the request fails like any cut reply.
  static size_t onHeader(char* data, size_t size, size_t n, void* self) {
    auto* me = static_cast<Impl*>(self);
    std::string_view line(data, size * n);
    try {
      // An interim reply (100 Continue) is followed by the real one.
      if (line.starts_with("HTTP/")) me->headers.clear();
      me->headers.append(line);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    return size * n;
  }
  static size_t onBody(char* data, size_t size, size_t n, void* self) {
    try {
      static_cast<Impl*>(self)->content.append(data, size * n);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    return size * n;
  }
  // Hands libcurl the body one written piece at a time (a piece is never
  // longer than what the caller wrote in one go).
  static size_t onRead(char* buffer, size_t size, size_t n, void* self) {
    auto* me = static_cast<Impl*>(self);
    size_t room = size * n;
    size_t left = me->bodyLength - me->bodySent;
    if (me->pieceIndex < me->pieces.size()) left = std::min(left, me->pieces[me->pieceIndex]);
    size_t k = std::min(room, left);
    std::memcpy(buffer, me->body + me->bodySent, k);
    me->bodySent += k;
    if (me->pieceIndex < me->pieces.size()) {
      me->pieces[me->pieceIndex] -= k;
      if (me->pieces[me->pieceIndex] == 0) ++me->pieceIndex;
    }
    return k;
  }
  static int onSeek(void*, curl_off_t, int) { return CURL_SEEKFUNC_CANTSEEK; }

  bool perform(const char* data, size_t length);
};

bool HttpRequest::Impl::perform(const char* data, size_t length) {
  headers.clear();
  content.clear();
  readPos = 0;
  status = 0;
  received = false;
  failure.clear();

  auto& s = conn.session().impl();
  const bool post = verb == "POST";
  DWORD attempts = std::max<DWORD>(s.connectRetries, 1);
  CURLcode rc = CURLE_OK;
  for (DWORD attempt = 0; attempt < attempts; ++attempt) {
    // Owned here so that an allocation failure while the request is set up
    // leaves no handle behind.
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), &curl_easy_cleanup);
    CURL* easy = handle.get();
    if (!easy) {
      failure = "out of memory";
      return false;
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(nullptr, &curl_slist_free_all);
    // libcurl's own defaults; the server reads the form without them.
    for (const char* h : {"Accept:", "Content-Type:", "Expect:", "Proxy-Connection:"}) {
      curl_slist* longer = curl_slist_append(headerList.get(), h);
      if (longer) {
        headerList.release();
        headerList.reset(longer);
      }
    }
    curl_slist* extra = headerList.get();
    if (s.useProxy) {
      // A proxy needs the absolute URL in the request line.
      std::string url = conn.base() + object;
      curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    } else {
      // The object goes out byte for byte; the URL only serves the cookie
      // store's path matching.
      std::string url = conn.base() + cookiePath(object);
      curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
      curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, object.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, extra);
    curl_easy_setopt(easy, CURLOPT_SHARE, s.share);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // Every request on a connection of its own: libcurl silently sends a
    // request again when a reused connection turns out closed, and a commit
    // the server had already applied would then be applied twice.
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
    if (s.useProxy) curl_easy_setopt(easy, CURLOPT_PROXY, s.proxy.c_str());
    if (s.timeoutMs) {
      curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s.timeoutMs));
      curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>((s.timeoutMs + 999) / 1000));
    }
    if (!conn.user().empty()) {
      curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
      curl_easy_setopt(easy, CURLOPT_USERNAME, conn.user().c_str());
      curl_easy_setopt(easy, CURLOPT_PASSWORD, conn.password().c_str());
    }
    if (post) {
      body = data;
      bodyLength = length;
      bodySent = 0;
      pieceIndex = 0;
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
      curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Impl::onRead);
      curl_easy_setopt(easy, CURLOPT_READDATA, this);
      curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Impl::onSeek);
    } else if (verb != "GET") {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);

    headers.clear();
    content.clear();
    rc = curl_easy_perform(easy);
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    curl_off_t connectTime = 0;
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connectTime);
    if (runRecordActive()) {
      long requestHead = 0;
      curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &requestHead);
      const size_t sent = static_cast<size_t>(requestHead) + (post && rc == CURLE_OK ? length : bodySent);
      appendRunRecord({"http", verb, std::to_string(rc == CURLE_OK ? code : 0), std::to_string(sent),
                       std::to_string(headers.size() + content.size())});
    }
    handle.reset();
    headerList.reset();
    if (rc == CURLE_OK) {
      status = code;
      received = true;
      return true;
    }
    failure = curl_easy_strerror(rc);
    // Only a connect that never succeeded is tried again: no request left.
    bool connectFailed = rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST ||
                         rc == CURLE_COULDNT_RESOLVE_PROXY || (rc == CURLE_OPERATION_TIMEDOUT && connectTime == 0);
    if (!connectFailed) break;
  }
  headers.clear();
  content.clear();
  return false;
}

HttpRequest::HttpRequest(HttpConnection& connection, const char* verb, const std::string& object)
    : impl_(std::make_unique<Impl>(connection, verb, object)) {}

HttpRequest::~HttpRequest() = default;

bool HttpRequest::send(const char* body, size_t length) {
  impl_->pieces.clear();
  return impl_->perform(body ? body : "", body ? length : 0);
}

bool HttpRequest::begin(size_t totalLength) {
  impl_->pending.clear();
  impl_->pieces.clear();
  impl_->announced = totalLength;
  impl_->begun = true;
  return true;
}

bool HttpRequest::write(const char* data, size_t length) {
  if (!impl_->begun || impl_->pending.size() + length > impl_->announced) return false;
  impl_->pending.append(data, length);
  impl_->pieces.push_back(length);
  return true;
}

bool HttpRequest::end() {
  if (!impl_->begun || impl_->pending.size() != impl_->announced) {
    impl_->begun = false;
    return false;
  }
  impl_->begun = false;
  // Zero-length pieces would stop libcurl's reader early.
  impl_->pieces.erase(std::remove(impl_->pieces.begin(), impl_->pieces.end(), size_t{0}), impl_->pieces.end());
  return impl_->perform(impl_->pending.data(), impl_->pending.size());
}

bool HttpRequest::status(DWORD* code) const {
  if (!impl_->received || impl_->status <= 0) return false;
  *code = static_cast<DWORD>(impl_->status);
  return true;
}

const std::string& HttpRequest::rawHeaders() const { return impl_->headers; }

bool HttpRequest::readLine(std::string& line) {
  auto& c = impl_->content;
  if (impl_->readPos >= c.size()) return false;
  size_t lf = c.find('\n', impl_->readPos);
  size_t end = lf == std::string::npos ? c.size() : lf;
  line.assign(c, impl_->readPos, end - impl_->readPos);
  impl_->readPos = lf == std::string::npos ? c.size() : lf + 1;
  return true;
}

const std::string& HttpRequest::failure() const { return impl_->failure; }

}  // namespace platform
