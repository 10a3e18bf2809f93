#include "observe/Timeline.h"

#include <cstdio>

#include "console/Text.h"
#include "netcfg/Ipv4.h"

namespace observe {

namespace {

// Builds one object field by field.
class Line {
 public:
  Line(Millis t, const char* event) {
    long long ms = t.count() < 0 ? 0 : t.count();
    char time[32];
    std::snprintf(time, sizeof time, "%lld.%03lld", ms / 1000, ms % 1000);
    m_text = std::string("{\"t\":") + time + ",\"event\":\"" + event + "\"";
  }
  Line& Text(const char* name, std::string_view value) {
    m_text += std::string(",\"") + name + "\":" + JsonString(value);
    return *this;
  }
  Line& Number(const char* name, long long value) {
    m_text += std::string(",\"") + name + "\":" + std::to_string(value);
    return *this;
  }
  Line& Address(const char* name, std::uint32_t address) { return Text(name, FormatIpv4(address)); }
  std::string Done() { return m_text + "}\n"; }

 private:
  std::string m_text;
};

const char* FrameKindName(FrameInfo::Kind kind) {
  switch (kind) {
    case FrameInfo::kArp: return "arp";
    case FrameInfo::kTftpRequest: return "tftp-request";
    case FrameInfo::kTftp: return "tftp";
    case FrameInfo::kIcmp: return "icmp";
  }
  return "other";
}

void AddFrame(Line& line, const FrameInfo& f) {
  line.Text("frame", FrameKindName(f.kind)).Text("dir", f.outgoing ? "out" : "in");
  line.Address("from", f.from).Address("to", f.to);
  switch (f.kind) {
    case FrameInfo::kArp:
      line.Number("op", f.arpOperation);
      break;
    case FrameInfo::kTftpRequest:
    case FrameInfo::kTftp:
      line.Number("from_port", f.fromPort).Number("to_port", f.toPort).Number("opcode", f.opcode);
      if (f.kind == FrameInfo::kTftpRequest) line.Text("file", f.fileName);
      break;
    case FrameInfo::kIcmp:
      line.Number("type", f.icmpType).Number("code", f.icmpCode);
      break;
  }
}

const char* VerdictName(FirewallInfo::Verdict verdict) {
  switch (verdict) {
    case FirewallInfo::kUnknown: return "unknown";
    case FirewallInfo::kLetsIn: return "lets-in";
    case FirewallInfo::kNoRule: return "no-rule";
    case FirewallInfo::kBlockRule: return "block-rule";
    case FirewallInfo::kBlockAll: return "block-all";
  }
  return "unknown";
}

}  // namespace

const char* EventName(Event::Kind kind) {
  switch (kind) {
    case Event::kStart: return "start";
    case Event::kWaitBegin: return "wait-begin";
    case Event::kWaitEnd: return "wait-end";
    case Event::kSessionEnd: return "watch-end";
    case Event::kCarrierUp: return "carrier-up";
    case Event::kCarrierDown: return "carrier-down";
    case Event::kAddressGone: return "address-gone";
    case Event::kAddressBack: return "address-back";
    case Event::kAddressRepaired: return "address-repaired";
    case Event::kRepairFailed: return "address-repair-failed";
    case Event::kFrame: return "frame";
    case Event::kRequestRead: return "request-read";
    case Event::kRequestIgnored: return "request-ignored";
    case Event::kRequestUnusable: return "request-unusable";
    case Event::kPortTaken: return "port-taken";
    case Event::kTransferStalled: return "transfer-stalled";
    case Event::kEnd: return "end";
    case Event::kNeighbour: return "neighbour";
    case Event::kFirewall: return "firewall";
  }
  return "unknown";
}

std::string JsonString(std::string_view text) {
  std::string clean = SanitizeForDisplay(text);
  std::string out = "\"";
  for (char c : clean) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string TimelineLine(const Event& e) {
  Line line(e.t, EventName(e.kind));
  switch (e.kind) {
    case Event::kStart:
      line.Text("program", e.text);
      break;
    case Event::kWaitBegin:
      line.Text("adapter", e.text).Address("address", e.address).Number("prefix", e.prefixLength);
      break;
    case Event::kAddressGone:
      if (!e.text.empty()) line.Text("by", e.text);
      break;
    case Event::kFrame:
      AddFrame(line, e.frame);
      break;
    case Event::kRequestRead:
      line.Address("from", e.address).Number("port", e.port).Text("file", e.text);
      break;
    case Event::kRequestIgnored:
    case Event::kRequestUnusable:
      line.Address("from", e.address).Number("port", e.port);
      break;
    case Event::kPortTaken:
      line.Number("port", e.port).Text("holder", e.text);
      if (e.pid > 0) line.Number("pid", e.pid);
      if (!e.owner.empty()) line.Text("user", e.owner);
      break;
    case Event::kTransferStalled:
      line.Address("to", e.address).Number("port", e.port).Text("file", e.text);
      break;
    case Event::kNeighbour:
      line.Address("address", e.address);
      break;
    case Event::kFirewall:
      line.Text("verdict", VerdictName(e.firewall.verdict));
      if (!e.firewall.profile.empty()) line.Text("profile", e.firewall.profile);
      if (!e.firewall.rule.empty()) line.Text("rule", e.firewall.rule);
      break;
    default:
      break;
  }
  return line.Done();
}

std::string TimelineLine(const Diagnosis& d) {
  return Line(d.t, "diagnosis").Text("cause", CauseCode(d.cause)).Text("detail", DetailOf(d)).Done();
}

}  // namespace observe
