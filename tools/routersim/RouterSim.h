// A router in recovery mode, simulated: it fetches its files from the
// recovery server by TFTP, checks them, and uploads a result report, with
// options to misbehave on purpose.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace routersim {

struct Options {
  std::string server = "192.168.1.88";
  std::uint16_t port = 69;

  bool fetchConfig = false;            // fetch "recovery-cfg.bin" first
  std::string image = "recovery.bin";  // empty: fetch no image
  std::optional<std::uint64_t> expectSize;
  std::string expectMd5;  // lower-case hexadecimal
  std::string saveTo;     // where to write the image

  std::optional<std::string> report;  // upload this text; none: upload nothing
  std::string reportName = "recovery-result";
  double waitBeforeReport = 0;  // seconds
  double waitBeforeExit = 0;    // seconds

  // Misbehaviour. Shares are percentages of the packets concerned.
  double drop = 0;        // packets lost, both ways
  double duplicate = 0;   // our packets sent twice
  double delayShare = 0;  // our packets held back by delayMs first
  int delayMs = 0;
  double repeatAck = 0;   // DATA n answered first with the ACK of n-1
  long strangerAt = -1;   // block n is first answered from another port
  long errorAt = -1;      // block n is answered with an ERROR packet
  long silentAfter = -1;  // nothing is sent after block n
  // Instead of fetching: asks only by ARP for this address as its server
  // (a router set up for another server address), every retransmitMs.
  std::string arpFor;
  bool sendNothing = false;  // sends nothing at all (waitBeforeExit, then ends)

  // Expected ends other than success.
  std::string expectError;     // the server ends the sequence with this ERROR text
  bool expectSilence = false;  // the first request gets no answer at all
  double errorWait = 70;       // seconds to wait for the expected ERROR

  int retransmitMs = 500;  // our wait before repeating our last packet
  int retries = 10;        // repeats before giving up
  unsigned seed = 1;
};

// Parses the command line (without the program name). False with `error`
// set when it is wrong; `help` is set for --help.
bool ParseOptions(const std::vector<std::string>& args, Options& options, bool& help,
                  std::string& error);
std::string Usage();

// Plays the router once, printing what it does to `out`. Returns 0 when
// everything it received was as expected, 1 otherwise.
int Run(const Options& options, std::FILE* out);

}  // namespace routersim
