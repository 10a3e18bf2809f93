// Running other programs: hidden, from an argument vector (never through a
// shell), with a fixed environment, and with this program's network
// capabilities handed on only where the program needs them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessResult {
  bool started = false;  // false: the program could not be started
  int error = 0;         // the errno value when it could not be started
  int status = -1;       // Run: the exit status; -1 when a signal ended it
  pid_t pid = -1;        // Start: the started process
  std::string output;    // Run: what it wrote to standard output
};

// In a forked child before exec: every signal's default handling, none
// blocked. Async-signal-safe.
void RestoreDefaultSignals();

// The name and start time of process `pid` from /proc/<pid>/stat; false
// once the process has gone or is a zombie.
bool ReadProcessStat(pid_t pid, std::string& name, unsigned long long& startTime);

// A process found running on the machine.
struct RunningProcess {
  pid_t pid = -1;
  std::string name;               // as in /proc/<pid>/comm
  std::vector<std::string> argv;  // its command line
  unsigned long long startTime = 0;  // clock ticks after boot: tells a reused pid apart
};

class IProcessRunner {
 public:
  virtual ~IProcessRunner() = default;
  // The path of `program`: itself when it holds a '/' and is executable, else
  // the first executable of that name in /usr/sbin, /usr/bin, /sbin, /bin.
  // Empty when there is none. The caller's PATH is not searched: a program
  // that runs with our capabilities must not be one the caller planted.
  virtual std::string Find(const std::string& program) = 0;
  // Runs argv[0] (looked up with Find) with the rest as its arguments, waits
  // for it and collects its standard output.
  virtual ProcessResult Run(const std::vector<std::string>& argv) = 0;
  // Run for a question whose failure is an answer (is NetworkManager there,
  // is that profile still there): the program's error text is dropped.
  virtual ProcessResult Probe(const std::vector<std::string>& argv) { return Run(argv); }
  // Starts it in a session of its own and returns once it is running. It is
  // not this process's child: nothing waits for it and it outlives us.
  virtual ProcessResult Start(const std::vector<std::string>& argv) = 0;
  // The processes that share the calling thread's network namespace.
  virtual std::vector<RunningProcess> ListProcesses() = 0;
  // Ends `process` (SIGTERM; SIGKILL when it is still there after two
  // seconds), unless its pid belongs to another process by now. True when
  // it is gone.
  virtual bool StopProcess(const RunningProcess& process) = 0;
};

// fork and exec. The child gets /dev/null for standard input and output
// (except what Run collects), default signal handling, no descriptor of
// ours, the working directory "/", the environment
// PATH=/usr/sbin:/usr/bin:/sbin:/bin and LC_ALL=C, and, when the runner is
// made for it, our permitted network capabilities as ambient ones (else
// none). A program that Run waits for writes its error text to our standard
// error (the diagnostics file while a frontend runs); one that Start leaves
// running, to /dev/null.
class PosixProcessRunner : public IProcessRunner {
 public:
  explicit PosixProcessRunner(bool networkCapabilities = false)
      : m_networkCapabilities(networkCapabilities) {}
  bool PassesNetworkCapabilities() const { return m_networkCapabilities; }
  std::string Find(const std::string& program) override;
  ProcessResult Run(const std::vector<std::string>& argv) override;
  ProcessResult Probe(const std::vector<std::string>& argv) override;
  ProcessResult Start(const std::vector<std::string>& argv) override;
  std::vector<RunningProcess> ListProcesses() override;
  bool StopProcess(const RunningProcess& process) override;

 private:
  bool m_networkCapabilities;
};
