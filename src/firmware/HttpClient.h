// The program's one way to talk HTTP: a blocking GET with the settings that
// the cloud query and the image download share. Each system has its own
// implementation (src/platform/<system>/HttpClient.cc).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Fixed settings of every request: user agent "RX WinHTTP Client/1.0", no
// Accept header, HTTP/1.1, the system's proxy settings (on Linux
// http_proxy/https_proxy/no_proxy), certificate and host-name checks always
// on (trust store: the system's; on Linux SSL_CERT_FILE when set), 60 s to
// connect, and a transfer that makes no progress for 30 s fails. Only http
// and https addresses are fetched, and a redirect never leads from https to
// http. The HTTP status is not examined: whatever body arrives is handed on.
class HttpClient {
 public:
  // Receives each delivery of the body as it arrives. Returning false stops
  // the transfer.
  using BodySink = std::function<bool(const char* data, std::size_t length)>;
  enum class Result {
    kComplete,  // the whole body was delivered
    kStopped,   // the sink asked to stop
    kFailed,    // connecting, sending or receiving failed
  };

  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // One GET of `url` (http or https only). Failures are described on
  // standard error, never in the console log. Requests made one after the
  // other through the same client reuse its connection (or at least its TLS
  // session) when they go to the same host.
  Result Get(const std::string& url, const BodySink& sink);

 private:
  void* m_handle;  // the system's client (a CURL* on Linux), kept out of this header
};
