// The per-datagram decisions of the two transfers, free of sockets and
// threads: given the transfer's state and what the router sent, what to do
// and which packet to send. The transfer threads drive them over UDP; the
// tests and fuzzers drive them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tftp/TftpPacket.h"

namespace tftp {

// Serving one in-memory file in lock-step: one DATA packet in flight, the
// next one after the router's ACK, and an empty DATA packet after the ACK of
// the block that carried the last bytes.
class ReadTransfer {
 public:
  enum class Step {
    kResend,         // the router repeated its previous ACK: send Packet() again
    kSendNext,       // Packet() holds the next block: send it and wait
    kSendEndMarker,  // Packet() holds the empty end marker: send it, do not wait
    kFail,           // end the transfer with `error`
  };
  // A progress mark every 200 acknowledged blocks; the line ends with the
  // mark after 12001 of them and counting starts again.
  enum class Mark { kNone, kInline, kLineEnd };
  struct Outcome {
    Step step = Step::kFail;
    const char* error = nullptr;
    Mark mark = Mark::kNone;
  };

  // `source` must outlive the transfer; its bytes are sent unchanged.
  explicit ReadTransfer(std::span<const std::uint8_t> source);

  // Prepares DATA 1. False when the source is empty: then nothing is sent.
  bool Begin();
  // The packet to send: header and payload of the current block.
  std::span<const std::uint8_t> Packet() const { return {m_packet, kHeaderSize + m_length}; }
  // Acts on the router's answer to the packet just sent.
  Outcome OnAnswer(std::span<const std::uint8_t> datagram);

  std::uint32_t SentBlock() const { return m_sent; }

 private:
  void LoadNextBlock();
  Mark CountProgress();

  std::span<const std::uint8_t> m_source;
  std::size_t m_position = 0;   // offset of the next unsent byte
  std::uint32_t m_counter = 1;  // number of the next new block
  std::uint32_t m_sent = 0;     // number of the block in the packet
  std::size_t m_length = 0;     // payload bytes in the packet
  unsigned m_progress = 0;
  std::uint8_t m_packet[kPacketMax] = {};
};

// Receiving the router's result report into a fixed block. The upload has no
// end of its own: it is over when the router falls silent.
class WriteTransfer {
 public:
  enum class Step {
    kSendReply,  // send Reply(): a new ACK, or the last reply again
    kWizardEnd,  // end with `error` and let the wizard read the report
    kFail,       // end with `error`; the wizard is not told
  };
  struct Outcome {
    Step step = Step::kFail;
    const char* error = nullptr;
  };

  // `store` is the result block; the first stored DATA clears all of it, so
  // a shorter report never runs into the tail of an older one.
  explicit WriteTransfer(std::span<std::uint8_t> store);

  // The reply to send: first the write-request reply (opcode 6, zero), then
  // the last ACK.
  std::span<const std::uint8_t> Reply() const { return {m_reply, kHeaderSize}; }
  Outcome OnDatagram(std::span<const std::uint8_t> datagram);

  std::size_t Stored() const { return m_stored; }

 private:
  Outcome Store(std::span<const std::uint8_t> payload);

  std::span<std::uint8_t> m_store;
  std::size_t m_stored = 0;
  bool m_cleared = false;
  std::uint32_t m_expected = 1;  // block number of the next DATA to store
  std::uint32_t m_last = 0;      // block number of the last reply
  std::uint8_t m_reply[kHeaderSize] = {0, kWriteReply, 0, 0};
};

}  // namespace tftp
