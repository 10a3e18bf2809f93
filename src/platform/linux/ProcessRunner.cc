#include "platform/linux/ProcessRunner.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/linux/NetworkRights.h"
#include "platform/linux/ScopedFd.h"

namespace {

constexpr const char* kSystemDirs[] = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};
char kPathVar[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
char kLocaleVar[] = "LC_ALL=C";
char* const kEnvironment[] = {kPathVar, kLocaleVar, nullptr};

// What travels from the forked processes back to the parent on the report pipe.
enum ReportKind : int { kReportPid = 1, kReportExecError, kReportForkError };
struct Report {
  int kind;
  int value;
};

// Everything the child needs, built before fork: a child of a threaded
// process must not allocate.
struct ExecPlan {
  std::string path;
  std::vector<std::string> args;
  std::vector<char*> argv;
  bool networkCapabilities = false;
};

struct Pipe {
  ScopedFd read, write;
  bool Open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read.Reset(fds[0]);
    write.Reset(fds[1]);
    return true;
  }
};

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

void WriteReport(int fd, int kind, int value) {
  Report report{kind, value};
  while (write(fd, &report, sizeof report) < 0 && errno == EINTR) {
  }
}

// Reads reports until every writer has closed the pipe (a successful exec
// closes it). Returns the errno of a failed exec or fork, 0 when the program
// runs; `pid` gets the started process's id when one is reported.
int ReadReports(int fd, pid_t* pid) {
  Report report{};
  for (;;) {
    ssize_t n = read(fd, &report, sizeof report);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof report)) return 0;
    if (report.kind != kReportPid) return report.value;
    if (pid) *pid = report.value;
  }
}

void CloseInheritedDescriptors() {
  if (close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) == 0) return;
  long max = sysconf(_SC_OPEN_MAX);
  for (int fd = 3; fd < (max > 0 ? max : 1024); ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

void RestoreDefaultSignals() {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

namespace {

// In the forked child: standard streams, signals, descriptors, the working
// directory "/", capabilities, then the program. Only async-signal-safe
// calls. Never returns.
[[noreturn]] void ExecChild(const ExecPlan& plan, int devNull, int stdoutFd, int stderrFd,
                            int reportFd) {
  RestoreDefaultSignals();
  dup2(devNull, STDIN_FILENO);
  dup2(stdoutFd, STDOUT_FILENO);
  if (stderrFd != STDERR_FILENO) dup2(stderrFd, STDERR_FILENO);
  CloseInheritedDescriptors();
  if (chdir("/") != 0) _exit(127);
  if (plan.networkCapabilities) PassNetworkCapabilitiesToChild();
  execve(plan.path.c_str(), plan.argv.data(), kEnvironment);
  WriteReport(reportFd, kReportExecError, errno);
  _exit(127);
}

bool Prepare(PosixProcessRunner& runner, const std::vector<std::string>& argv, ExecPlan& plan,
             ProcessResult& result) {
  if (argv.empty()) {
    result.error = EINVAL;
    return false;
  }
  plan.path = runner.Find(argv[0]);
  if (plan.path.empty()) {
    result.error = ENOENT;
    return false;
  }
  plan.args = argv;
  plan.networkCapabilities = runner.PassesNetworkCapabilities();
  for (std::string& arg : plan.args) plan.argv.push_back(arg.data());
  plan.argv.push_back(nullptr);
  return true;
}

bool SameProcess(const RunningProcess& process) {
  std::string name;
  unsigned long long startTime = 0;
  return ReadProcessStat(process.pid, name, startTime) && name == process.name &&
         startTime == process.startTime;
}

// What tells a network namespace apart: each has its own /proc/<pid>/net
// entries, whose inode numbers are unique while it lives. Unlike the link
// /proc/<pid>/ns/net, they can be read without the right to trace the
// process, so a program that has given up its capabilities still sees root's
// DHCP client.
std::string NetworkNamespaceOf(const std::string& procDir) {
  struct stat st {};
  if (stat((procDir + "/net/dev").c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProcessResult RunCollecting(PosixProcessRunner& runner, const std::vector<std::string>& argv, bool quiet) {
  ProcessResult result;
  ExecPlan plan;
  if (!Prepare(runner, argv, plan, result)) return result;
  ScopedFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
  Pipe output, report;
  if (!devNull.valid() || !output.Open() || !report.Open()) {
    result.error = errno;
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ExecChild(plan, devNull.get(), output.write.get(), quiet ? devNull.get() : STDERR_FILENO,
              report.write.get());
  }
  output.write.Reset();
  report.write.Reset();
  if (pid < 0) {
    result.error = errno;
    return result;
  }
  result.error = ReadReports(report.read.get(), nullptr);
  result.started = result.error == 0;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(output.read.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  int status = WaitFor(pid);
  if (result.started) result.status = status;
  return result;
}

}  // namespace

std::string PosixProcessRunner::Find(const std::string& program) {
  if (program.empty()) return "";
  if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : "";
  for (const char* dir : kSystemDirs) {
    std::string path = std::string(dir) + "/" + program;
    if (IsExecutableFile(path)) return path;
  }
  return "";
}

ProcessResult PosixProcessRunner::Run(const std::vector<std::string>& argv) {
  return RunCollecting(*this, argv, false);
}

ProcessResult PosixProcessRunner::Probe(const std::vector<std::string>& argv) {
  return RunCollecting(*this, argv, true);
}

ProcessResult PosixProcessRunner::Start(const std::vector<std::string>& argv) {
  ProcessResult result;
  ExecPlan plan;
  if (!Prepare(*this, argv, plan, result)) return result;
  ScopedFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
  Pipe report;
  if (!devNull.valid() || !report.Open()) {
    result.error = errno;
    return result;
  }
  // The intermediate process leaves our session and exits at once, so the
  // program is adopted by init and never becomes a zombie of ours.
  pid_t middle = fork();
  if (middle == 0) {
    setsid();
    pid_t pid = fork();
    if (pid == 0) ExecChild(plan, devNull.get(), devNull.get(), devNull.get(), report.write.get());
    if (pid < 0) WriteReport(report.write.get(), kReportForkError, errno);
    else WriteReport(report.write.get(), kReportPid, pid);
    _exit(0);
  }
  report.write.Reset();
  if (middle < 0) {
    result.error = errno;
    return result;
  }
  pid_t pid = -1;
  result.error = ReadReports(report.read.get(), &pid);
  WaitFor(middle);
  result.started = result.error == 0 && pid > 0;
  if (result.started) result.pid = pid;
  else if (result.error == 0) result.error = ECHILD;
  return result;
}

std::vector<RunningProcess> PosixProcessRunner::ListProcesses() {
  std::vector<RunningProcess> out;
  std::string ours = NetworkNamespaceOf("/proc/thread-self");
  DIR* proc = opendir("/proc");
  if (!proc || ours.empty()) {
    if (proc) closedir(proc);
    return out;
  }
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 1 || *end != '\0') continue;
    std::string dir = std::string("/proc/") + entry->d_name;
    if (NetworkNamespaceOf(dir) != ours) continue;
    RunningProcess process;
    process.pid = static_cast<pid_t>(pid);
    if (!ReadProcessStat(process.pid, process.name, process.startTime)) continue;
    std::ifstream in(dir + "/cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t start = 0; start < cmdline.size();) {
      std::size_t zero = cmdline.find('\0', start);
      if (zero == std::string::npos) zero = cmdline.size();
      process.argv.push_back(cmdline.substr(start, zero - start));
      start = zero + 1;
    }
    out.push_back(std::move(process));
  }
  closedir(proc);
  return out;
}

bool PosixProcessRunner::StopProcess(const RunningProcess& process) {
  if (process.pid <= 1) return false;
  auto waitGone = [&](std::chrono::milliseconds limit) {
    for (auto deadline = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < deadline;) {
      if (!SameProcess(process)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !SameProcess(process);
  };
  if (!SameProcess(process)) return true;
  if (kill(process.pid, SIGTERM) != 0) return errno == ESRCH;
  if (waitGone(std::chrono::seconds(2))) return true;
  if (SameProcess(process)) kill(process.pid, SIGKILL);
  return waitGone(std::chrono::seconds(1));
}

bool ReadProcessStat(pid_t pid, std::string& name, unsigned long long& startTime) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  std::size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) {
    return false;
  }
  name = stat.substr(open + 1, close - open - 1);
  // After the name: state (field 3) ... starttime (field 22).
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 3 && field == "Z") return false;
    if (i == 22) startTime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return true;
}
