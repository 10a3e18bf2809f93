#include "tftp/Transfer.h"

#include <algorithm>
#include <cstring>

namespace tftp {

namespace {

constexpr unsigned kMarkEvery = 200;
constexpr unsigned kLineLength = 12000;

// Block fields carry 16 bits: after block 65535 comes block 0, so the
// router's numbers are compared with the low 16 bits of ours.
bool SameBlock(std::uint16_t field, std::uint32_t block) {
  return field == static_cast<std::uint16_t>(block);
}

}  // namespace

ReadTransfer::ReadTransfer(std::span<const std::uint8_t> source) : m_source(source) {}

bool ReadTransfer::Begin() {
  if (m_source.empty()) return false;
  LoadNextBlock();
  return true;
}

void ReadTransfer::LoadNextBlock() {
  m_length = std::min(m_source.size() - m_position, kBlockSize);
  if (m_length > 0) std::memcpy(m_packet + kHeaderSize, m_source.data() + m_position, m_length);
  m_position += m_length;
  WriteU16(m_packet, kData);
  WriteU16(m_packet + 2, static_cast<std::uint16_t>(m_counter));
  m_sent = m_counter++;
}

ReadTransfer::Mark ReadTransfer::CountProgress() {
  if (m_progress > kLineLength) {
    m_progress = 0;
    return Mark::kLineEnd;
  }
  return ++m_progress % kMarkEvery == 0 ? Mark::kInline : Mark::kNone;
}

ReadTransfer::Outcome ReadTransfer::OnAnswer(std::span<const std::uint8_t> datagram) {
  if (datagram.empty()) return {Step::kFail, kRecvAckFail};
  Header answer = ReadHeader(datagram);
  switch (answer.opcode) {
    case kAck:
      if (SameBlock(answer.block, m_sent)) break;
      if (SameBlock(answer.block, m_sent - 1)) return {Step::kResend};
      return {Step::kFail, kAckFileFail};
    case kReadRequest:
    case kWriteRequest:
    case kData:
      return {Step::kFail, kUnknownError};
    case kError:
      return {Step::kFail, kClientError};
    default:
      break;  // any other opcode counts as the acknowledgement
  }
  LoadNextBlock();
  Mark mark = CountProgress();
  return {m_length > 0 ? Step::kSendNext : Step::kSendEndMarker, nullptr, mark};
}

WriteTransfer::WriteTransfer(std::span<std::uint8_t> store) : m_store(store) {}

WriteTransfer::Outcome WriteTransfer::OnDatagram(std::span<const std::uint8_t> datagram) {
  if (datagram.empty()) return {Step::kWizardEnd, kRecvAckFail};
  // Too short to hold a header: nothing to store.
  if (datagram.size() < kHeaderSize) return {Step::kFail, kWriteFileError};
  Header header = ReadHeader(datagram);
  switch (header.opcode) {
    case kData:
      if (SameBlock(header.block, m_expected)) break;
      if (SameBlock(header.block, m_last)) return {Step::kSendReply};
      return {Step::kFail, kAckError};
    case kReadRequest:
    case kWriteRequest:
      return {Step::kFail, kUnknownError};
    case kAck:
    case kError:
      return {Step::kFail, kClientError};
    default:
      break;  // any other opcode is taken as the expected DATA
  }
  return Store(datagram.subspan(kHeaderSize));
}

WriteTransfer::Outcome WriteTransfer::Store(std::span<const std::uint8_t> payload) {
  if (!m_cleared) {
    std::fill(m_store.begin(), m_store.end(), std::uint8_t{0});
    m_cleared = true;
  }
  std::size_t room = m_store.size() - m_stored;
  std::size_t count = std::min(payload.size(), room);
  std::copy_n(payload.begin(), count, m_store.begin() + static_cast<std::ptrdiff_t>(m_stored));
  m_stored += count;
  if (count < payload.size()) return {Step::kFail, kWriteFileError};
  WriteU16(m_reply, kAck);
  WriteU16(m_reply + 2, static_cast<std::uint16_t>(m_expected));
  ++m_expected;
  ++m_last;
  return {Step::kSendReply};
}

}  // namespace tftp
