// The real process runner: what a started program gets and what comes back.
#include "platform/linux/ProcessRunner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/linux/Diagnostics.h"
#include "platform/linux/ScopedFd.h"

namespace {

// The value of a "Name:\tvalue" line of /proc/<pid>/status text.
std::string StatusField(const std::string& status, const std::string& name) {
  std::istringstream in(status);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  }
  return "";
}

bool Alive(pid_t pid) {
  // A process that ended but is not yet reaped by init counts as ended.
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string text((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
  return !text.empty() && StatusField(text, "State").rfind("Z", 0) != 0;
}

TEST(ProcessRunnerTest, FindsProgramsOnlyInTheSystemDirectories) {
  PosixProcessRunner runner;
  EXPECT_EQ(runner.Find("true"), "/usr/bin/true");  // /usr/sbin first, then /usr/bin
  EXPECT_EQ(runner.Find("no-such-program-here"), "");
  EXPECT_EQ(runner.Find("/etc/passwd"), "");  // exists, not executable
  EXPECT_EQ(runner.Find("/etc"), "");         // not a file
  EXPECT_EQ(runner.Find("/bin/true"), "/bin/true");
  EXPECT_EQ(runner.Find(""), "");
}

TEST(ProcessRunnerTest, RunReportsExitStatusOutputAndStartFailures) {
  PosixProcessRunner runner;
  ProcessResult ok = runner.Run({"true"});
  EXPECT_TRUE(ok.started);
  EXPECT_EQ(ok.status, 0);
  ProcessResult failed = runner.Run({"false"});
  EXPECT_TRUE(failed.started);  // it ran: the status is the caller's business
  EXPECT_EQ(failed.status, 1);
  ProcessResult echo = runner.Run({"echo", "a b", "c"});
  EXPECT_EQ(echo.output, "a b c\n");  // arguments are passed as they are, no shell
  ProcessResult missing = runner.Run({"no-such-program-here"});
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_FALSE(runner.Run({}).started);
}

TEST(ProcessRunnerTest, ChildGetsAFixedEnvironmentAndNoneOfOurDescriptors) {
  PosixProcessRunner runner;
  ::setenv("BRICKFIX_TEST_LEAK", "1", 1);
  EXPECT_EQ(runner.Run({"env"}).output, "PATH=/usr/sbin:/usr/bin:/sbin:/bin\nLC_ALL=C\n");
  ::unsetenv("BRICKFIX_TEST_LEAK");
  ScopedFd inheritable(open("/dev/null", O_RDONLY));  // deliberately without O_CLOEXEC
  ASSERT_TRUE(inheritable.valid());
  // ls lists its own descriptor for the directory as well.
  EXPECT_EQ(runner.Run({"ls", "/proc/self/fd"}).output, "0\n1\n2\n3\n");
}

// A command's error text goes where ours goes: the diagnostics file while a
// frontend runs.
TEST(ProcessRunnerTest, ACommandsErrorTextGoesToOurStandardError) {
  char dir[] = "/tmp/brickfix-runner-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  DiagnosticsFile file;
  ASSERT_TRUE(file.Open(dir));
  file.Capture(false);
  PosixProcessRunner runner;
  ProcessResult listed = runner.Run({"ls", "/no-such-folder-here"});
  file.Release();
  EXPECT_NE(listed.status, 0);
  std::ifstream in(file.Path());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("/no-such-folder-here"), std::string::npos) << text;
  EXPECT_EQ(listed.output, "");
  std::filesystem::remove_all(dir);
}

// A child gets the network capabilities only from a runner made for it (the
// DHCP client's); it starts in "/" with default signals either way.
TEST(ProcessRunnerTest, ChildHasDefaultSignalsAndOurNetworkCapabilitiesOnlyWhenAsked) {
  std::string ours = [] {
    std::ifstream in("/proc/self/status");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  unsigned long long permitted = std::stoull(StatusField(ours, "CapPrm"), nullptr, 16);
  const unsigned long long network = (1ull << 10) | (1ull << 12) | (1ull << 13);
  for (bool passes : {false, true}) {
    SCOPED_TRACE(passes ? "a runner for the DHCP client" : "a plain runner");
    PosixProcessRunner runner(passes);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::string status = runner.Run({"cat", "/proc/self/status"}).output;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(StatusField(status, "SigBlk"), "0000000000000000");
    unsigned long long ambient = std::stoull(StatusField(status, "CapAmb"), nullptr, 16);
    EXPECT_EQ(ambient & network, passes ? permitted & network : 0);
    EXPECT_EQ(ambient & ~network, 0u);
    EXPECT_EQ(runner.Run({"pwd"}).output, "/\n");
  }
}

TEST(ProcessRunnerTest, StartReturnsAtOnceWithAProcessThatIsNotOurChild) {
  PosixProcessRunner runner;
  auto before = std::chrono::steady_clock::now();
  ProcessResult started = runner.Start({"sleep", "30"});
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  ASSERT_TRUE(started.started);
  ASSERT_GT(started.pid, 0);
  EXPECT_TRUE(Alive(started.pid));
  EXPECT_EQ(waitpid(started.pid, nullptr, WNOHANG), -1);  // adopted by init
  EXPECT_EQ(errno, ECHILD);
  EXPECT_NE(getsid(started.pid), getsid(0));  // its own session, away from our terminal

  // It is one of our network namespace's processes; stopping it ends it,
  // but not under a start time that is not its own (its pid reused).
  std::vector<RunningProcess> all = runner.ListProcesses();
  auto it = std::find_if(all.begin(), all.end(), [&](const RunningProcess& p) { return p.pid == started.pid; });
  ASSERT_NE(it, all.end());
  EXPECT_EQ(it->name, "sleep");
  EXPECT_EQ(it->argv, (std::vector<std::string>{"sleep", "30"}));
  RunningProcess other = *it;
  ++other.startTime;
  EXPECT_TRUE(runner.StopProcess(other));
  EXPECT_TRUE(Alive(started.pid));
  EXPECT_TRUE(runner.StopProcess(*it));
  EXPECT_FALSE(Alive(started.pid));

  ProcessResult missing = runner.Start({"no-such-program-here"});
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.pid, -1);
}

}  // namespace
