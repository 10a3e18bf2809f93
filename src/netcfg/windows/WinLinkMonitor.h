// The chosen adapter on Windows, as the system shows it without a capture
// driver: its carrier and IPv4 addresses (GetIfEntry2,
// GetUnicastIpAddressTable), the neighbours it has resolved
// (GetIpNetTable2), read every 250 ms (Wine 8 sends no change
// notifications), and the firewall's verdict on the router's request, read
// every few seconds. Needs no right.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "observe/Events.h"

// One look at the adapter.
struct LinkReading {
  struct Neighbour {
    std::uint32_t address = 0;  // host byte order
    std::uint64_t mac = 0;
    bool operator==(const Neighbour&) const = default;
  };
  bool carrier = false;
  std::vector<std::uint32_t> addresses;  // host byte order
  std::vector<Neighbour> neighbours;     // resolved by traffic (no static entry)
};

// Reads adapter `index` now. An adapter that has gone has no carrier.
LinkReading ReadLink(std::uint32_t index);

// Tells a sink what changed from one reading to the next: the carrier and
// the addresses at the first reading and at each change; a neighbour once it
// is newly resolved (an address not there before, or another device at it),
// never one that was there at the first reading.
class LinkChanges {
 public:
  void Take(const LinkReading& now, observe::ILinkSink& sink);

 private:
  std::optional<LinkReading> m_last;
};

class WinLinkMonitor : public observe::ILinkMonitor {
 public:
  static constexpr std::chrono::milliseconds kInterval{250};
  static constexpr std::chrono::seconds kFirewallInterval{5};

  // The adapter's interface index and GUID by its connection name.
  using FindAdapter = std::function<bool(const std::string& name, std::uint32_t& index, std::string& guid)>;
  // The firewall's verdict for the network of adapter `guid`, called on the
  // monitor's thread, which has entered COM.
  using ReadFirewallFn = std::function<observe::FirewallInfo(const std::string& guid)>;

  WinLinkMonitor(FindAdapter find, ReadFirewallFn firewall) : m_find(std::move(find)), m_firewall(std::move(firewall)) {}
  ~WinLinkMonitor() override { Stop(); }
  WinLinkMonitor(const WinLinkMonitor&) = delete;
  WinLinkMonitor& operator=(const WinLinkMonitor&) = delete;

  bool Start(const std::string& adapter, observe::ILinkSink& sink) override;
  void Stop() override;

 private:
  void Watch(std::uint32_t index, std::string guid, observe::ILinkSink* sink);

  FindAdapter m_find;
  ReadFirewallFn m_firewall;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::thread m_thread;
};
