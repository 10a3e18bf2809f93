// The chosen adapter's carrier and IPv4 addresses, as rtnetlink announces
// them. Needs no right: any program may listen to the kernel's link and
// address events of its own network namespace.
#pragma once

#include <string>
#include <thread>

#include "observe/Events.h"
#include "platform/linux/ScopedFd.h"

class LinkMonitor : public observe::ILinkMonitor {
 public:
  LinkMonitor() = default;
  ~LinkMonitor() override { Stop(); }
  LinkMonitor(const LinkMonitor&) = delete;
  LinkMonitor& operator=(const LinkMonitor&) = delete;

  // Listens on a thread of its own, in the network namespace of the caller:
  // first the adapter's state as it is, then each change. An adapter that
  // goes away counts as one without carrier.
  bool Start(const std::string& adapter, observe::ILinkSink& sink) override;
  void Stop() override;

 private:
  void Listen(int index, observe::ILinkSink* sink);

  ScopedFd m_socket;
  ScopedFd m_stop;  // an eventfd that ends the thread
  std::thread m_thread;
};
