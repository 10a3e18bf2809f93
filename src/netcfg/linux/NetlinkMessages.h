// Reading rtnetlink messages: the fixed body after the header and the
// attributes after the body, never past the message's own length.
#pragma once

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace netlink {

// Calls `fn` for each attribute after the fixed body `Body` of `msg`.
template <class Body, class Fn>
void ForEachAttr(const nlmsghdr& msg, Fn fn) {
  auto* data = static_cast<const char*>(NLMSG_DATA(const_cast<nlmsghdr*>(&msg)));
  auto* attr = reinterpret_cast<const rtattr*>(data + NLMSG_ALIGN(sizeof(Body)));
  int length = static_cast<int>(msg.nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof(Body)));
  for (; RTA_OK(attr, length); attr = RTA_NEXT(attr, length)) fn(*attr);
}

template <class Body>
const Body& BodyOf(const nlmsghdr& msg) {
  return *static_cast<const Body*>(NLMSG_DATA(const_cast<nlmsghdr*>(&msg)));
}

inline std::uint32_t AttrU32(const rtattr& attr) {
  std::uint32_t value = 0;
  std::memcpy(&value, RTA_DATA(&attr), std::min<std::size_t>(RTA_PAYLOAD(&attr), sizeof value));
  return value;
}

inline std::string AttrText(const rtattr& attr) {
  auto* text = static_cast<const char*>(RTA_DATA(const_cast<rtattr*>(&attr)));
  return std::string(text, strnlen(text, RTA_PAYLOAD(&attr)));
}

}  // namespace netlink
