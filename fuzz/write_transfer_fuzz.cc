// The result upload fed with any datagrams: it never writes outside the
// result block, and every reply is the opcode-6 reply or an ACK.
#include <vector>

#include "FuzzInput.h"
#include "tftp/Transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  std::vector<std::uint8_t> block(1024 + 16, 0xA5);  // 16 guard bytes after the block
  tftp::WriteTransfer transfer(std::span<std::uint8_t>(block).first(1024));
  while (!input.Empty()) {
    auto outcome = transfer.OnDatagram(input.Datagram());
    Require(transfer.Stored() <= 1024);
    for (std::size_t i = 1024; i < block.size(); ++i) Require(block[i] == 0xA5);
    std::uint16_t opcode = tftp::ReadU16(transfer.Reply().data());
    Require(opcode == tftp::kWriteReply || opcode == tftp::kAck);
    if (outcome.step != tftp::WriteTransfer::Step::kSendReply) {
      Require(outcome.error != nullptr);
      return 0;
    }
  }
  return 0;
}
