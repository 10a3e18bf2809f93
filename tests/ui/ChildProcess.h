// Runs a program with an argument vector (no shell) for the end-to-end
// tests, with pipes for its stdin, stdout and stderr, and a deadline.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class ChildProcess {
 public:
  // Starts `argv` with `extraEnv` ("NAME=value") added to this environment
  // (less sudo's and pkexec's variables).
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::vector<std::string>& extraEnv = {}) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    // A test run under sudo must not make the program become that user.
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind("SUDO_", 0) != 0 && entry.rfind("PKEXEC_UID=", 0) != 0) envStrings.push_back(entry);
    }
    for (const std::string& e : extraEnv) envStrings.push_back(e);
    std::vector<char*> env;
    for (std::string& e : envStrings) env.push_back(e.data());
    env.push_back(nullptr);
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
  }

  ~ChildProcess() {
    if (m_pid > 0 && !m_bReaped) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_in, m_out, m_err}) {
      if (fd >= 0) close(fd);
    }
  }

  bool Started() const { return m_pid > 0; }
  pid_t Pid() const { return m_pid; }

  // Writes to the child's stdin; a child that stopped reading ends it early.
  void Send(const std::string& data) {
    signal(SIGPIPE, SIG_IGN);
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = write(m_in, data.data() + done, data.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  void CloseInput() {
    if (m_in >= 0) close(m_in);
    m_in = -1;
  }

  // Reads stdout and stderr until both end or `text` shows on stdout.
  // False when the deadline passes first.
  bool ReadUntil(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (text.empty() || m_stdout.find(text) == std::string::npos) {
      if (m_out < 0 && m_err < 0) return text.empty();
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
      if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
      ReadInto(m_out, fds[0].revents, m_stdout);
      ReadInto(m_err, fds[1].revents, m_stderr);
    }
    return true;
  }

  // Reads everything and waits for the exit. The exit status, or -1 when the
  // deadline passed (the child is then killed) or it died of a signal.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(20)) {
    if (m_pid <= 0) return -1;
    bool ended = ReadUntil("", limit);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ended ? 5 : 0);
    int status = 0;
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        m_bReaped = true;
        return -1;
      }
      usleep(10000);
    }
    m_bReaped = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& Stdout() const { return m_stdout; }
  const std::string& Stderr() const { return m_stderr; }

 private:
  static void ReadInto(int& fd, short revents, std::string& into) {
    if (fd < 0 || !revents) return;
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else {
      close(fd);
      fd = -1;
    }
  }

  pid_t m_pid = -1;
  bool m_bReaped = false;
  int m_in = -1, m_out = -1, m_err = -1;
  std::string m_stdout, m_stderr;
};

// `argv` run in a network namespace of its own where this process may make
// one (as root, or as root of a user namespace), so that the program's runs
// in tests that run side by side never meet at its one-run-per-namespace
// lock, nor at a real run of it on this machine.
inline std::vector<std::string> InOwnNetworkNamespace(const std::vector<std::string>& argv) {
  static const std::vector<std::string> prefix = [] {
    for (std::vector<std::string> candidate :
         {std::vector<std::string>{"/usr/bin/unshare", "--net"},
          std::vector<std::string>{"/usr/bin/unshare", "--map-root-user", "--net"}}) {
      std::vector<std::string> probe = candidate;
      probe.push_back("/bin/true");
      ChildProcess child(probe);
      child.CloseInput();
      if (child.Wait() == 0) return candidate;
    }
    return std::vector<std::string>{};
  }();
  std::vector<std::string> out = prefix;
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

// A state folder of this test process's own, so that the program's journal
// and diagnostics never land in the real home; removed at exit.
inline std::string TestStateDir() {
  static const std::string dir = [] {
    std::string path = std::filesystem::temp_directory_path() / ("brickfix-state-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                      ("brickfix-state-" + std::to_string(getpid())),
                                  ignored);
    });
    return path;
  }();
  return dir;
}

// "XDG_STATE_HOME=" and that folder.
inline std::string TestStateHome() { return "XDG_STATE_HOME=" + TestStateDir(); }

// A field of /proc/<pid>/status as a number ("CapEff" etc., hexadecimal), or
// ~0 when it cannot be read.
inline unsigned long long StatusNumber(pid_t pid, const std::string& field, int base = 16) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1), nullptr, base);
  }
  return ~0ull;
}

// The program holds no capability once it runs (its window or line mode is
// up); its one child, the network helper (`helperName`: the helper program,
// or a fork of the program itself), holds cap_net_bind_service,
// cap_net_admin and cap_net_raw at most (exactly those when the test runs as
// root), none to hand on, and neither may gain any through exec.
inline void ExpectOnlyTheHelperHoldsNetworkRights(pid_t program,
                                                  const std::string& helperName = "brickfix-nethelper") {
  for (const char* set : {"CapEff", "CapPrm", "CapAmb", "CapInh"}) {
    EXPECT_EQ(StatusNumber(program, set), 0u) << "the program's " << set;
  }
  EXPECT_EQ(StatusNumber(program, "NoNewPrivs", 10), 1u);
  pid_t helper = 0;
  for (int i = 0; i < 100 && helper == 0; ++i) {
    std::ifstream children("/proc/" + std::to_string(program) + "/task/" + std::to_string(program) +
                           "/children");
    children >> helper;
    if (helper == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GT(helper, 0) << "no network helper runs";
  std::error_code error;
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(helper) + "/exe", error).filename(),
            helperName);
  const unsigned long long network = (1ull << 10) | (1ull << 12) | (1ull << 13);
  unsigned long long permitted = StatusNumber(helper, "CapPrm");
  if (geteuid() == 0) {
    EXPECT_EQ(permitted, network) << "the helper's permitted set";
  }
  EXPECT_EQ(permitted & ~network, 0u);
  EXPECT_EQ(StatusNumber(helper, "CapEff"), permitted);
  EXPECT_EQ(StatusNumber(helper, "CapAmb"), 0u);
  EXPECT_EQ(StatusNumber(helper, "CapInh"), 0u);
  EXPECT_EQ(StatusNumber(helper, "NoNewPrivs", 10), 1u);
}
