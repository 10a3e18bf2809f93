#include "observe/Diagnosis.h"

#include <algorithm>

#include "netcfg/Ipv4.h"

namespace observe {

namespace {

using Repair = Diagnosis::Repair;

constexpr std::uint32_t kBroadcast = 0xFFFFFFFF;

std::uint32_t MaskOf(int prefixLength) {
  return prefixLength <= 0 ? 0 : ~0u << (32 - std::min(prefixLength, 32));
}

std::string SubnetText(const Diagnosis& d) {
  return FormatIpv4(d.ours & MaskOf(d.prefixLength)) + "/" + std::to_string(d.prefixLength);
}

// The Windows firewall's part in `blocked`: the timeline's detail and the
// log's words.
std::string FirewallDetail(const FirewallInfo& f) {
  std::string head = "firewall, " + (f.profile.empty() ? std::string("current") : f.profile) + " profile: ";
  switch (f.verdict) {
    case FirewallInfo::kNoRule: return head + "no rule lets UDP 69 in";
    case FirewallInfo::kBlockRule: return head + "the rule \"" + f.rule + "\" blocks it";
    case FirewallInfo::kBlockAll: return head + "blocks all incoming connections";
    default: return "";
  }
}

std::string FirewallWords(const FirewallInfo& f) {
  std::string network = f.profile == "domain"    ? "域网络"
                        : f.profile == "private" ? "专用网络"
                        : f.profile == "public"  ? "公用网络"
                                                 : "当前网络";
  std::string line = "Terno已出现在网线上，它的请求却没有到达本程序：Windows防火墙在此网络（" + network + "）上";
  switch (f.verdict) {
    case FirewallInfo::kBlockRule:
      return line + "有一条规则（“" + f.rule + "”）拦截本程序。请停用或删除这条规则后重试。";
    case FirewallInfo::kBlockAll:
      return line + "阻止所有传入连接。请在防火墙设置中取消这一项后重试。";
    default:
      return line + "没有允许本程序接收UDP 69端口的规则。请按说明书添加“Brickfix TFTP”规则后重试。";
  }
}

}  // namespace

const char* CauseCode(Cause cause) {
  switch (cause) {
    case Cause::kNoLink: return "no-link";
    case Cause::kNoFrames: return "no-frames";
    case Cause::kRouterExpects: return "router-expects";
    case Cause::kBlocked: return "blocked";
    case Cause::kOtherSubnet: return "other-subnet";
    case Cause::kAddressLost: return "address-lost";
    case Cause::kPortTaken: return "port-taken";
    case Cause::kStalled: return "stalled";
  }
  return "unknown";
}

std::string DetailOf(const Diagnosis& d) {
  switch (d.cause) {
    case Cause::kRouterExpects:
    case Cause::kOtherSubnet:
      return FormatIpv4(d.address);
    case Cause::kStalled:
      return FormatIpv4(d.address) + (d.name.empty() ? "" : " " + d.name);
    case Cause::kBlocked:
      return FirewallDetail(d.firewall);
    case Cause::kPortTaken:
      if (d.pid > 0) return d.name + " pid " + std::to_string(d.pid);
      if (!d.name.empty()) return d.name;
      return d.owner.empty() ? "unknown program" : "a program of user " + d.owner;
    case Cause::kAddressLost: {
      std::string detail;
      switch (d.repair) {
        case Repair::kPutBack: detail = "put back"; break;
        case Repair::kLinkDown: detail = "not put back yet: no link"; break;
        case Repair::kPending: detail = "not put back yet"; break;
        case Repair::kFailed: detail = "could not be put back"; break;
        case Repair::kNone: break;
      }
      return d.name.empty() ? detail : detail + "; taken by " + d.name;
    }
    default:
      return "";
  }
}

std::string LogLineOf(const Diagnosis& d, FirewallKind firewall) {
  std::string head = std::string("诊断（") + CauseCode(d.cause) + "）：";
  std::string ours = FormatIpv4(d.ours);
  switch (d.cause) {
    case Cause::kNoLink:
      return head + "网口没有连接信号。请用网线连接电脑和Terno的黄色LAN口，并确认Terno已通电。";
    case Cause::kNoFrames:
      return head + "网线已连接，但30秒内没有收到Terno的请求。请按住RST更久些，或换个时机松开，重新上电再试。";
    case Cause::kRouterExpects:
      return head + "Terno在寻找地址为" + FormatIpv4(d.address) + "的服务器，而本机是" + ours +
             "。请把这个地址告诉版主。";
    case Cause::kBlocked:
      if (d.firewall.Drops()) return head + FirewallWords(d.firewall);
      return head + "Terno的请求到达了本机，却被防火墙拦下。" +
             (firewall == FirewallKind::kWindows
                  ? "请把此网络设为专用网络，或允许Brickfix接收UDP 69端口。"
                  : "请在nftables/iptables中放行UDP 69端口。");
    case Cause::kOtherSubnet:
      return head + "收到来自" + FormatIpv4(d.address) + "的请求，不在" + SubnetText(d) +
             "网段内，已忽略。Terno使用了另一个地址，请告诉版主。";
    case Cause::kAddressLost: {
      std::string line = head + "本机地址" + ours + "被" + (d.name.empty() ? "其它程序" : d.name) + "移除";
      switch (d.repair) {
        case Repair::kPutBack: return line + "，已自动恢复。";
        case Repair::kLinkDown: return line + "，网线接好后将自动恢复。";
        case Repair::kPending: return line + "，正在恢复。";
        case Repair::kFailed:
        case Repair::kNone: break;
      }
      return line + "，无法恢复。请关闭管理此网卡的程序后重试。";
    }
    case Cause::kPortTaken: {
      std::string holder = !d.name.empty()  ? d.name
                           : d.owner.empty() ? std::string("其它程序")
                                             : "用户" + d.owner + "的程序";
      return head + "UDP 69端口被" + holder + (d.pid > 0 ? "（进程号" + std::to_string(d.pid) + "）" : "") +
             "占用。请关闭它后重试。";
    }
    case Cause::kStalled:
      return head + "传输中途中断，Terno多次没有应答。请检查网线，去掉中间的交换机，或把网口速度固定为100 Mbit/s后重试。";
  }
  return head;
}

DiagnosisEngine::Outcome DiagnosisEngine::OnEvent(const Event& e) {
  Outcome out;
  switch (e.kind) {
    case Event::kWaitBegin:
      m_session = true;
      m_waiting = true;
      m_begun = e.t;
      m_ours = e.address;
      m_prefixLength = e.prefixLength;
      m_reported.reset();
      m_lastFromRouter = e.t;
      m_requestFrames = 0;
      m_requestsHeard = 0;
      m_routerResolved.reset();
      m_present = true;
      m_repairing = m_repairedOk = m_repairFailed = false;
      m_repairs = 0;
      break;
    case Event::kSessionEnd:
      m_session = m_waiting = m_repairing = false;
      break;
    case Event::kCarrierUp:
    case Event::kCarrierDown: {
      Carrier now = e.kind == Event::kCarrierUp ? Carrier::kUp : Carrier::kDown;
      if (now != m_carrier) m_carrierSince = e.t;
      m_carrier = now;
      break;
    }
    case Event::kAddressGone:
      if (!m_present) break;
      m_present = false;
      m_goneAt = e.t;
      m_takenBy = e.text;
      m_repairedOk = m_repairFailed = false;
      m_triedThisLoss = false;
      break;
    case Event::kAddressBack:
      if (m_present) break;
      m_present = true;
      // Back by itself before any repair: nothing to tell.
      if (m_repairedOk) {
        Report({.cause = Cause::kAddressLost, .name = m_takenBy, .repair = Repair::kPutBack}, e.t, out);
      }
      break;
    case Event::kAddressRepaired:
      m_repairing = false;
      m_repairedOk = true;
      if (m_present) {
        Report({.cause = Cause::kAddressLost, .name = m_takenBy, .repair = Repair::kPutBack}, e.t, out);
      }
      break;
    case Event::kRepairFailed:
      m_repairing = false;
      m_repairFailed = true;
      Report({.cause = Cause::kAddressLost, .name = m_takenBy, .repair = Repair::kFailed}, e.t, out);
      break;
    case Event::kFrame:
      OnFrame(e, out);
      break;
    case Event::kNeighbour:
      OnNeighbour(e);
      break;
    case Event::kFirewall:
      m_firewall = e.firewall;
      break;
    case Event::kRequestRead:
      ++m_requestsHeard;
      m_lastFromRouter = e.t;
      m_waiting = false;
      break;
    case Event::kRequestUnusable:  // not served, but not filtered either
      ++m_requestsHeard;
      m_lastFromRouter = e.t;
      break;
    case Event::kRequestIgnored:
      ++m_requestsHeard;
      m_lastFromRouter = e.t;
      Report({.cause = Cause::kOtherSubnet, .address = e.address}, e.t, out);
      break;
    case Event::kPortTaken:
      Report({.cause = Cause::kPortTaken, .name = e.text, .pid = e.pid, .owner = e.owner}, e.t, out);
      break;
    case Event::kTransferStalled:
      Report({.cause = Cause::kStalled, .address = e.address, .name = e.text}, e.t, out);
      break;
    case Event::kStart:
    case Event::kWaitEnd:
    case Event::kEnd:
      break;
  }
  Evaluate(e.t, out);
  return out;
}

DiagnosisEngine::Outcome DiagnosisEngine::Tick(Millis now) {
  Outcome out;
  Evaluate(now, out);
  return out;
}

bool DiagnosisEngine::InOurSubnet(std::uint32_t address) const {
  std::uint32_t mask = MaskOf(m_prefixLength);
  return (address & mask) == (m_ours & mask);
}

bool DiagnosisEngine::ToUs(std::uint32_t address) const {
  return address == m_ours || address == kBroadcast || address == (m_ours | ~MaskOf(m_prefixLength));
}

void DiagnosisEngine::OnFrame(const Event& e, Outcome& out) {
  const FrameInfo& f = e.frame;
  // The capture hands frames up a little after it took them: one taken
  // before this wait began is no evidence of it, and one that comes after
  // a later event does not move the router's last word back.
  if (f.outgoing || e.t < m_begun) return;
  m_lastFromRouter = std::max(m_lastFromRouter, e.t);
  if (f.kind == FrameInfo::kArp) {
    // A request for a server that is not us; neither an announcement of the
    // router's own address nor a probe without one.
    if (m_waiting && f.arpOperation == 1 && f.from != 0 && f.from != m_ours && f.to != m_ours &&
        f.to != f.from) {
      Report({.cause = Cause::kRouterExpects, .address = f.to}, e.t, out);
    }
    return;
  }
  if (f.kind != FrameInfo::kTftpRequest || !ToUs(f.to)) return;
  if (!InOurSubnet(f.from)) {
    Report({.cause = Cause::kOtherSubnet, .address = f.from}, e.t, out);
  } else if (m_waiting && ++m_requestFrames == 2) {
    m_secondRequest = e.t;
  }
}

// Where no frame can be seen, the router shows in the system's neighbour
// table once it has asked for our address (or answered for its own).
void DiagnosisEngine::OnNeighbour(const Event& e) {
  if (!InOurSubnet(e.address) || ToUs(e.address)) return;
  m_lastFromRouter = e.t;
  if (m_waiting && !m_routerResolved) m_routerResolved = e.t;
}

void DiagnosisEngine::Report(Diagnosis d, Millis now, Outcome& out) {
  auto index = static_cast<std::size_t>(d.cause);
  if (!m_session || m_reported.test(index)) return;
  m_reported.set(index);
  d.t = now;
  d.ours = m_ours;
  d.prefixLength = m_prefixLength;
  out.causes.push_back(std::move(d));
}

void DiagnosisEngine::Evaluate(Millis now, Outcome& out) {
  if (!m_session) return;
  if (m_waiting) {
    if (m_carrier == Carrier::kDown && now - std::max(m_carrierSince, m_begun) >= m_timings.noLink) {
      Report({.cause = Cause::kNoLink}, now, out);
    }
    Millis quietSince = std::max(m_begun, m_lastFromRouter);
    if (m_carrier == Carrier::kUp) quietSince = std::max(quietSince, m_carrierSince);
    if (m_carrier != Carrier::kDown && now - quietSince >= m_timings.noFrames) {
      Report({.cause = Cause::kNoFrames}, now, out);
    }
    if (m_requestFrames >= 2 && m_requestsHeard == 0 && now - m_secondRequest >= m_timings.unreadRequest) {
      Report({.cause = Cause::kBlocked}, now, out);
    }
    // Without the frames: the router is there, nothing reached the
    // listener, and the firewall's state says it would not.
    if (m_routerResolved && m_requestsHeard == 0 && m_firewall.Drops() &&
        now - *m_routerResolved >= m_timings.unreadNeighbour) {
      Report({.cause = Cause::kBlocked, .firewall = m_firewall}, now, out);
    }
  }
  if (m_present) return;
  if (now - m_goneAt >= m_timings.addressSettle) {
    Repair repair = m_carrier == Carrier::kDown ? Repair::kLinkDown
                    : m_repairFailed            ? Repair::kFailed
                                                : Repair::kPending;
    Report({.cause = Cause::kAddressLost, .name = m_takenBy, .repair = repair}, now, out);
  }
  // The watchdog: once the link is up, the address goes back, unless it
  // returns by itself within the grace.
  Millis since = m_carrier == Carrier::kUp ? std::max(m_goneAt, m_carrierSince) : m_goneAt;
  if (m_carrier != Carrier::kDown && !m_repairing && m_repairs < m_timings.maxRepairs &&
      now - since >= m_timings.repairGrace &&
      (!m_triedThisLoss || now - m_lastRepair >= m_timings.repairRetry)) {
    m_repairing = true;
    m_triedThisLoss = true;
    ++m_repairs;
    m_lastRepair = now;
    out.repair = true;
  }
}

}  // namespace observe
