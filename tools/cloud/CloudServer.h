// A local stand-in for the maker's firmware cloud, for tests, benchmarks and
// demonstrations. It answers GET /api/latest_rom?model=M from a folder of
// releases and serves the images under /images/M/FILE, and it can misbehave
// in the ways a real cloud or network can.
//
// Releases folder: one subfolder per model code, holding release.json and
// the image file, for example Releases/RX2001/release.json:
//   { "version": "1.2 beta", "image": "RX2001.bin" }
// The answer carries "model" (the folder name), "version", "md5" and "size"
// (computed from the image), "url" (this server's image address) and
// "level" 0. Any of the six members present in release.json replaces the
// computed one as it is (any JSON type), and "omit": ["url", ...] leaves
// members out. Faults, per release or for every release (see CloudOptions):
//   "answer":   html | invalid-json | empty | oversize | pieces | silent | drop
//   "delivery": pieces | slow | drop | stall | silent
//   "pieceSize": bytes per piece (pieces, slow), "pieceDelayMs": pause per piece
// The file is read at every request, so a running server can be changed.
// GET /redirect?to=URL answers 302 with Location URL.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

struct CloudOptions {
  std::string listenAddress = "127.0.0.1";
  int port = 443;  // 0: any free port
  std::string certFile;
  std::string keyFile;
  std::string releasesDir;
  std::string answerFault;    // applies to every release when not empty
  std::string deliveryFault;  // applies to every release when not empty
  // Base of the image addresses, e.g. "https://cloud.terno.example:8443";
  // empty: "https://" (or "http://") + the Host header of the query.
  std::string publicBase;
  // Plain HTTP instead of HTTPS (no certificate needed), for redirect tests.
  bool plain = false;
  // When set, one line per request is appended to this file: the target,
  // the user agent, whether an Accept header came and whether the TLS
  // session was resumed (1 or 0), separated by tabs.
  std::string requestLog;
};

class CloudServer {
 public:
  explicit CloudServer(CloudOptions options);
  ~CloudServer();
  CloudServer(const CloudServer&) = delete;
  CloudServer& operator=(const CloudServer&) = delete;

  // Loads the certificate, binds and serves on a thread of its own.
  bool Start(std::string& error);
  // The bound port (after Start).
  int port() const { return m_port; }
  // Stops serving and wakes every request that is held back on purpose.
  void Stop();

  // What the server saw of each request so far, for tests.
  struct SeenRequest {
    std::string target;  // path and query
    std::string userAgent;
    bool hasAccept = false;
    bool resumedSession = false;  // the TLS session of an earlier connection
  };
  std::vector<SeenRequest> Requests() const;

 private:
  void Register();
  // Waits up to `milliseconds`; false when the server is stopping.
  bool Pause(int milliseconds);
  void HoldUntilStopped();

  CloudOptions m_options;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  int m_port = 0;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stopping = false;
  std::vector<SeenRequest> m_requests;
  std::FILE* m_requestLog = nullptr;
};

// Makes a throw-away certificate authority and certificates with the openssl
// command in `dir`: ca.pem (the CA to trust), server.pem and server-key.pem
// (naming every host in `hosts`: IP addresses as IP names, others as DNS
// names; IP addresses also as DNS names, for clients that match only those),
// and untrusted.pem and untrusted-key.pem, for the same hosts but issued by
// another CA that nobody trusts.
bool MakeCertificates(const std::string& dir, const std::vector<std::string>& hosts,
                      std::string& error);
