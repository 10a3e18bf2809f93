#include "netcfg/linux/HelperClient.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifndef BRICKFIX_HELPER_DIR
#define BRICKFIX_HELPER_DIR "../libexec/brickfix"
#endif

namespace helper {
namespace {

constexpr const char* kHelperName = "brickfix-nethelper";
constexpr int kHelperSocket = 3;  // the helper's end of the socketpair
constexpr int kHelperLock = 4;    // the run lock's file, when there is one

char kPathVar[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
char kLocaleVar[] = "LC_ALL=C";
char* const kEnvironment[] = {kPathVar, kLocaleVar, nullptr};

// A helper that cannot be asked is like a kernel that cannot be: refused.
KernelResult ResultOf(const std::optional<Reply>& reply) {
  if (!reply) return KernelResult::kRefused;
  switch (reply->status) {
    case Status::kDone: return KernelResult::kDone;
    case Status::kRefused: return KernelResult::kRefused;
    default: return KernelResult::kFailed;
  }
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// In a forked child: a session of its own, the socket as descriptor 3, the
// lock file (if any) as 4, /dev/null for the standard streams, default
// signals and "/"; every other descriptor closes on exec. False, with
// errno, when that cannot be done. Only async-signal-safe calls.
bool PrepareHelperChild(int socket, int lockFd, int& reportFd) {
  RestoreDefaultSignals();
  setsid();  // no terminal: its keys and hang-up are the program's business
  int high = fcntl(socket, F_DUPFD_CLOEXEC, 10);
  int lockHigh = lockFd >= 0 ? fcntl(lockFd, F_DUPFD_CLOEXEC, 10) : -1;
  if (reportFd >= 0) reportFd = fcntl(reportFd, F_DUPFD_CLOEXEC, 10);
  int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (high < 0 || (lockFd >= 0 && lockHigh < 0) || devNull < 0 || dup2(devNull, 0) < 0 ||
      dup2(devNull, 1) < 0 || dup2(devNull, 2) < 0 || dup2(high, kHelperSocket) < 0 ||
      (lockHigh >= 0 && dup2(lockHigh, kHelperLock) < 0) || chdir("/") != 0) {
    return false;
  }
  int firstOther = lockHigh >= 0 ? kHelperLock + 1 : kHelperSocket + 1;
  if (close_range(firstOther, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = firstOther; fd < 1024; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (lockHigh < 0) close(kHelperLock);
  return true;
}

[[noreturn]] void ExecHelper(const char* path, int socket, int lockFd, int report) {
  int error = 0;
  if (!PrepareHelperChild(socket, lockFd, report)) {
    error = errno;
  } else {
    PassNetworkCapabilitiesToChild();
    char name[] = "brickfix-nethelper";
    char* argv[] = {name, nullptr};
    execve(path, argv, kEnvironment);
    error = errno;
  }
  ssize_t ignored = write(report, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::string& path, int lockFd, std::string& error) {
  int pair[2], report[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    error = std::string("socketpair: ") + std::strerror(errno);
    return nullptr;
  }
  ScopedFd ours(pair[0]), theirs(pair[1]);
  if (pipe2(report, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  ScopedFd reportRead(report[0]), reportWrite(report[1]);
  pid_t pid = fork();
  if (pid == 0) ExecHelper(path.c_str(), theirs.get(), lockFd, reportWrite.get());
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    return nullptr;
  }
  theirs.Reset();
  reportWrite.Reset();
  int execError = 0;
  ssize_t n;
  do {
    n = read(reportRead.get(), &execError, sizeof execError);
  } while (n < 0 && errno == EINTR);
  std::unique_ptr<HelperProcess> process(new HelperProcess(std::move(ours), pid));
  if (n == static_cast<ssize_t>(sizeof execError)) {
    error = path + ": " + std::strerror(execError);
    return nullptr;  // the child has exited; the destructor reaps it
  }
  return Answering(std::move(process), path, error);
}

std::unique_ptr<HelperProcess> HelperProcess::Fork(int lockFd, std::string& error) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    error = std::string("socketpair: ") + std::strerror(errno);
    return nullptr;
  }
  ScopedFd ours(pair[0]), theirs(pair[1]);
  pid_t pid = fork();
  if (pid == 0) {
    int noReport = -1;
    if (!PrepareHelperChild(theirs.get(), lockFd, noReport)) _exit(127);
    // Of this process it keeps the network capabilities, the socket and the
    // lock; nothing of it may be read from outside.
    if (close_range(kHelperLock + 1, ~0u, 0) != 0) {
      for (int fd = kHelperLock + 1; fd < 1024; ++fd) close(fd);
    }
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    prctl(PR_SET_NAME, "brickfix-helper", 0, 0, 0);
    KeepOnlyNetworkCapabilities();
    _exit(RunHelper(kHelperSocket, lockFd >= 0 ? kHelperLock : -1, ""));
  }
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    return nullptr;
  }
  theirs.Reset();
  return Answering(std::unique_ptr<HelperProcess>(new HelperProcess(std::move(ours), pid)),
                   "the program's own helper", error);
}

std::unique_ptr<HelperProcess> HelperProcess::Answering(std::unique_ptr<HelperProcess> process,
                                                        const std::string& what, std::string& error) {
  // It runs: it must answer as a helper of this version does.
  std::vector<std::uint8_t> reply;
  ScopedFd passed;
  Request status;
  status.kind = Kind::kStatus;
  std::optional<Reply> answer;
  if (process->Exchange(EncodeRequest(status), reply, passed)) answer = DecodeReply(reply);
  if (!answer || answer->kind != Kind::kStatus || answer->status != Status::kDone) {
    error = what + " does not answer as the network helper of this version";
    kill(process->m_pid, SIGKILL);
    return nullptr;
  }
  return process;
}

HelperProcess::~HelperProcess() {
  // Closing our end ends the helper.
  Close();
  if (m_pid > 0) {
    while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

namespace {

// Frames read during exchanges that the frames' thread has not handed on
// yet, at most; more are dropped.
constexpr std::size_t kMaxPendingFrames = 256;
// Frames the frames' thread reads in one turn at most.
constexpr int kFramesPerTurn = 64;

}  // namespace

bool SocketConnection::Exchange(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& reply,
                                ScopedFd& passed) {
  std::lock_guard<std::mutex> lock(m_mutex);
  passed.Reset();
  if (request.empty() || !m_socket.valid()) return false;
  ssize_t sent;
  do {
    sent = send(m_socket.get(), request.data(), request.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(request.size())) return false;
  // Frames of a capture may come before the reply.
  for (;;) {
    reply.assign(kMaxMessage + 1, 0);
    std::vector<ScopedFd> descriptors;
    bool truncated = false;
    ssize_t n = ReceiveMessage(m_socket.get(), reply, descriptors, truncated);
    if (n <= 0 || truncated) return false;
    reply.resize(static_cast<std::size_t>(n));
    if (IsCapturedFrame(reply)) {
      Keep(reply);
      continue;
    }
    if (!descriptors.empty()) passed = std::move(descriptors.front());  // any others close
    return true;
  }
}

void SocketConnection::Keep(std::span<const std::uint8_t> message) {
  std::optional<CapturedFrame> frame = DecodeCapturedFrame(message);
  std::lock_guard<std::mutex> lock(m_framesMutex);
  if (!frame || !m_sink || !m_wake.valid() || m_pending.size() >= kMaxPendingFrames) return;
  m_pending.push_back(std::move(*frame));
  std::uint64_t one = 1;
  ssize_t ignored = write(m_wake.get(), &one, sizeof one);
  (void)ignored;
}

void SocketConnection::WatchFrames(observe::IFrameSink* sink) {
  std::lock_guard<std::mutex> lock(m_framesMutex);
  m_sink = sink;
  if (!sink) m_pending.clear();
  if (!sink || m_reader.joinable() || m_stopping || !m_socket.valid()) return;
  m_wake.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (m_wake.valid()) m_reader = std::thread([this] { ReadFrames(); });
}

// The frames' thread: reads the frames that come while no exchange is under
// way (an exchange keeps those it meets) and hands them to the sink,
// without holding a lock, so that the sink may take its time.
void SocketConnection::ReadFrames() {
  pollfd watched[] = {{m_socket.get(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
  for (;;) {
    if (poll(watched, std::size(watched), -1) < 0 && errno != EINTR) return;
    if (watched[1].revents) {
      std::uint64_t count = 0;
      ssize_t ignored = read(m_wake.get(), &count, sizeof count);
      (void)ignored;
    }
    if (watched[0].revents) {
      std::lock_guard<std::mutex> lock(m_mutex);  // after an exchange under way
      for (int i = 0; i < kFramesPerTurn; ++i) {
        std::vector<std::uint8_t> message(kMaxMessage + 1);
        std::vector<ScopedFd> descriptors;
        bool truncated = false;
        ssize_t n = ReceiveMessage(m_socket.get(), message, descriptors, truncated, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          watched[0].fd = -1;  // the helper has gone: no more frames
          break;
        }
        if (n < 0) break;
        message.resize(static_cast<std::size_t>(n));
        if (!truncated && IsCapturedFrame(message)) Keep(message);  // no reply waits: nothing else comes
      }
    }
    std::deque<CapturedFrame> frames;
    observe::IFrameSink* sink;
    {
      std::lock_guard<std::mutex> lock(m_framesMutex);
      if (m_stopping) return;
      frames.swap(m_pending);
      sink = m_sink;
    }
    for (const CapturedFrame& frame : frames) {
      if (!sink) break;
      std::chrono::steady_clock::time_point taken{std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::nanoseconds(frame.monotonicNs))};
      sink->OnFrame(taken, frame.outgoing, frame.bytes, frame.wireLength);
    }
  }
}

void SocketConnection::Close() {
  {
    std::lock_guard<std::mutex> lock(m_framesMutex);
    m_stopping = true;
    m_sink = nullptr;
    if (m_wake.valid()) {
      std::uint64_t one = 1;
      ssize_t ignored = write(m_wake.get(), &one, sizeof one);
      (void)ignored;
    }
  }
  if (m_reader.joinable()) m_reader.join();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_socket.Reset();
}

std::optional<Reply> Client::Ask(const Request& request, ScopedFd* passed) {
  std::vector<std::uint8_t> bytes = EncodeRequest(request);
  if (bytes.empty()) {
    std::fprintf(stderr, "brickfix: the network helper is not asked for what it would refuse\n");
    return std::nullopt;
  }
  std::vector<std::uint8_t> answer;
  ScopedFd fd;
  if (!m_connection.Exchange(bytes, answer, fd)) {
    std::fprintf(stderr, "brickfix: the network helper has gone\n");
    return std::nullopt;
  }
  std::optional<Reply> reply = DecodeReply(answer);
  if (!reply || reply->kind != request.kind) {
    std::fprintf(stderr, "brickfix: the network helper's reply is not one of this version\n");
    return std::nullopt;
  }
  if (reply->status != Status::kDone && !reply->text.empty()) {
    std::fprintf(stderr, "brickfix: the network helper: %s\n", reply->text.c_str());
  }
  if (passed) *passed = std::move(fd);
  return reply;
}

std::optional<Reply> Client::Status() {
  Request request;
  request.kind = Kind::kStatus;
  std::optional<Reply> reply = Ask(request);
  if (!reply || reply->status != Status::kDone) return std::nullopt;
  return reply;
}

std::optional<HelperRights> Client::Rights() {
  std::optional<Reply> reply = Status();
  if (!reply) return std::nullopt;
  return reply->rights;
}

std::optional<std::int32_t> Client::IndexOf(const std::string& ifname) {
  Request request;
  request.kind = Kind::kListAdapters;
  std::optional<Reply> reply = Ask(request);
  if (!reply || reply->status != Status::kDone) return std::nullopt;
  for (const AdapterEntry& entry : reply->adapters) {
    if (entry.name == ifname) return entry.index;
  }
  return std::nullopt;
}

KernelResult Client::AskAdapter(Request request, const std::string& ifname) {
  std::optional<std::int32_t> index = IndexOf(ifname);
  if (!index) return KernelResult::kFailed;
  request.ifindex = *index;
  return ResultOf(Ask(request));
}

KernelResult Client::AskSetup(Kind kind, const std::string& ifname, const StaticIpv4& setup) {
  std::optional<Setup> which = SetupOf(setup);
  if (!which) return KernelResult::kFailed;
  Request request;
  request.kind = kind;
  request.setup = *which;
  if (kind == Kind::kSetStatic) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto it = m_servedBefore.find(ifname); it != m_servedBefore.end()) {
      std::optional<DhcpKind> before = DhcpKindOf(it->second);
      request.dhcpBefore = before && *before != DhcpKind::kAny;
      request.dhcp = before.value_or(DhcpKind::kAny);
    }
  }
  return AskAdapter(request, ifname);
}

KernelResult Client::SetStatic(const std::string& ifname, const StaticIpv4& setup) {
  return AskSetup(Kind::kSetStatic, ifname, setup);
}

void Client::NoteServedBefore(const std::string& ifname, const std::string& kind) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_servedBefore[ifname] = kind;
}

KernelResult Client::RemoveStatic(const std::string& ifname, const StaticIpv4& setup) {
  return AskSetup(Kind::kRemoveStatic, ifname, setup);
}

KernelResult Client::FlushNeighbours(const std::string& ifname) {
  Request request;
  request.kind = Kind::kFlushNeighbours;
  return AskAdapter(request, ifname);
}

KernelResult Client::RestoreAdapter(const std::string& ifname, const AdapterState& state) {
  Request request;
  request.kind = Kind::kRestoreAdapter;
  request.state = state;
  return AskAdapter(request, ifname);
}

bool Client::StartDhcpClient(const std::string& ifname, const std::string& preferred) {
  Request request;
  request.kind = Kind::kStartDhcpClient;
  request.dhcp = DhcpKindOf(preferred).value_or(DhcpKind::kAny);
  return AskAdapter(request, ifname) == KernelResult::kDone;
}

ScopedFd Client::OpenTftpListener(const std::string& ifname) {
  std::optional<std::int32_t> index = IndexOf(ifname);
  if (!index) return ScopedFd();
  Request request;
  request.kind = Kind::kOpenTftpListener;
  request.ifindex = *index;
  ScopedFd fd;
  std::optional<Reply> reply = Ask(request, &fd);
  if (!reply || reply->status != Status::kDone) return ScopedFd();
  return fd;
}

std::optional<bool> Client::ProbeRouter(const std::string& ifname) {
  Request request;
  request.kind = Kind::kProbeRouter;
  std::optional<std::int32_t> index = IndexOf(ifname);
  if (!index) return std::nullopt;
  request.ifindex = *index;
  std::optional<Reply> reply = Ask(request);
  if (!reply || reply->status != Status::kDone) return std::nullopt;
  return reply->reached;
}

bool Client::StartCapture(const std::string& ifname, observe::IFrameSink& sink) {
  std::optional<std::int32_t> index = IndexOf(ifname);
  if (!index) return false;
  Request request;
  request.kind = Kind::kStartCapture;
  request.ifindex = *index;
  m_connection.WatchFrames(&sink);
  if (ResultOf(Ask(request)) == KernelResult::kDone) return true;
  m_connection.WatchFrames(nullptr);
  return false;
}

void Client::StopCapture() {
  Request request;
  request.kind = Kind::kStopCapture;
  Ask(request);
  m_connection.WatchFrames(nullptr);
}

bool Client::Goodbye() {
  Request request;
  request.kind = Kind::kGoodbye;
  return ResultOf(Ask(request)) == KernelResult::kDone;
}

std::vector<std::string> HelperCandidates(const std::string& programPath) {
  std::filesystem::path dir = std::filesystem::path(programPath).parent_path();
  return {(dir / BRICKFIX_HELPER_DIR / kHelperName).lexically_normal().string(),
          (dir / kHelperName).string()};
}

NetworkAccess* NetworkAccess::Open(int lockFd, const std::optional<Account>& invoker, std::string& error) {
  auto* access = new NetworkAccess;
  char self[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::vector<std::string> candidates =
      HelperCandidates(n > 0 ? std::string(self, static_cast<std::size_t>(n)) : "/usr/bin/brickfix");
  access->m_helperPath = candidates.front();
  for (const std::string& path : candidates) {
    if (!IsExecutableFile(path)) continue;
    access->m_helperPath = path;
    access->m_connection = HelperProcess::Start(path, lockFd, access->m_helperError);
    break;
  }
  // Without a helper program that runs, this process forks its own: the
  // rights never share a process with the window.
  if (!access->m_connection) {
    std::string forkError;
    access->m_connection = HelperProcess::Fork(lockFd, forkError);
    if (!access->m_connection) {
      access->m_helperError += (access->m_helperError.empty() ? "" : "; ") + forkError;
      access->m_connection = std::make_unique<NoHelper>();
    }
  }
  if (!GiveUpRights(invoker, error)) return nullptr;
  access->m_client = std::make_unique<Client>(*access->m_connection);
  access->m_kernel = std::make_unique<HelperKernel>(*access->m_client);
  access->m_dhcp = std::make_unique<HelperDhcpStarter>(*access->m_client);
  access->m_capture = std::make_unique<HelperCapture>(*access->m_client);
  return access;
}

std::string NetworkAccess::Notice() {
  NetworkRights rights;
  std::string limit;
  if (std::optional<Reply> status = m_client->Status()) {
    const HelperRights& helper = status->rights;
    rights = {helper.netAdmin, helper.netRaw, helper.bindService, helper.pingSocket, helper.port69Open};
    limit = status->text;
  }
  std::string notice = DescribeMissingNetworkRights(rights, m_helperPath);
  for (const std::string* why : {&limit, &m_helperError}) {
    if (!notice.empty() && !why->empty()) notice += " (" + *why + ")";
  }
  return notice;
}

}  // namespace helper
