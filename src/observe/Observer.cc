#include "observe/Observer.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "app/BrickfixDlg.h"
#include "netcfg/Ipv4.h"
#include "observe/FrameDecoder.h"

namespace observe {

namespace {

using Clock = std::chrono::steady_clock;

int PrefixOf(const std::string& mask) {
  std::optional<std::uint32_t> bits = ParseIpv4(mask);
  return bits ? std::popcount(*bits) : 0;
}

}  // namespace

Observer::Observer(ObserverParts parts) : m_parts(std::move(parts)), m_engine(m_parts.timings) {
  if (!m_parts.clock) m_parts.clock = [] { return Clock::now(); };
  m_start = m_parts.clock();
  m_wallStart = std::chrono::system_clock::now();
  Actions ignored;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle({.kind = Event::kStart, .text = m_parts.program}, ignored);
  }
  m_repairThread = std::thread([this] { RepairLoop(); });
  if (m_parts.ticker) m_tickThread = std::thread([this] { TickLoop(); });
}

Observer::~Observer() {
  Finish();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_tickWake.notify_all();
  m_repairWake.notify_all();
  if (m_tickThread.joinable()) m_tickThread.join();
  m_repairThread.join();
}

Millis Observer::Now() const {
  return std::chrono::duration_cast<Millis>(m_parts.clock() - m_start);
}

// ---- From the wizard and the TFTP service ----

void Observer::WaitBegins(CBrickfixDlg* dlg, const NetCommand& command) {
  Actions actions;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished) return;
    m_dlg = dlg;
    m_command = command;
    m_adapter = command.adapter;
    m_recovery = ParseIpv4(command.address).value_or(0);
    Handle({.kind = Event::kWaitBegin, .t = Now(), .address = m_recovery,
            .prefixLength = PrefixOf(command.mask), .text = command.adapter},
           actions);
    // A new wait after a failed flash starts with the address as it is: one
    // that went meanwhile is still to be put back.
    if (m_present == false) Handle({.kind = Event::kAddressGone, .t = Now(), .address = m_recovery}, actions);
    actions.status = "";
  }
  Carry(actions);
  {
    std::lock_guard<std::mutex> lock(m_monitorMutex);
    if (!m_monitoring && m_parts.monitor) m_monitoring = m_parts.monitor->Start(command.adapter, *this);
  }
  StartCapture(command.adapter);
}

void Observer::AddressReleased() {
  std::lock_guard<std::mutex> repair(m_repairMutex);
  Actions actions;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished || !m_engine.InSession()) return;
    m_repairWanted = false;
    Handle({.kind = Event::kSessionEnd, .t = Now()}, actions);
    actions.status = "";
  }
  Carry(actions);
  StopCapture(false);
}

void Observer::RequestRead(std::uint32_t address, std::uint16_t port, const std::string& file) {
  Post({.kind = Event::kRequestRead, .address = address, .port = port, .text = file});
}

void Observer::RequestIgnored(std::uint32_t address, std::uint16_t port) {
  Post({.kind = Event::kRequestIgnored, .address = address, .port = port});
}

void Observer::RequestUnusable(std::uint32_t address, std::uint16_t port) {
  Post({.kind = Event::kRequestUnusable, .address = address, .port = port});
}

void Observer::PortTaken(std::uint16_t port) {
  std::optional<PortHolder> holder = m_parts.findPortHolder ? m_parts.findPortHolder(port) : PortHolder{};
  // Nobody holds it: the port was refused for want of rights, which the
  // program says from its start.
  if (!holder) return;
  Post({.kind = Event::kPortTaken, .port = port, .pid = holder->pid, .text = holder->name,
        .owner = holder->owner});
}

void Observer::TransferStalled(std::uint32_t address, std::uint16_t port, const std::string& file) {
  Post({.kind = Event::kTransferStalled, .address = address, .port = port, .text = file});
}

// ---- From the link monitor and the capture ----

void Observer::OnCarrier(bool up) {
  Actions actions;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished || m_carrier == up) return;
    m_carrier = up;
    Handle({.kind = up ? Event::kCarrierUp : Event::kCarrierDown, .t = Now()}, actions);
  }
  Carry(actions);
}

void Observer::OnAddresses(const std::vector<std::uint32_t>& addresses) {
  std::uint32_t recovery;
  std::string adapter;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_engine.InSession()) {
      m_present.reset();  // the wizard's own changes are not watched
      return;
    }
    recovery = m_recovery;
    adapter = m_adapter;
  }
  bool present = std::find(addresses.begin(), addresses.end(), recovery) != addresses.end();
  std::string taker = !present && m_parts.findAddressTaker ? m_parts.findAddressTaker(adapter) : "";
  Actions actions;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished || !m_engine.InSession() || m_present == present) return;
    bool known = m_present.has_value();
    m_present = present;
    if (!present) {
      Handle({.kind = Event::kAddressGone, .t = Now(), .address = recovery, .text = taker}, actions);
    } else if (known) {
      Handle({.kind = Event::kAddressBack, .t = Now(), .address = recovery}, actions);
    }
  }
  Carry(actions);
}

void Observer::OnNeighbour(std::uint32_t address) { Post({.kind = Event::kNeighbour, .address = address}); }

void Observer::OnFirewall(const FirewallInfo& firewall) { Post({.kind = Event::kFirewall, .firewall = firewall}); }

void Observer::OnFrame(Clock::time_point when, bool outgoing, std::span<const std::uint8_t> bytes,
                       std::size_t wireLength) {
  std::optional<FrameInfo> info = DecodeFrame(bytes);
  if (!info) return;  // not a frame the capture should have handed up
  info->outgoing = outgoing;
  auto sinceStart = when - m_start;
  auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
      (m_wallStart + std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceStart))
          .time_since_epoch());
  Actions actions;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished) return;
    if (!m_capture) m_capture = std::make_unique<PcapngRing>(m_adapter);
    m_capture->Add(static_cast<std::uint64_t>(std::max<long long>(wall.count(), 0)), outgoing, bytes,
                   wireLength);
    m_captureDirty = true;
    Handle({.kind = Event::kFrame, .t = std::chrono::duration_cast<Millis>(sinceStart),
            .frame = std::move(*info)},
           actions);
  }
  Carry(actions);
}

// ---- The clocks and the end ----

void Observer::Tick() {
  Actions actions;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished) return;
    Millis now = Now();
    Take(m_engine.Tick(now), actions);
    if (m_captureDirty && now - m_lastSave >= kCaptureSaveInterval) actions.saveCapture = true;
  }
  Carry(actions);
}

void Observer::Finish() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished) return;
    Actions ignored;
    Handle({.kind = Event::kEnd, .t = Now()}, ignored);
    m_finished = true;
  }
  StopCapture(true);
  SaveCapture(true);
  std::lock_guard<std::mutex> lock(m_monitorMutex);
  if (m_monitoring) m_parts.monitor->Stop();
  m_monitoring = false;
}

// ---- Inside ----

void Observer::Post(Event event) {
  Actions actions;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished) return;
    event.t = Now();
    Handle(event, actions);
  }
  Carry(actions);
}

void Observer::Handle(const Event& event, Actions& actions) {
  if (m_parts.timeline && (event.kind != Event::kFrame || ++m_frameLines <= kMaxFrameLines)) {
    m_parts.timeline->Write(TimelineLine(event));
  }
  bool waiting = m_engine.Waiting();
  Take(m_engine.OnEvent(event), actions);
  if (waiting && !m_engine.Waiting() && event.kind == Event::kRequestRead) {
    if (m_parts.timeline) m_parts.timeline->Write(TimelineLine(Event{.kind = Event::kWaitEnd, .t = event.t}));
    actions.status = "";  // whatever was wrong, the router has asked
    actions.stopCapture = true;
  }
}

void Observer::Take(DiagnosisEngine::Outcome outcome, Actions& actions) {
  actions.dlg = m_dlg;
  for (const Diagnosis& d : outcome.causes) {
    if (m_parts.timeline) m_parts.timeline->Write(TimelineLine(d));
    std::string line = LogLineOf(d, m_parts.firewall);
    actions.lines.push_back(line);
    actions.status = line;
    actions.saveCapture = true;
  }
  if (outcome.repair) {
    m_repairWanted = true;
    actions.repair = true;
  }
}

// What Handle decided, done without the lock: the console waits for the
// user-interface thread.
void Observer::Carry(Actions& actions) {
  if (actions.stopCapture) {
    // Not on the caller's thread: the TFTP listener goes on at once.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_captureStopWanted = true;
  }
  if (actions.repair || actions.stopCapture) m_repairWake.notify_all();
  if (actions.dlg) {
    for (const std::string& line : actions.lines) actions.dlg->PrintText(line, true);
    if (actions.status) actions.dlg->ShowStatus(*actions.status);
  }
  if (actions.saveCapture) SaveCapture(false);
}

void Observer::SaveCapture(bool always) {
  if (!m_parts.saveCapture) return;
  std::lock_guard<std::mutex> saving(m_saveMutex);
  std::string file;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_capture || (!m_captureDirty && !always)) return;
    file = m_capture->File();
    m_captureDirty = false;
    m_lastSave = Now();
  }
  m_parts.saveCapture(file);
}

void Observer::StartCapture(const std::string& adapter) {
  std::lock_guard<std::mutex> lock(m_captureMutex);
  if (!m_capturing && m_parts.capture) m_capturing = m_parts.capture->Start(adapter, *this);
}

void Observer::StopCapture(bool always) {
  std::lock_guard<std::mutex> lock(m_captureMutex);
  if (!m_capturing) return;
  if (!always) {
    // A wait that began meanwhile keeps it.
    std::lock_guard<std::mutex> inner(m_mutex);
    if (m_engine.Waiting() && !m_finished) return;
  }
  m_parts.capture->Stop();
  m_capturing = false;
}

void Observer::TickLoop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_stopping) {
    if (m_tickWake.wait_for(lock, kTickInterval, [this] { return m_stopping; })) return;
    lock.unlock();
    Tick();
    lock.lock();
  }
}

// The watchdog's hands: the recovery address goes back the way the wizard
// set it. AddressReleased waits for a repair under way, so none runs once
// the wizard moves the adapter on.
void Observer::RepairLoop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_repairWake.wait(lock, [this] { return m_stopping || m_repairWanted || m_captureStopWanted; });
    if (m_stopping) return;
    if (std::exchange(m_captureStopWanted, false)) {
      lock.unlock();
      StopCapture(false);
      lock.lock();
      continue;
    }
    lock.unlock();
    std::optional<bool> done;
    {
      std::lock_guard<std::mutex> repair(m_repairMutex);
      NetCommand command;
      INetOps* net = nullptr;
      {
        std::lock_guard<std::mutex> inner(m_mutex);
        if (m_repairWanted && m_engine.InSession() && m_dlg) {
          command = m_command;
          net = m_dlg->services().net;
        }
        m_repairWanted = false;
      }
      if (net) done = net->Execute(command);
    }
    if (done) Post({.kind = *done ? Event::kAddressRepaired : Event::kRepairFailed});
    lock.lock();
  }
}

}  // namespace observe
