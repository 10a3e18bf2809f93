// The observer of the recovery link, for the wizard and the TFTP service:
// it hears the link monitor, the capture's frames and the TFTP service,
// feeds the diagnosis, tells the operator each cause once per wait (a log
// line and the status strip), keeps the run's timeline and the capture, and
// puts the recovery address back when it goes (the watchdog). Portable: the
// system's parts come in through ObserverParts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Ports.h"
#include "observe/Diagnosis.h"
#include "observe/Events.h"
#include "observe/Pcapng.h"
#include "observe/Timeline.h"

namespace observe {

struct ObserverParts {
  ILinkMonitor* monitor = nullptr;    // none: carrier and addresses are not watched
  // Hands the link's frames to the observer while it waits for the router:
  // from the start of each wait until the router's first request is read;
  // none: only what the TFTP service reads shows the router.
  ICapture* capture = nullptr;
  ITimelineSink* timeline = nullptr;  // none: no timeline
  // Keeps the capture (the whole pcapng file each time); none: frames are
  // decoded but not kept.
  std::function<void(const std::string& file)> saveCapture;
  // Who holds a UDP port; nothing when no socket holds it (the port could
  // not be had for another reason). None: the holder is unknown.
  std::function<std::optional<PortHolder>(std::uint16_t port)> findPortHolder;
  // Which program may have taken the address of an adapter ("" unknown).
  std::function<std::string(const std::string& adapter)> findAddressTaker;
  FirewallKind firewall = FirewallKind::kLinux;
  Timings timings;
  std::string program;  // the timeline's first line: version and system
  // Tick() by a thread of the observer every kTickInterval; tests tick by hand.
  bool ticker = true;
  std::function<std::chrono::steady_clock::time_point()> clock;  // steady_clock::now by default
};

class Observer : public IObserver, public ILinkSink, public IFrameSink {
 public:
  static constexpr std::chrono::milliseconds kTickInterval{200};
  static constexpr std::chrono::milliseconds kCaptureSaveInterval{2000};
  static constexpr int kMaxFrameLines = 1000;  // frames beyond are in the capture only

  explicit Observer(ObserverParts parts);
  // Finish(), then waits for its threads.
  ~Observer() override;
  Observer(const Observer&) = delete;
  Observer& operator=(const Observer&) = delete;

  // IObserver: the wizard and the TFTP service.
  void WaitBegins(CBrickfixDlg* dlg, const NetCommand& command) override;
  void AddressReleased() override;
  void RequestRead(std::uint32_t address, std::uint16_t port, const std::string& file) override;
  void RequestIgnored(std::uint32_t address, std::uint16_t port) override;
  void RequestUnusable(std::uint32_t address, std::uint16_t port) override;
  void PortTaken(std::uint16_t port) override;
  void TransferStalled(std::uint32_t address, std::uint16_t port, const std::string& file) override;

  // ILinkSink: the link monitor.
  void OnCarrier(bool up) override;
  void OnAddresses(const std::vector<std::uint32_t>& addresses) override;
  void OnNeighbour(std::uint32_t address) override;
  void OnFirewall(const FirewallInfo& firewall) override;

  // IFrameSink: the capture (the network helper on Linux).
  void OnFrame(std::chrono::steady_clock::time_point when, bool outgoing,
               std::span<const std::uint8_t> bytes, std::size_t wireLength) override;

  // Looks at the clocks of the diagnosis and the watchdog.
  void Tick();
  // The run ends: the last line of the timeline, the capture kept, the
  // monitor stopped. Idempotent.
  void Finish();

 private:
  // What to do once the lock is released.
  struct Actions {
    CBrickfixDlg* dlg = nullptr;
    std::vector<std::string> lines;
    std::optional<std::string> status;
    bool repair = false;
    bool saveCapture = false;
    bool stopCapture = false;  // the wait is over: the frames are no longer needed
  };

  Millis Now() const;
  // Feeds `event` to the timeline and the diagnosis; under m_mutex.
  void Handle(const Event& event, Actions& actions);
  void Take(DiagnosisEngine::Outcome outcome, Actions& actions);
  void Carry(Actions& actions);
  void Post(Event event);
  void SaveCapture(bool always);
  // Starts the capture for a wait; stops it unless a wait (or, with
  // `always`, anything) still needs it.
  void StartCapture(const std::string& adapter);
  void StopCapture(bool always);
  // The observer's hands: the watchdog's repairs and the capture's stop.
  void RepairLoop();
  void TickLoop();

  ObserverParts m_parts;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::system_clock::time_point m_wallStart;

  std::mutex m_mutex;  // guards everything below but the threads
  DiagnosisEngine m_engine;
  CBrickfixDlg* m_dlg = nullptr;
  NetCommand m_command;
  std::string m_adapter;
  std::uint32_t m_recovery = 0;
  std::optional<bool> m_carrier;
  std::optional<bool> m_present;
  std::unique_ptr<PcapngRing> m_capture;
  bool m_captureDirty = false;
  Millis m_lastSave{0};
  int m_frameLines = 0;
  bool m_finished = false;
  bool m_repairWanted = false;
  bool m_captureStopWanted = false;
  bool m_stopping = false;
  std::condition_variable m_tickWake;
  std::condition_variable m_repairWake;

  // Held while the watchdog puts the address back, and by AddressReleased
  // (taken before m_mutex).
  std::mutex m_repairMutex;
  std::mutex m_saveMutex;     // one save of the capture at a time
  std::mutex m_monitorMutex;  // guards m_monitoring and the monitor's Start and Stop
  bool m_monitoring = false;
  std::mutex m_captureMutex;  // guards m_capturing and the capture's Start and Stop
  bool m_capturing = false;
  std::thread m_repairThread;
  std::thread m_tickThread;
};

}  // namespace observe
