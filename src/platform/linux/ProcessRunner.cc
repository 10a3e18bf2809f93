#include "platform/linux/ProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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

// In the forked child: standard streams, signals, descriptors, capabilities,
// then the program. Only async-signal-safe calls. Never returns.
[[noreturn]] void ExecChild(const ExecPlan& plan, int devNull, int stdoutFd, int reportFd) {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  dup2(devNull, STDIN_FILENO);
  dup2(stdoutFd, STDOUT_FILENO);
  dup2(devNull, STDERR_FILENO);
  CloseInheritedDescriptors();
  PassNetworkCapabilitiesToChild();
  execve(plan.path.c_str(), plan.argv.data(), kEnvironment);
  WriteReport(reportFd, kReportExecError, errno);
  _exit(127);
}

bool Prepare(IProcessRunner& runner, const std::vector<std::string>& argv, ExecPlan& plan,
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
  for (std::string& arg : plan.args) plan.argv.push_back(arg.data());
  plan.argv.push_back(nullptr);
  return true;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
  ProcessResult result;
  ExecPlan plan;
  if (!Prepare(*this, argv, plan, result)) return result;
  ScopedFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
  Pipe output, report;
  if (!devNull.valid() || !output.Open() || !report.Open()) {
    result.error = errno;
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ExecChild(plan, devNull.get(), output.write.get(), report.write.get());
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
    if (pid == 0) ExecChild(plan, devNull.get(), devNull.get(), report.write.get());
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
