// The Linux side of the firmware tests' support: the local cloud is a
// server in this process, which the Linux tests can also stop.
#pragma once

#include "cloud/CloudServer.h"
#include "firmware/FirmwareTestSupport.h"

namespace fwtest {

struct LocalCloud::Impl {
  std::string address;
  bool plain = false;
  TempDir releases;
  std::unique_ptr<CloudServer> server;
  bool started = false;
};

}  // namespace fwtest
