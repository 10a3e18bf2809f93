// Debian's TFTP clients fetch "recovery.bin" from our listener on 127.0.0.1;
// the files they write must equal the image byte for byte. (Exit codes are
// not trusted: some clients exit 0 after an error.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "tftp/TftpTestSupport.h"

extern char** environ;

using namespace tftp_test;

namespace {

// Runs `argv` with no shell, its standard streams on /dev/null, and kills it
// when it has not ended after `limit`.
void RunClient(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(rc, 0) << "cannot start " << argv[0];
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
}

struct Client {
  const char* name;
  std::vector<std::string> (*argv)(const std::string& port, const std::string& out);
};

const Client kClients[] = {
    {"tftp-hpa",
     [](const std::string& port, const std::string& out) {
       return std::vector<std::string>{"tftp", "-4", "-m",  "binary",       "127.0.0.1",
                                       port,   "-c", "get", "recovery.bin", out};
     }},
    {"atftp",
     [](const std::string& port, const std::string& out) {
       return std::vector<std::string>{"atftp", "-g", "-r",        "recovery.bin",
                                       "-l",    out,  "127.0.0.1", port};
     }},
    {"busybox",
     [](const std::string& port, const std::string& out) {
       return std::vector<std::string>{"busybox", "tftp", "-g",        "-r", "recovery.bin",
                                       "-l",      out,    "127.0.0.1", port};
     }},
    {"curl",
     [](const std::string& port, const std::string& out) {
       return std::vector<std::string>{"curl", "-s", "-o", out,
                                       "tftp://127.0.0.1:" + port + "/recovery.bin"};
     }},
};

std::optional<std::vector<std::uint8_t>> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

class TftpRealPeerTest : public testing::TestWithParam<std::size_t> {};

}  // namespace

TEST_P(TftpRealPeerTest, ClientsReceiveTheImageExactly) {
  std::size_t size = GetParam();
  Service service;
  service.dlg->m_bCfgNotRequested = 0;  // each fetch only prints the waiting line
  service.Serve(Pattern(size, static_cast<unsigned>(size)));
  std::string port = std::to_string(service.Start());
  for (const Client& client : kClients) {
    // ctest runs the sizes in parallel: each test has files of its own.
    std::string out =
        testing::TempDir() + "realpeer-" + std::to_string(getpid()) + "-" + client.name + ".bin";
    std::remove(out.c_str());
    // An empty image sends nothing at all: the client can only give up.
    RunClient(client.argv(port, out), size == 0 ? 2000ms : 60000ms);
    auto received = ReadFile(out);
    if (size == 0) {
      EXPECT_TRUE(!received || received->empty()) << client.name;
    } else {
      ASSERT_TRUE(received) << client.name << " wrote no file; log:\n" << service.view.Log();
      EXPECT_EQ(received->size(), size) << client.name << "; log:\n" << service.view.Log();
      EXPECT_TRUE(*received == service.image) << client.name << ": bytes differ";
    }
    std::remove(out.c_str());
    // A client that repeats its request under load gets a second transfer,
    // which it then refuses; both must have ended.
    ASSERT_TRUE(service.Idle());
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TftpRealPeerTest, testing::Values(0, 511, 512, 1000, 33554432),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           return "Bytes" + std::to_string(info.param);
                         });
