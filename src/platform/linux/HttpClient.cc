#include "firmware/HttpClient.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallSeconds = 30;  // no byte for this long fails the transfer
constexpr const char* kUserAgent = "RX WinHTTP Client/1.0";
// The receive buffer: large deliveries mean fewer passes through the body
// callback (over TLS a delivery is still at most one record).
constexpr long kReceiveBufferBytes = 512 * 1024;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct SinkCall {
  const HttpClient::BodySink* sink;
  bool stopped = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* call = static_cast<SinkCall*>(user);
  std::size_t length = size * count;
  if (!(*call->sink)(data, length)) {
    call->stopped = true;
    return CURL_WRITEFUNC_ERROR;
  }
  return length;
}

// Redirects are followed as the platform HTTP stack of the original did,
// but never from https down to plain http.
void SetProtocols(CURL* curl, const std::string& url) {
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  bool secure = url.compare(0, 8, "https://") == 0;
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

}  // namespace

HttpClient::HttpClient() {
  InitCurlOnce();
  m_handle = curl_easy_init();
}

HttpClient::~HttpClient() { curl_easy_cleanup(static_cast<CURL*>(m_handle)); }

HttpClient::Result HttpClient::Get(const std::string& url, const BodySink& sink) {
  CURL* curl = static_cast<CURL*>(m_handle);
  if (!curl) {
    std::fprintf(stderr, "brickfix: %s: cannot create an HTTP handle\n", url.c_str());
    return Result::kFailed;
  }
  char error[CURL_ERROR_SIZE] = "";
  SinkCall call{&sink};
  HeaderList headers;
  headers.list = curl_slist_append(nullptr, "Accept:");  // send no Accept header

  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
  SetProtocols(curl, url);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // libcurl does not read SSL_CERT_FILE by itself.
  if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile && *caFile) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);
  }
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // worker threads: no SIGALRM
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &call);

  CURLcode code = curl_easy_perform(curl);
  // The handle must not keep pointers into this frame.
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  if (code == CURLE_OK) return Result::kComplete;
  if (call.stopped) return Result::kStopped;
  std::fprintf(stderr, "brickfix: %s: %s\n", url.c_str(), *error ? error : curl_easy_strerror(code));
  return Result::kFailed;
}
