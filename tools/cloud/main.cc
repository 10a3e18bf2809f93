// brickfix-cloud: the local stand-in for the maker's firmware cloud.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cloud/CloudServer.h"

namespace {

const char kUsage[] =
    "usage: brickfix-cloud --releases DIR --cert FILE --key FILE [options]\n"
    "       brickfix-cloud --make-certs DIR [--host NAME]...\n"
    "\n"
    "Serves GET /api/latest_rom?model=M and the images over HTTPS.\n"
    "  --releases DIR        one folder per model code with release.json and the image\n"
    "  --cert FILE, --key FILE  server certificate and key (PEM)\n"
    "  --listen ADDR         address to listen on (default 127.0.0.1)\n"
    "  --port N              port (default 443; 0 picks a free one)\n"
    "  --public-base URL     base of the image addresses (default https:// + Host header)\n"
    "  --plain               serve plain HTTP (no --cert, --key)\n"
    "  --request-log FILE    append a line per request: target, user agent, Accept sent,\n"
    "                        TLS session resumed (tab-separated)\n"
    "  --answer-fault F      every answer: html, invalid-json, empty, oversize, pieces,\n"
    "                        silent, drop\n"
    "  --delivery-fault F    every image: pieces, slow, drop, stall, silent\n"
    "  --make-certs DIR      write ca.pem, server.pem, server-key.pem, untrusted.pem,\n"
    "                        untrusted-key.pem for the --host names (default 127.0.0.1,\n"
    "                        localhost, cloud.terno.example) and exit\n"
    "GET /redirect?to=URL answers with a redirect to URL.\n"
    "Prints \"listening on ADDR:PORT\" when ready; stops on SIGINT or SIGTERM.\n";

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr, "brickfix-cloud: %s\n%s", problem, kUsage);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  CloudOptions options;
  std::string certDir;
  std::vector<std::string> hosts;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--plain") {
      options.plain = true;
      continue;
    }
    if (i + 1 >= argc) Usage(("missing value after " + arg).c_str());
    std::string value = argv[++i];
    if (arg == "--releases") options.releasesDir = value;
    else if (arg == "--cert") options.certFile = value;
    else if (arg == "--key") options.keyFile = value;
    else if (arg == "--listen") options.listenAddress = value;
    else if (arg == "--port") options.port = std::atoi(value.c_str());
    else if (arg == "--public-base") options.publicBase = value;
    else if (arg == "--answer-fault") options.answerFault = value;
    else if (arg == "--delivery-fault") options.deliveryFault = value;
    else if (arg == "--make-certs") certDir = value;
    else if (arg == "--host") hosts.push_back(value);
    else if (arg == "--request-log") options.requestLog = value;
    else Usage(("unknown option " + arg).c_str());
  }

  std::string error;
  if (!certDir.empty()) {
    if (hosts.empty()) hosts = {"127.0.0.1", "localhost", "cloud.terno.example"};
    if (!MakeCertificates(certDir, hosts, error)) {
      std::fprintf(stderr, "brickfix-cloud: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (options.releasesDir.empty() || (!options.plain && (options.certFile.empty() || options.keyFile.empty()))) {
    Usage("--releases, and without --plain --cert and --key, are required");
  }

  // The signals are taken with sigwait, so every thread must block them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  CloudServer server(options);
  if (!server.Start(error)) {
    std::fprintf(stderr, "brickfix-cloud: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s:%d\n", options.listenAddress.c_str(), server.port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  server.Stop();
  return 0;
}
