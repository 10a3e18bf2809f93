#include "cloud/CloudServer.h"

#include <httplib.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

constexpr std::size_t kOversizeAnswer = (1 << 20) + 1;
constexpr int kLongestHoldMinutes = 10;  // a held request never outlives this

struct Faults {
  std::string answer;
  std::string delivery;
  std::size_t pieceSize = 0;
  int pieceDelayMs = -1;
};

// Only plain names: no way out of the releases folder.
bool IsPlainName(const std::string& name) {
  if (name.empty() || name[0] == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
  });
}

bool ReadFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  out = buffer.str();
  return !in.bad();
}

std::string Md5Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  std::string text;
  char hex[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    text += hex;
  }
  return text;
}

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

}  // namespace

CloudServer::CloudServer(CloudOptions options) : m_options(std::move(options)) {}

CloudServer::~CloudServer() { Stop(); }

namespace {

bool LoadRelease(const CloudOptions& options, const std::string& model, Json::Value& manifest,
                 std::string& folder) {
  if (!IsPlainName(model)) return false;
  folder = options.releasesDir + "/" + model;
  std::string text;
  if (!ReadFile(folder + "/release.json", text)) return false;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(text);
  return Json::parseFromStream(builder, in, &manifest, &errors) && manifest.isObject();
}

Faults ReadFaults(const CloudOptions& options, const Json::Value& manifest) {
  Faults faults;
  faults.answer = options.answerFault.empty() ? manifest.get("answer", "").asString() : options.answerFault;
  faults.delivery =
      options.deliveryFault.empty() ? manifest.get("delivery", "").asString() : options.deliveryFault;
  faults.pieceSize = manifest.get("pieceSize", 0).asUInt();
  faults.pieceDelayMs = manifest.get("pieceDelayMs", -1).asInt();
  return faults;
}

}  // namespace

bool CloudServer::Start(std::string& error) {
  if (m_options.plain) {
    m_server = std::make_unique<httplib::Server>();
  } else {
    m_server = std::make_unique<httplib::SSLServer>(m_options.certFile.c_str(), m_options.keyFile.c_str());
  }
  if (!m_server->is_valid()) {
    error = "cannot load the certificate " + m_options.certFile + " or its key " + m_options.keyFile;
    return false;
  }
  if (!m_options.requestLog.empty()) {
    m_requestLog = std::fopen(m_options.requestLog.c_str(), "a");
    if (!m_requestLog) {
      error = "cannot write " + m_options.requestLog;
      return false;
    }
  }
  // One request per connection, so that stopping never waits for an idle one.
  m_server->set_keep_alive_max_count(1);
  Register();
  if (m_options.port == 0) {
    m_port = m_server->bind_to_any_port(m_options.listenAddress);
  } else if (m_server->bind_to_port(m_options.listenAddress, m_options.port)) {
    m_port = m_options.port;
  }
  if (m_port <= 0) {
    error = "cannot listen on " + m_options.listenAddress + ":" + std::to_string(m_options.port);
    return false;
  }
  m_thread = std::thread([this] { m_server->listen_after_bind(); });
  return true;
}

void CloudServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_server) m_server->stop();
  if (m_thread.joinable()) m_thread.join();
  if (m_requestLog) std::fclose(m_requestLog);
  m_requestLog = nullptr;
}

std::vector<CloudServer::SeenRequest> CloudServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

bool CloudServer::Pause(int milliseconds) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return !m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stopping; });
}

void CloudServer::HoldUntilStopped() { Pause(kLongestHoldMinutes * 60 * 1000); }

void CloudServer::Register() {
  using httplib::DataSink;
  using httplib::Request;
  using httplib::Response;

  auto record = [this](const Request& req) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back({req.target, req.get_header_value("User-Agent"), req.has_header("Accept"),
                          req.ssl && SSL_session_reused(req.ssl) == 1});
    if (m_requestLog) {
      const SeenRequest& seen = m_requests.back();
      std::fprintf(m_requestLog, "%s\t%s\t%d\t%d\n", seen.target.c_str(), seen.userAgent.c_str(),
                   seen.hasAccept ? 1 : 0, seen.resumedSession ? 1 : 0);
      std::fflush(m_requestLog);
    }
  };

  // Writes `body` in pieces of `piece` bytes with `delay` ms between them;
  // with `cut` the connection is closed (or held, then closed) halfway.
  auto deliver = [this](Response& res, std::shared_ptr<std::string> body, const char* type,
                        std::size_t piece, int delay, const std::string& cut) {
    if (body->empty()) {  // a provider is never asked for an empty body
      res.set_content("", type);
      return;
    }
    res.set_content_provider(body->size(), type,
        [this, body, piece, delay, cut](std::size_t offset, std::size_t length, DataSink& sink) {
          std::size_t half = body->size() / 2;
          if (!cut.empty() && offset >= half) {
            if (cut == "stall") HoldUntilStopped();
            return false;  // closes the connection with the body unfinished
          }
          std::size_t n = std::min(piece, length);
          if (!cut.empty()) n = std::min(n, half - offset);
          if (!sink.write(body->data() + offset, n)) return false;
          return delay <= 0 || Pause(delay);
        });
  };

  m_server->Get("/api/latest_rom", [this, record, deliver](const Request& req, Response& res) {
    record(req);
    Json::Value manifest;
    std::string folder;
    std::string model = req.get_param_value("model");
    if (!LoadRelease(m_options, model, manifest, folder)) {
      res.status = 404;
      res.set_content(R"({"error":"no release for this model"})", "application/json");
      return;
    }
    Faults faults = ReadFaults(m_options, manifest);
    std::string imageName = manifest.get("image", "").asString();
    std::string image;
    ReadFile(folder + "/" + imageName, image);
    std::string scheme = m_options.plain ? "http://" : "https://";
    std::string base = m_options.publicBase.empty() ? scheme + req.get_header_value("Host")
                                                    : m_options.publicBase;
    Json::Value answer(Json::objectValue);
    answer["model"] = model;
    answer["version"] = manifest.get("version", "");
    answer["md5"] = Md5Hex(image);
    answer["url"] = base + "/images/" + model + "/" + imageName;
    answer["level"] = 0;
    answer["size"] = static_cast<Json::Int64>(image.size());
    for (const char* key : {"model", "version", "md5", "url", "level", "size"}) {
      if (manifest.isMember(key)) answer[key] = manifest[key];
    }
    for (const Json::Value& key : manifest.get("omit", Json::arrayValue)) answer.removeMember(key.asString());
    auto body = std::make_shared<std::string>(Compact(answer));

    const std::string& fault = faults.answer;
    if (fault == "silent") {
      HoldUntilStopped();
      res.status = 503;
    } else if (fault == "html") {
      res.status = 500;
      res.set_content("<html><head><title>500 Internal Server Error</title></head>"
                      "<body><h1>Internal Server Error</h1></body></html>", "text/html");
    } else if (fault == "invalid-json") {
      res.set_content(body->substr(0, body->size() / 2), "application/json");
    } else if (fault == "empty") {
      res.set_content("", "application/json");
    } else if (fault == "oversize") {
      res.set_content(*body + std::string(kOversizeAnswer, ' '), "application/json");
    } else if (fault == "pieces") {
      deliver(res, body, "application/json", faults.pieceSize ? faults.pieceSize : 7,
              faults.pieceDelayMs >= 0 ? faults.pieceDelayMs : 5, "");
    } else if (fault == "drop") {
      deliver(res, body, "application/json", body->size(), 0, "drop");
    } else {
      res.set_content(*body, "application/json");
    }
  });

  m_server->Get("/redirect", [record](const Request& req, Response& res) {
    record(req);
    res.set_redirect(req.get_param_value("to"), 302);
  });

  m_server->Get(R"(/images/([^/]+)/([^/]+))", [this, record, deliver](const Request& req, Response& res) {
    record(req);
    Json::Value manifest;
    std::string folder;
    auto image = std::make_shared<std::string>();
    std::string model = req.matches[1];
    std::string name = req.matches[2];
    if (!LoadRelease(m_options, model, manifest, folder) || name != manifest.get("image", "").asString() ||
        !IsPlainName(name) || !ReadFile(folder + "/" + name, *image)) {
      res.status = 404;
      res.set_content("not found", "text/plain");
      return;
    }
    Faults faults = ReadFaults(m_options, manifest);
    const std::string& fault = faults.delivery;
    const char* type = "application/octet-stream";
    if (fault == "silent") {
      HoldUntilStopped();
      res.status = 503;
    } else if (fault == "pieces") {
      deliver(res, image, type, faults.pieceSize ? faults.pieceSize : 1000,
              faults.pieceDelayMs >= 0 ? faults.pieceDelayMs : 2, "");
    } else if (fault == "slow") {
      deliver(res, image, type, faults.pieceSize ? faults.pieceSize : 1000,
              faults.pieceDelayMs >= 0 ? faults.pieceDelayMs : 50, "");
    } else if (fault == "drop" || fault == "stall") {
      deliver(res, image, type, 64 * 1024, 0, fault);
    } else {
      deliver(res, image, type, 64 * 1024, 0, "");
    }
  });
}
