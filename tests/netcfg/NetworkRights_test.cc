// The notice about missing network rights.
#include "platform/linux/NetworkRights.h"

#include <gtest/gtest.h>
#include <fstream>
#include <string>

namespace {

const char* const kSetcap =
    "chgrp brickfix /opt/bf/brickfix && chmod 0750 /opt/bf/brickfix && "
    "setcap cap_net_admin,cap_net_raw,cap_net_bind_service+ep /opt/bf/brickfix";

TEST(NetworkRightsTest, NoNoticeWhenEverythingCanWork) {
  struct Case {
    const char* what;
    NetworkRights rights;
  } cases[] = {
      {"all capabilities", {true, true, true, false, false}},
      {"ping socket and open low ports stand in", {true, false, false, true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DescribeMissingNetworkRights(c.rights, "/opt/bf/brickfix"), "");
  }
}

TEST(NetworkRightsTest, NoticeNamesWhatWillFailAndHowToFixIt) {
  struct Case {
    const char* what;
    NetworkRights rights;
    const char* chinese;
    const char* english;
  } cases[] = {
      {"nothing", {}, "设置网卡地址、69 端口和探测路由器（ping）将失败",
       "the address change, port 69 and the ping will fail"},
      {"only the address", {false, true, true, false, false}, "：设置网卡地址将失败",
       "Missing rights: the address change will fail"},
      {"port and ping", {true, false, false, false, false}, "：69 端口和探测路由器（ping）将失败",
       "Missing rights: port 69 and the ping will fail"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string notice = DescribeMissingNetworkRights(c.rights, "/opt/bf/brickfix");
    EXPECT_NE(notice.find(c.chinese), std::string::npos) << notice;
    EXPECT_NE(notice.find(c.english), std::string::npos) << notice;
    EXPECT_NE(notice.find(kSetcap), std::string::npos) << notice;
    EXPECT_NE(notice.find("root"), std::string::npos);
    EXPECT_EQ(notice.find('\n'), std::string::npos);  // one line
  }
}

TEST(NetworkRightsTest, RightsFollowThePermittedCapabilities) {
  std::ifstream status("/proc/self/status");
  unsigned long long permitted = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapPrm:", 0) == 0) permitted = std::stoull(line.substr(7), nullptr, 16);
  }
  NetworkRights rights = ReadNetworkRights();
  EXPECT_EQ(rights.bindService, (permitted >> 10) & 1);
  EXPECT_EQ(rights.netAdmin, (permitted >> 12) & 1);
  EXPECT_EQ(rights.netRaw, (permitted >> 13) & 1);
}

}  // namespace
