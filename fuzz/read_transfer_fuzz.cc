// The image transfer fed with any answers: the packets it sends stay DATA
// packets of the source's bytes in order, and it ends when it says so.
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "tftp/Transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using Step = tftp::ReadTransfer::Step;
  FuzzInput input(data, size);
  std::vector<std::uint8_t> source(input.Number(3) % 70000);
  for (std::size_t i = 0; i < source.size(); ++i)
    source[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  tftp::ReadTransfer transfer(source);
  bool started = transfer.Begin();
  Require(started == !source.empty());
  std::size_t offset = 0;  // where the payload of the packet in hand starts
  while (started && !input.Empty()) {
    auto packet = transfer.Packet();
    std::size_t length = packet.size() - tftp::kHeaderSize;
    Require(packet.size() >= tftp::kHeaderSize && length <= tftp::kBlockSize);
    Require(tftp::ReadU16(packet.data()) == tftp::kData);
    Require(tftp::ReadU16(packet.data() + 2) == static_cast<std::uint16_t>(transfer.SentBlock()));
    Require(offset + length <= source.size());
    Require(std::memcmp(packet.data() + tftp::kHeaderSize, source.data() + offset, length) == 0);
    auto outcome = transfer.OnAnswer(input.Datagram());
    if (outcome.step == Step::kFail) {
      Require(outcome.error != nullptr);
      return 0;
    }
    if (outcome.step != Step::kResend) offset += length;
    if (outcome.step == Step::kSendEndMarker) {
      Require(offset == source.size() && transfer.Packet().size() == tftp::kHeaderSize);
      return 0;
    }
  }
  return 0;
}
