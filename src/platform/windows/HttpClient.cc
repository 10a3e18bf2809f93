// The HTTP client of the Windows program: WinHTTP in synchronous mode. One
// session per client; its connection handle is kept for the next request to
// the same host and port, so that WinHTTP can send that request over the
// same connection (or resume its TLS session). Redirects are followed here
// rather than by WinHTTP, so that the rules hold on every WinHTTP: http and
// https only, at most 10, never from https down to http.
#include "firmware/HttpClient.h"

#include "platform/windows/Win32.h"

#include <winhttp.h>

#include <cwchar>
#include <memory>
#include <string>

#include "platform/windows/RunFiles.h"
#include "platform/windows/Utf16.h"

namespace {

constexpr const wchar_t* kUserAgent = L"RX WinHTTP Client/1.0";
constexpr int kConnectTimeoutMs = 60 * 1000;
constexpr int kStallTimeoutMs = 30 * 1000;  // sending or receiving without progress
constexpr int kMaxRedirects = 10;
// The most one read takes: what the network stack has, up to this.
constexpr DWORD kReceiveBufferBytes = 512 * 1024;

struct Handle {
  HINTERNET h = nullptr;
  Handle() = default;
  explicit Handle(HINTERNET handle) : h(handle) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Reset(HINTERNET handle = nullptr) {
    if (h) WinHttpCloseHandle(h);
    h = handle;
  }
};

struct Client {
  Handle session;
  Handle connection;  // to `host`:`port`
  std::wstring host;
  INTERNET_PORT port = 0;
  std::unique_ptr<char[]> buffer;
};

// The parts of an http or https address that a request needs.
struct Target {
  bool secure = false;
  std::string origin;  // scheme, host and port, as written in the address
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;   // with the query
};

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (std::size_t i = 0; prefix[i]; ++i) {
    char c = i < text.size() ? text[i] : '\0';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

bool Crack(const std::string& url, Target& target) {
  if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) return false;
  std::wstring wide = Widen(url);
  if (wide.empty()) return false;
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (!parts.lpszHostName || parts.dwHostNameLength == 0) return false;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  // The path and its query: the rest of the address, without a fragment.
  const wchar_t* rest = parts.lpszUrlPath && parts.dwUrlPathLength > 0 ? parts.lpszUrlPath : parts.lpszExtraInfo;
  target.path = rest ? rest : L"";
  target.path = target.path.substr(0, target.path.find(L'#'));
  if (target.path.empty() || target.path[0] != L'/') target.path.insert(0, L"/");
  std::size_t afterScheme = url.find("//") + 2;
  target.origin = url.substr(0, url.find_first_of("/?#", afterScheme));
  return true;
}

// Where a redirect's Location leads, seen from `from`.
std::string Resolve(const std::string& from, const Target& base, const std::string& location) {
  std::size_t scheme = location.find("://");
  if (scheme != std::string::npos && location.find_first_of("/?#") > scheme) return location;
  if (location.compare(0, 2, "//") == 0) return from.substr(0, from.find(':') + 1) + location;
  if (!location.empty() && location[0] == '/') return base.origin + location;
  std::string path = Narrow(base.path);
  path = path.substr(0, path.find('?'));
  return base.origin + path.substr(0, path.rfind('/') + 1) + location;
}

void Describe(const std::string& url, const char* step, DWORD error) {
  WriteDiagnostics("brickfix: " + url + ": " + step + " failed (WinHTTP error " + std::to_string(error) + ")\n");
}

void Refuse(const std::string& url, const char* why) { WriteDiagnostics("brickfix: " + url + ": " + why + "\n"); }

bool OpenSession(Client& client) {
  if (client.session.h) return true;
  client.session.Reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0));
  if (!client.session.h) return false;
  WinHttpSetTimeouts(client.session.h, kConnectTimeoutMs, kConnectTimeoutMs, kStallTimeoutMs,
                     kStallTimeoutMs);
  // Waiting for the response's headers has a timeout of its own (90 s).
  DWORD stall = kStallTimeoutMs;
  WinHttpSetOption(client.session.h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &stall, sizeof stall);
  return true;
}

// The connection handle for `target`, the kept one when it goes to the same
// host and port.
HINTERNET Connect(Client& client, const Target& target) {
  if (client.connection.h && client.host == target.host && client.port == target.port) {
    return client.connection.h;
  }
  client.connection.Reset(WinHttpConnect(client.session.h, target.host.c_str(), target.port, 0));
  client.host = target.host;
  client.port = target.port;
  return client.connection.h;
}

std::wstring Header(HINTERNET request, DWORD which) {
  wchar_t text[64];
  DWORD size = sizeof text;
  if (WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return std::wstring(text, size / sizeof(wchar_t));
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return L"";
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return L"";
  }
  value.resize(size / sizeof(wchar_t));
  return value;
}

// A number header's value, or -1 when the response has none.
long long NumberHeader(HINTERNET request, DWORD which) {
  std::wstring text = Header(request, which);
  wchar_t* end = nullptr;
  unsigned long long value = std::wcstoull(text.c_str(), &end, 10);
  return text.empty() || *end != L'\0' ? -1 : static_cast<long long>(value);
}

bool IsRedirect(long long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

HttpClient::HttpClient() : m_handle(new Client) {}

HttpClient::~HttpClient() { delete static_cast<Client*>(m_handle); }

HttpClient::Result HttpClient::Get(const std::string& url, const BodySink& sink) {
  Client& client = *static_cast<Client*>(m_handle);
  if (!OpenSession(client)) {
    Describe(url, "opening the session", GetLastError());
    return Result::kFailed;
  }
  const bool mustStaySecure = StartsWithNoCase(url, "https://");
  std::string address = url;
  Handle request;
  for (int redirects = 0;; ++redirects) {
    request.Reset();
    Target target;
    if (!Crack(address, target)) {
      Refuse(address, "not an http or https address");
      return Result::kFailed;
    }
    if (mustStaySecure && !target.secure) {
      Refuse(url, ("redirected from https to " + address + ", refused").c_str());
      return Result::kFailed;
    }
    HINTERNET connection = Connect(client, target);
    if (!connection) {
      Describe(address, "connecting", GetLastError());
      return Result::kFailed;
    }
    // No Accept header, HTTP/1.1, no referrer; secure exactly for https.
    request.Reset(WinHttpOpenRequest(connection, L"GET", target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0));
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!request.h || !WinHttpSetOption(request.h, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never)) {
      Describe(address, "opening the request", GetLastError());
      return Result::kFailed;
    }
    if (!WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
      Describe(address, "sending the request", GetLastError());
      return Result::kFailed;
    }
    if (!WinHttpReceiveResponse(request.h, nullptr)) {
      Describe(address, "receiving the response", GetLastError());
      return Result::kFailed;
    }
    std::string location = Narrow(Header(request.h, WINHTTP_QUERY_LOCATION));
    if (!IsRedirect(NumberHeader(request.h, WINHTTP_QUERY_STATUS_CODE)) || location.empty()) break;
    if (redirects == kMaxRedirects) {
      Refuse(url, "too many redirects");
      return Result::kFailed;
    }
    address = Resolve(address, target, location);
  }

  // A connection that closes before the announced length is a failed
  // transfer, not a short body.
  const long long announced = NumberHeader(request.h, WINHTTP_QUERY_CONTENT_LENGTH);
  long long received = 0;
  if (!client.buffer) client.buffer.reset(new char[kReceiveBufferBytes]);
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.h, &available)) {
      Describe(address, "receiving the body", GetLastError());
      return Result::kFailed;
    }
    if (available == 0) break;
    DWORD got = 0;
    DWORD ask = available < kReceiveBufferBytes ? available : kReceiveBufferBytes;
    if (!WinHttpReadData(request.h, client.buffer.get(), ask, &got)) {
      Describe(address, "receiving the body", GetLastError());
      return Result::kFailed;
    }
    if (got == 0) break;
    received += got;
    if (!sink(client.buffer.get(), got)) return Result::kStopped;
  }
  if (announced >= 0 && received < announced) {
    WriteDiagnostics("brickfix: " + address + ": the connection closed after " + std::to_string(received) + " of " +
                     std::to_string(announced) + " bytes\n");
    return Result::kFailed;
  }
  return Result::kComplete;
}
