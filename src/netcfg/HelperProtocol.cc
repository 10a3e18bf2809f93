#include "netcfg/HelperProtocol.h"

#include <algorithm>

#include "netcfg/Ipv4.h"
#include "netcfg/RestorePlan.h"

namespace helper {
namespace {

constexpr std::size_t kMaxLabel = 15;  // an interface name's length, as the kernel keeps labels
constexpr std::size_t kMaxText = 512;
constexpr std::size_t kMaxName = 15;
constexpr std::uint8_t kPermanent = 1, kNoPrefixRoute = 2;
constexpr std::uint16_t kRetiredKind = 8;

class Writer {
 public:
  void U8(std::uint8_t v) { m_out.push_back(v); }
  void U16(std::uint16_t v) { Bytes(v, 2); }
  void U32(std::uint32_t v) { Bytes(v, 4); }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  // An address in its byte order ("a.b.c.d" as a, b, c, d).
  void Address(std::uint32_t host) {
    for (int shift = 24; shift >= 0; shift -= 8) U8(static_cast<std::uint8_t>(host >> shift));
  }
  bool Text8(const std::string& text, std::size_t limit) {
    if (text.size() > limit) return false;
    U8(static_cast<std::uint8_t>(text.size()));
    m_out.insert(m_out.end(), text.begin(), text.end());
    return true;
  }
  void Text16(const std::string& text) {
    std::string cut = text.substr(0, kMaxText);
    U16(static_cast<std::uint16_t>(cut.size()));
    m_out.insert(m_out.end(), cut.begin(), cut.end());
  }
  std::vector<std::uint8_t>& out() { return m_out; }

 private:
  void Bytes(std::uint32_t v, int count) {
    for (int i = 0; i < count; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::vector<std::uint8_t> m_out;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : m_in(in) {}
  bool U8(std::uint8_t& v) {
    if (m_at + 1 > m_in.size()) return false;
    v = m_in[m_at++];
    return true;
  }
  bool U16(std::uint16_t& v) {
    std::uint32_t wide = 0;
    if (!Bytes(wide, 2)) return false;
    v = static_cast<std::uint16_t>(wide);
    return true;
  }
  bool U32(std::uint32_t& v) { return Bytes(v, 4); }
  bool I32(std::int32_t& v) {
    std::uint32_t raw = 0;
    if (!U32(raw)) return false;
    v = static_cast<std::int32_t>(raw);
    return true;
  }
  bool Address(std::uint32_t& host) {
    host = 0;
    for (int i = 0; i < 4; ++i) {
      std::uint8_t byte = 0;
      if (!U8(byte)) return false;
      host = (host << 8) | byte;
    }
    return true;
  }
  bool Text(std::string& out, std::size_t length) {
    if (m_at + length > m_in.size()) return false;
    out.assign(reinterpret_cast<const char*>(m_in.data() + m_at), length);
    m_at += length;
    return true;
  }
  bool Text8(std::string& out, std::size_t limit) {
    std::uint8_t length = 0;
    return U8(length) && length <= limit && Text(out, length);
  }
  bool Text16(std::string& out) {
    std::uint16_t length = 0;
    return U16(length) && length <= kMaxText && Text(out, length);
  }
  bool U64(std::uint64_t& v) {
    std::uint32_t low = 0, high = 0;
    if (!U32(low) || !U32(high)) return false;
    v = static_cast<std::uint64_t>(high) << 32 | low;
    return true;
  }
  bool Raw(std::vector<std::uint8_t>& out, std::size_t length) {
    if (m_at + length > m_in.size()) return false;
    out.assign(m_in.begin() + static_cast<std::ptrdiff_t>(m_at),
               m_in.begin() + static_cast<std::ptrdiff_t>(m_at + length));
    m_at += length;
    return true;
  }
  bool AtEnd() const { return m_at == m_in.size(); }

 private:
  bool Bytes(std::uint32_t& v, int count) {
    if (m_at + static_cast<std::size_t>(count) > m_in.size()) return false;
    v = 0;
    for (int i = 0; i < count; ++i) v |= static_cast<std::uint32_t>(m_in[m_at++]) << (8 * i);
    return true;
  }
  std::span<const std::uint8_t> m_in;
  std::size_t m_at = 0;
};

// Dotted text and host-order numbers.
std::optional<std::uint32_t> Parse(const std::string& text) { return ParseIpv4(text); }

std::string Dotted(std::uint32_t host) { return FormatIpv4(host); }

std::uint32_t Mask(int prefixLength) {
  return prefixLength <= 0 ? 0 : ~0u << (32 - prefixLength);
}

bool IsLabel(const std::string& label) {
  return label.size() <= kMaxLabel &&
         std::all_of(label.begin(), label.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

bool NamesAdapter(Kind kind) {
  switch (kind) {
    case Kind::kSetStatic:
    case Kind::kRemoveStatic:
    case Kind::kStartDhcpClient:
    case Kind::kFlushNeighbours:
    case Kind::kOpenTftpListener:
    case Kind::kRestoreAdapter:
    case Kind::kProbeRouter:
    case Kind::kSetDnsServers:
    case Kind::kStartCapture:
      return true;
    default:
      return false;
  }
}

bool EncodeState(const AdapterState& state, Writer& out) {
  if (state.addresses.size() > kMaxAddresses || state.routes.size() > kMaxRoutes) return false;
  out.U8(state.up ? 1 : 0);  // kept in the layout; the helper leaves the link as it is
  out.U8(static_cast<std::uint8_t>(state.addresses.size()));
  out.U8(static_cast<std::uint8_t>(state.routes.size()));
  for (const AdapterAddress& entry : state.addresses) {
    std::optional<std::uint32_t> address = Parse(entry.address);
    std::optional<std::uint32_t> broadcast =
        entry.broadcast.empty() ? std::optional<std::uint32_t>(0) : Parse(entry.broadcast);
    if (!address || !broadcast || entry.prefixLength < 0 || entry.prefixLength > 32) return false;
    out.Address(*address);
    out.U8(static_cast<std::uint8_t>(entry.prefixLength));
    out.U8((entry.permanent ? kPermanent : 0) | (entry.noPrefixRoute ? kNoPrefixRoute : 0));
    out.Address(*broadcast);
    out.U32(entry.validLifetime);
    out.U32(entry.preferredLifetime);
    if (!out.Text8(entry.label, kMaxLabel)) return false;
  }
  for (const AdapterRoute& route : state.routes) {
    std::optional<std::uint32_t> destination = Parse(route.destination);
    std::optional<std::uint32_t> gateway =
        route.gateway.empty() ? std::optional<std::uint32_t>(0) : Parse(route.gateway);
    std::optional<std::uint32_t> source =
        route.source.empty() ? std::optional<std::uint32_t>(0) : Parse(route.source);
    if (!destination || !gateway || !source || route.prefixLength < 0 || route.prefixLength > 32 ||
        route.table != kMainTable || route.type != kUnicastRoute || route.scope < 0 ||
        route.scope > 255) {
      return false;
    }
    out.Address(*destination);
    out.U8(static_cast<std::uint8_t>(route.prefixLength));
    out.Address(*gateway);
    out.Address(*source);
    out.U32(route.metric);
    out.U8(static_cast<std::uint8_t>(route.scope));
  }
  return true;
}

bool DecodeState(Reader& in, AdapterState& state) {
  std::uint8_t up = 0, addresses = 0, routes = 0;
  if (!in.U8(up) || up > 1 || !in.U8(addresses) || addresses > kMaxAddresses || !in.U8(routes) ||
      routes > kMaxRoutes) {
    return false;
  }
  state.up = up == 1;
  for (int i = 0; i < addresses; ++i) {
    AdapterAddress entry;
    std::uint32_t address = 0, broadcast = 0;
    std::uint8_t prefix = 0, flags = 0;
    if (!in.Address(address) || !in.U8(prefix) || prefix > 32 || !in.U8(flags) ||
        (flags & ~(kPermanent | kNoPrefixRoute)) || !in.Address(broadcast) ||
        !in.U32(entry.validLifetime) || !in.U32(entry.preferredLifetime) ||
        !in.Text8(entry.label, kMaxLabel)) {
      return false;
    }
    entry.address = Dotted(address);
    entry.prefixLength = prefix;
    entry.permanent = flags & kPermanent;
    entry.noPrefixRoute = flags & kNoPrefixRoute;
    if (broadcast) entry.broadcast = Dotted(broadcast);
    state.addresses.push_back(entry);
  }
  for (int i = 0; i < routes; ++i) {
    AdapterRoute route;
    std::uint32_t destination = 0, gateway = 0, source = 0;
    std::uint8_t prefix = 0, scope = 0;
    if (!in.Address(destination) || !in.U8(prefix) || prefix > 32 || !in.Address(gateway) ||
        !in.Address(source) || !in.U32(route.metric) || !in.U8(scope)) {
      return false;
    }
    route.destination = Dotted(destination);
    route.prefixLength = prefix;
    if (gateway) route.gateway = Dotted(gateway);
    if (source) route.source = Dotted(source);
    route.protocol = kStaticRouteProtocol;
    route.scope = scope;
    route.table = kMainTable;
    route.type = kUnicastRoute;
    state.routes.push_back(route);
  }
  return true;
}

void Header(Writer& out, Kind kind) {
  out.U32(kMagic);
  out.U16(kVersion);
  out.U16(static_cast<std::uint16_t>(kind));
}

std::optional<Kind> ReadHeader(Reader& in) {
  std::uint32_t magic = 0;
  std::uint16_t version = 0, kind = 0;
  if (!in.U32(magic) || magic != kMagic || !in.U16(version) || version != kVersion ||
      !in.U16(kind)) {
    return std::nullopt;
  }
  return KindOf(kind);
}

}  // namespace

std::optional<Kind> KindOf(std::uint16_t value) {
  if (value < static_cast<std::uint16_t>(Kind::kStatus) || value > static_cast<std::uint16_t>(kLastKind) ||
      value == kRetiredKind) {
    return std::nullopt;
  }
  return static_cast<Kind>(value);
}

StaticIpv4 SetupValues(Setup setup) {
  return setup == Setup::kRecovery ? StaticIpv4{"192.168.1.88", 24, "192.168.1.1", 1}
                                   : StaticIpv4{"192.168.199.88", 24, "192.168.199.1", 1};
}

std::optional<Setup> SetupOf(const StaticIpv4& values) {
  for (Setup setup : {Setup::kRecovery, Setup::kLan}) {
    if (SetupValues(setup) == values) return setup;
  }
  return std::nullopt;
}

std::string DhcpKindName(DhcpKind kind) {
  switch (kind) {
    case DhcpKind::kDhclient: return "dhclient";
    case DhcpKind::kDhcpcd: return "dhcpcd";
    case DhcpKind::kUdhcpc: return "udhcpc";
    default: return "";
  }
}

std::optional<DhcpKind> DhcpKindOf(const std::string& name) {
  for (DhcpKind kind : {DhcpKind::kAny, DhcpKind::kDhclient, DhcpKind::kDhcpcd, DhcpKind::kUdhcpc}) {
    if (DhcpKindName(kind) == name) return kind;
  }
  return std::nullopt;
}

bool IsAcceptableState(const AdapterState& state) {
  if (state.addresses.size() > kMaxAddresses || state.routes.size() > kMaxRoutes) return false;
  std::vector<std::uint32_t> own;
  for (const AdapterAddress& entry : state.addresses) {
    std::optional<std::uint32_t> address = Parse(entry.address);
    if (!address || entry.prefixLength < 0 || entry.prefixLength > 32 || !IsLabel(entry.label) ||
        (!entry.broadcast.empty() && !Parse(entry.broadcast))) {
      return false;
    }
    own.push_back(*address);
  }
  for (const AdapterRoute& route : state.routes) {
    std::optional<std::uint32_t> destination = Parse(route.destination);
    if (!destination || route.prefixLength < 0 || route.prefixLength > 32 ||
        (*destination & ~Mask(route.prefixLength)) != 0 || route.table != kMainTable ||
        route.type != kUnicastRoute || route.scope < 0 || route.scope > 255 ||
        (!route.gateway.empty() && !Parse(route.gateway))) {
      return false;
    }
    if (!route.source.empty()) {
      std::optional<std::uint32_t> source = Parse(route.source);
      if (!source || std::find(own.begin(), own.end(), *source) == own.end()) return false;
    }
  }
  return true;
}

bool IsAcceptableDns(bool fromDhcp, const std::vector<std::string>& servers) {
  if (fromDhcp) return servers.empty();
  return servers.size() <= kMaxDnsServers &&
         std::all_of(servers.begin(), servers.end(), [](const std::string& server) {
           std::optional<std::uint32_t> address = Parse(server);
           return address && IsHostAddress(*address);
         });
}

std::vector<std::uint8_t> EncodeRequest(const Request& request) {
  Writer out;
  Header(out, request.kind);
  if (NamesAdapter(request.kind)) out.I32(request.ifindex);
  switch (request.kind) {
    case Kind::kSetStatic:
      out.U8(static_cast<std::uint8_t>(request.setup));
      out.U8(request.dhcpBefore ? 1 : 0);
      out.U8(static_cast<std::uint8_t>(request.dhcp));
      break;
    case Kind::kRemoveStatic:
      out.U8(static_cast<std::uint8_t>(request.setup));
      break;
    case Kind::kStartDhcpClient:
      out.U8(static_cast<std::uint8_t>(request.dhcp));
      break;
    case Kind::kRestoreAdapter:
      if (!IsAcceptableState(request.state) || !EncodeState(request.state, out)) return {};
      break;
    case Kind::kSetDnsServers:
      if (!IsAcceptableDns(request.dnsFromDhcp, request.dnsServers)) return {};
      out.U8(request.dnsFromDhcp ? 1 : 0);
      out.U8(static_cast<std::uint8_t>(request.dnsServers.size()));
      for (const std::string& server : request.dnsServers) out.Address(*Parse(server));
      break;
    default:
      break;
  }
  if (out.out().size() > kMaxMessage) return {};
  return std::move(out.out());
}

std::optional<Request> DecodeRequest(std::span<const std::uint8_t> message) {
  if (message.size() > kMaxMessage) return std::nullopt;
  Reader in(message);
  std::optional<Kind> kind = ReadHeader(in);
  if (!kind || *kind == Kind::kCapturedFrame) return std::nullopt;
  Request request;
  request.kind = *kind;
  if (NamesAdapter(*kind) && (!in.I32(request.ifindex) || request.ifindex <= 0)) return std::nullopt;
  std::uint8_t value = 0;
  switch (*kind) {
    case Kind::kSetStatic:
    case Kind::kRemoveStatic:
      if (!in.U8(value) || (value != static_cast<std::uint8_t>(Setup::kRecovery) &&
                            value != static_cast<std::uint8_t>(Setup::kLan))) {
        return std::nullopt;
      }
      request.setup = static_cast<Setup>(value);
      if (*kind == Kind::kSetStatic) {
        std::uint8_t before = 0;
        if (!in.U8(before) || before > 1 || !in.U8(value) ||
            value > static_cast<std::uint8_t>(DhcpKind::kUdhcpc)) {
          return std::nullopt;
        }
        request.dhcpBefore = before == 1;
        request.dhcp = static_cast<DhcpKind>(value);
      }
      break;
    case Kind::kStartDhcpClient:
      if (!in.U8(value) || value > static_cast<std::uint8_t>(DhcpKind::kUdhcpc)) return std::nullopt;
      request.dhcp = static_cast<DhcpKind>(value);
      break;
    case Kind::kRestoreAdapter:
      if (!DecodeState(in, request.state) || !IsAcceptableState(request.state)) return std::nullopt;
      break;
    case Kind::kSetDnsServers: {
      std::uint8_t count = 0;
      if (!in.U8(value) || value > 1 || !in.U8(count) || count > kMaxDnsServers) return std::nullopt;
      request.dnsFromDhcp = value == 1;
      for (int i = 0; i < count; ++i) {
        std::uint32_t address = 0;
        if (!in.Address(address)) return std::nullopt;
        request.dnsServers.push_back(Dotted(address));
      }
      if (!IsAcceptableDns(request.dnsFromDhcp, request.dnsServers)) return std::nullopt;
      break;
    }
    default:
      break;
  }
  if (!in.AtEnd()) return std::nullopt;
  return request;
}

std::vector<std::uint8_t> EncodeReply(const Reply& reply) {
  Writer out;
  Header(out, reply.kind);
  out.U8(static_cast<std::uint8_t>(reply.status));
  out.Text16(reply.text);
  if (reply.kind == Kind::kStatus) {
    const HelperRights& r = reply.rights;
    out.U8(static_cast<std::uint8_t>(r.netAdmin | r.netRaw << 1 | r.bindService << 2 |
                                     r.pingSocket << 3 | r.port69Open << 4));
  } else if (reply.kind == Kind::kProbeRouter) {
    out.U8(reply.reached ? 1 : 0);
  } else if (reply.kind == Kind::kListAdapters) {
    std::size_t count = 0;
    Writer entries;
    for (const AdapterEntry& entry : reply.adapters) {
      if (count == 255 || entry.name.size() > kMaxName) continue;
      entries.I32(entry.index);
      entries.Text8(entry.name, kMaxName);
      ++count;
    }
    out.U8(static_cast<std::uint8_t>(count));
    out.out().insert(out.out().end(), entries.out().begin(), entries.out().end());
  }
  return std::move(out.out());
}

std::optional<Reply> DecodeReply(std::span<const std::uint8_t> message) {
  if (message.size() > kMaxMessage) return std::nullopt;
  Reader in(message);
  std::optional<Kind> kind = ReadHeader(in);
  std::uint8_t status = 0;
  Reply reply;
  if (!kind || !in.U8(status) || status > static_cast<std::uint8_t>(Status::kInvalid) ||
      !in.Text16(reply.text)) {
    return std::nullopt;
  }
  reply.kind = *kind;
  reply.status = static_cast<Status>(status);
  if (*kind == Kind::kStatus) {
    std::uint8_t flags = 0;
    if (!in.U8(flags)) return std::nullopt;
    reply.rights = {(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0, (flags & 8) != 0,
                    (flags & 16) != 0};
  } else if (*kind == Kind::kProbeRouter) {
    std::uint8_t reached = 0;
    if (!in.U8(reached) || reached > 1) return std::nullopt;
    reply.reached = reached == 1;
  } else if (*kind == Kind::kListAdapters) {
    std::uint8_t count = 0;
    if (!in.U8(count)) return std::nullopt;
    for (int i = 0; i < count; ++i) {
      AdapterEntry entry;
      if (!in.I32(entry.index) || !in.Text8(entry.name, kMaxName)) return std::nullopt;
      reply.adapters.push_back(entry);
    }
  }
  if (!in.AtEnd()) return std::nullopt;
  return reply;
}

std::vector<std::uint8_t> EncodeCapturedFrame(const CapturedFrame& frame) {
  Writer out;
  Header(out, Kind::kCapturedFrame);
  out.U32(static_cast<std::uint32_t>(frame.monotonicNs));
  out.U32(static_cast<std::uint32_t>(frame.monotonicNs >> 32));
  out.U8(frame.outgoing ? 1 : 0);
  out.U32(frame.wireLength);
  std::size_t length = std::min(frame.bytes.size(), kSnapLength);
  out.U16(static_cast<std::uint16_t>(length));
  out.out().insert(out.out().end(), frame.bytes.begin(), frame.bytes.begin() + static_cast<std::ptrdiff_t>(length));
  return std::move(out.out());
}

bool IsCapturedFrame(std::span<const std::uint8_t> message) {
  Reader in(message);
  std::optional<Kind> kind = ReadHeader(in);
  return kind == Kind::kCapturedFrame;
}

std::optional<CapturedFrame> DecodeCapturedFrame(std::span<const std::uint8_t> message) {
  Reader in(message);
  CapturedFrame frame;
  std::uint8_t outgoing = 0;
  std::uint16_t length = 0;
  if (ReadHeader(in) != Kind::kCapturedFrame || !in.U64(frame.monotonicNs) || !in.U8(outgoing) ||
      outgoing > 1 || !in.U32(frame.wireLength) || !in.U16(length) || length > kSnapLength ||
      length > frame.wireLength || !in.Raw(frame.bytes, length) || !in.AtEnd()) {
    return std::nullopt;
  }
  frame.outgoing = outgoing == 1;
  return frame;
}

}  // namespace helper
