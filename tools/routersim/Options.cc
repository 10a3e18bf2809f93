// The simulator's command line.
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include "tools/routersim/RouterSim.h"

namespace routersim {

namespace {

bool ToNumber(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && value >= 0;
}

bool ToLong(const std::string& text, long& value) {
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value >= 0;
}

template <typename T>
bool ToWhole(const std::string& text, T& value, long max) {
  long whole = 0;
  if (!ToLong(text, whole) || whole > max) return false;
  value = static_cast<T>(whole);
  return true;
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return file.good() || file.eof();
}

using Setter = bool (*)(Options& o, const std::string& v);

// The options that take a value, and what each does with it.
const std::map<std::string, Setter> kValued = {
    {"--server",
     [](Options& o, const std::string& v) {
       o.server = v;
       return true;
     }},
    {"--port",
     [](Options& o, const std::string& v) { return ToWhole(v, o.port, 65535) && o.port > 0; }},
    {"--image",
     [](Options& o, const std::string& v) {
       o.image = v;
       return true;
     }},
    {"--expect-size",
     [](Options& o, const std::string& v) { return ToWhole(v, o.expectSize.emplace(), LONG_MAX); }},
    {"--expect-md5",
     [](Options& o, const std::string& v) {
       o.expectMd5 = v;
       return true;
     }},
    {"--save",
     [](Options& o, const std::string& v) {
       o.saveTo = v;
       return true;
     }},
    {"--report",
     [](Options& o, const std::string& v) {
       o.report = v;
       return true;
     }},
    {"--report-file",
     [](Options& o, const std::string& v) { return ReadFile(v, o.report.emplace()); }},
    {"--report-name",
     [](Options& o, const std::string& v) {
       o.reportName = v;
       return true;
     }},
    {"--wait-before-report",
     [](Options& o, const std::string& v) { return ToNumber(v, o.waitBeforeReport); }},
    {"--wait-before-exit",
     [](Options& o, const std::string& v) { return ToNumber(v, o.waitBeforeExit); }},
    {"--drop", [](Options& o, const std::string& v) { return ToNumber(v, o.drop); }},
    {"--duplicate", [](Options& o, const std::string& v) { return ToNumber(v, o.duplicate); }},
    {"--delay",
     [](Options& o, const std::string& v) {
       std::size_t colon = v.find(':');
       return colon != std::string::npos && ToNumber(v.substr(0, colon), o.delayShare) &&
              ToWhole(v.substr(colon + 1), o.delayMs, 600000);
     }},
    {"--repeat-ack", [](Options& o, const std::string& v) { return ToNumber(v, o.repeatAck); }},
    {"--stranger-at", [](Options& o, const std::string& v) { return ToLong(v, o.strangerAt); }},
    {"--error-at", [](Options& o, const std::string& v) { return ToLong(v, o.errorAt); }},
    {"--silent-after", [](Options& o, const std::string& v) { return ToLong(v, o.silentAfter); }},
    {"--arp-for",
     [](Options& o, const std::string& v) {
       o.arpFor = v;
       return true;
     }},
    {"--expect-error",
     [](Options& o, const std::string& v) {
       o.expectError = v;
       return true;
     }},
    {"--error-wait", [](Options& o, const std::string& v) { return ToNumber(v, o.errorWait); }},
    {"--retransmit",
     [](Options& o, const std::string& v) {
       return ToWhole(v, o.retransmitMs, 600000) && o.retransmitMs > 0;
     }},
    {"--retries", [](Options& o, const std::string& v) { return ToWhole(v, o.retries, 100000); }},
    {"--seed", [](Options& o, const std::string& v) { return ToWhole(v, o.seed, 0xFFFFFFFFL); }},
};

}  // namespace

std::string Usage() {
  return R"(usage: routersim [options]
Plays a router in recovery mode against the recovery TFTP server: fetches
recovery-cfg.bin (--cfg) and the image, checks them, uploads a report.
  --server ADDR            server IPv4 address (192.168.1.88)
  --port N                 server port (69)
  --cfg                    fetch recovery-cfg.bin first and check it
  --image NAME             image name to fetch (recovery.bin); a model-led
                           name such as RX2003.bin asks for another model's file
  --no-image               fetch no image
  --expect-size N          the image must have N bytes
  --expect-md5 HEX         the image must have this MD5
  --save FILE              write the fetched image to FILE
  --report TEXT            upload TEXT as the result report
  --report-file FILE       upload the contents of FILE
  --report-name NAME       name of the upload (recovery-result)
  --wait-before-report S   seconds to wait between the image and the upload
  --wait-before-exit S     seconds to wait before exiting
  --drop PCT               lose PCT% of the exchanged packets, both ways
  --duplicate PCT          send PCT% of our packets twice
  --delay PCT:MS           hold PCT% of our packets back by MS milliseconds
  --repeat-ack PCT         answer PCT% of the blocks first with the previous ACK
  --stranger-at N          answer block N first from another port
  --error-at N             answer block N with an ERROR packet
  --silent-after N         send nothing after block N (0: after the request)
  --arp-for ADDR           only ask by ARP for ADDR as the server, as a router
                           set up for another server address does (needs
                           the right to send raw frames)
  --send-nothing           send nothing at all, as a router that is not in
                           recovery mode; wait --wait-before-exit and end
  --expect-error TEXT      succeed when the server ends with this ERROR text
  --expect-silence         succeed when the first request gets no answer
  --error-wait S           how long to wait for the expected ERROR (70)
  --retransmit MS          our wait before repeating a packet (500)
  --retries N              repeats before giving up (10)
  --seed N                 seed of the misbehaviour's randomness (1)
Exit status: 0 when everything received was as expected, 1 otherwise,
2 for a wrong command line.
)";
}

bool ParseOptions(const std::vector<std::string>& args, Options& o, bool& help,
                  std::string& error) {
  help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--help") {
      help = true;
    } else if (name == "--cfg") {
      o.fetchConfig = true;
    } else if (name == "--no-image") {
      o.image.clear();
    } else if (name == "--expect-silence") {
      o.expectSilence = true;
    } else if (name == "--send-nothing") {
      o.sendNothing = true;
    } else if (auto option = kValued.find(name); option == kValued.end()) {
      error = "unknown option " + name;
      return false;
    } else if (i + 1 >= args.size() || !option->second(o, args[++i])) {
      error = "bad or missing value for " + name;
      return false;
    }
  }
  return true;
}

}  // namespace routersim
