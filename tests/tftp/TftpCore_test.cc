// The per-datagram decisions of the listener, both transfers and the report
// reader, without sockets.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tftp/ResultCode.h"
#include "tftp/TftpPacket.h"
#include "tftp/Transfer.h"

using namespace tftp;

namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> Packet(std::uint16_t opcode, std::uint16_t block,
                                 std::size_t payload = 0) {
  std::vector<std::uint8_t> p(kHeaderSize + payload, 'x');
  WriteU16(p.data(), opcode);
  WriteU16(p.data() + 2, block);
  return p;
}

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return data;
}

Header HeaderOf(std::span<const std::uint8_t> packet) { return ReadHeader(packet); }

// Acknowledges every block like a well-behaved router; returns the payload
// sizes of the packets sent, the end marker included.
std::vector<std::size_t> RunToEnd(ReadTransfer& transfer, std::vector<std::uint8_t>* received) {
  std::vector<std::size_t> sizes;
  if (!transfer.Begin()) return sizes;
  for (;;) {
    auto packet = transfer.Packet();
    sizes.push_back(packet.size() - kHeaderSize);
    if (received) received->insert(received->end(), packet.begin() + kHeaderSize, packet.end());
    auto outcome = transfer.OnAnswer(Packet(kAck, HeaderOf(packet).block));
    if (outcome.step == ReadTransfer::Step::kSendEndMarker) {
      sizes.push_back(transfer.Packet().size() - kHeaderSize);
      return sizes;
    }
    EXPECT_EQ(outcome.step, ReadTransfer::Step::kSendNext);
  }
}

}  // namespace

TEST(TftpRequestTest, ListenerAcceptsOnlyReadAndWriteRequests) {
  struct Case {
    std::string datagram;
    std::size_t length;  // 0: the datagram's own size
    Request::Kind kind;
    std::string name;
  } cases[] = {
      {std::string("\0\1recovery.bin\0octet\0", 21), 0, Request::kRead, "recovery.bin"},
      {std::string("\0\2recovery-result\0octet\0blksize\0", 33) + "1468" + std::string(1, '\0'), 0,
       Request::kWrite, "recovery-result"},
      {std::string("\0\1", 2), 0, Request::kRead, ""},  // only the opcode
      {std::string("\0\1no-terminator", 15), 0, Request::kRead, "no-terminator"},
      {std::string("\1", 1), 0, Request::kIgnore, ""},  // reads as 0x0100
      {std::string("\0\3\0\1", 4), 0, Request::kIgnore, ""},
      {std::string("\0\4\0\1", 4), 0, Request::kIgnore, ""},
      {std::string("\0\5\0\0x\0", 6), 0, Request::kIgnore, ""},
      {std::string("\0\6\0\0", 4), 0, Request::kIgnore, ""},
      {std::string("\0\1a\0", 4), 515, Request::kIgnore, ""},  // over-long datagram
  };
  for (const Case& c : cases) {
    auto bytes = Bytes(c.datagram);
    Request r = ClassifyRequest(bytes, c.length ? c.length : bytes.size());
    EXPECT_EQ(r.kind, c.kind) << testing::PrintToString(c.datagram);
    EXPECT_EQ(r.fileName, c.name) << testing::PrintToString(c.datagram);
  }
  std::vector<std::uint8_t> full(kRequestMax, 'a');
  full[1] = kReadRequest;
  full[0] = 0;
  EXPECT_EQ(ClassifyRequest(full, full.size()).fileName.size(), kRequestMax - 2);
}

TEST(TftpReadTransferTest, DeliversFilesWithEmptyEndMarker) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> packets;
  } cases[] = {
      {1000, {512, 488, 0}},
      {1024, {512, 512, 0}},
      {1, {1, 0}},
      {0, {}},  // an empty file sends nothing at all
  };
  for (const Case& c : cases) {
    auto source = Pattern(c.size);
    ReadTransfer transfer(source);
    std::vector<std::uint8_t> received;
    EXPECT_EQ(RunToEnd(transfer, &received), c.packets) << c.size;
    EXPECT_EQ(received, source) << c.size;
  }
}

TEST(TftpReadTransferTest, AnswersOtherThanTheAckOfTheBlock) {
  using Step = ReadTransfer::Step;
  struct Case {
    std::vector<std::uint8_t> answer;  // to DATA 2
    Step step;
    const char* error;
  } cases[] = {
      {Packet(kAck, 1), Step::kResend, nullptr},  // the previous ACK repeated
      {Packet(kAck, 3), Step::kFail, kAckFileFail},
      {Packet(kAck, 0), Step::kFail, kAckFileFail},
      {Packet(kReadRequest, 0), Step::kFail, kUnknownError},
      {Packet(kWriteRequest, 0), Step::kFail, kUnknownError},
      {Packet(kData, 2), Step::kFail, kUnknownError},
      {Packet(kError, 0, 3), Step::kFail, kClientError},
      {{}, Step::kFail, kRecvAckFail},
      {Packet(9, 77), Step::kSendNext, nullptr},  // unknown opcode: taken as the ACK
      {Packet(0, 0), Step::kSendNext, nullptr},
      {{0, 4}, Step::kFail, kAckFileFail},               // short: block reads as 0
      {Packet(kAck, 2, 100), Step::kSendNext, nullptr},  // longer: its first 4 bytes count
  };
  auto source = Pattern(2000);
  for (const Case& c : cases) {
    ReadTransfer transfer(source);
    ASSERT_TRUE(transfer.Begin());
    ASSERT_EQ(transfer.OnAnswer(Packet(kAck, 1)).step, Step::kSendNext);
    auto before = std::vector<std::uint8_t>(transfer.Packet().begin(), transfer.Packet().end());
    auto outcome = transfer.OnAnswer(c.answer);
    EXPECT_EQ(outcome.step, c.step) << testing::PrintToString(c.answer);
    EXPECT_STREQ(outcome.error, c.error) << testing::PrintToString(c.answer);
    if (c.step == Step::kResend) {
      EXPECT_EQ(std::vector<std::uint8_t>(transfer.Packet().begin(), transfer.Packet().end()),
                before);
      EXPECT_EQ(transfer.OnAnswer(Packet(kAck, 2)).step, Step::kSendNext);
      EXPECT_EQ(HeaderOf(transfer.Packet()).block, 3);
    }
  }
}

TEST(TftpReadTransferTest, BlockNumbersRollOverPast65535) {
  // 65537 full blocks and one of 488 bytes: the block after 65535 is
  // numbered 0.
  auto source = Pattern(65536 * kBlockSize + 1000);
  ReadTransfer transfer(source);
  std::vector<std::uint8_t> received;
  auto sizes = RunToEnd(transfer, &received);
  ASSERT_EQ(sizes.size(), 65539u);
  EXPECT_TRUE(received == source);
  EXPECT_EQ(HeaderOf(transfer.Packet()).block, 3);  // end marker: block 65539

  // A file of exactly 65535 blocks ends with a marker numbered 0.
  auto exact = Pattern(65535 * kBlockSize);
  ReadTransfer last(exact);
  EXPECT_EQ(RunToEnd(last, nullptr).size(), 65536u);
  EXPECT_EQ(HeaderOf(last.Packet()).block, 0);
}

TEST(TftpReadTransferTest, ProgressMarksEvery200BlocksAndLineEndAt12002) {
  auto source = Pattern(40000 * kBlockSize);
  ReadTransfer transfer(source);
  ASSERT_TRUE(transfer.Begin());
  std::vector<std::uint32_t> inlineAt, lineEndAt;
  for (std::uint32_t ack = 1; ack <= 40000; ++ack) {
    auto outcome = transfer.OnAnswer(Packet(kAck, static_cast<std::uint16_t>(ack)));
    if (outcome.mark == ReadTransfer::Mark::kInline) inlineAt.push_back(ack);
    if (outcome.mark == ReadTransfer::Mark::kLineEnd) lineEndAt.push_back(ack);
  }
  ASSERT_GE(inlineAt.size(), 61u);
  EXPECT_EQ(inlineAt[0], 200u);
  EXPECT_EQ(inlineAt[59], 12000u);
  EXPECT_EQ(inlineAt[60], 12202u);  // counting starts again after the line end
  EXPECT_EQ(lineEndAt, (std::vector<std::uint32_t>{12002, 24004, 36006}));
}

namespace {

struct Upload {
  std::vector<std::uint8_t> store = std::vector<std::uint8_t>(1024, 0);
  WriteTransfer transfer{store};

  WriteTransfer::Outcome Send(std::vector<std::uint8_t> datagram) {
    return transfer.OnDatagram(datagram);
  }
  WriteTransfer::Outcome Data(std::uint16_t block, const std::string& text) {
    auto p = Packet(kData, block);
    p.insert(p.end(), text.begin(), text.end());
    return Send(p);
  }
  Header Reply() const { return ReadHeader(transfer.Reply()); }
  std::string Text() const { return std::string(store.begin(), store.end()).c_str(); }
};

}  // namespace

TEST(TftpWriteTransferTest, StoresReportsAndAcknowledgesEachBlock) {
  using Step = WriteTransfer::Step;
  Upload u;
  EXPECT_EQ(u.Reply().opcode, kWriteReply);
  EXPECT_EQ(u.Reply().block, 0);
  EXPECT_EQ(u.Data(1, "A:B:0 done.").step, Step::kSendReply);
  EXPECT_EQ(u.Reply().opcode, kAck);
  EXPECT_EQ(u.Reply().block, 1);
  EXPECT_EQ(u.Text(), "A:B:0 done.");

  // 1024 bytes: two full blocks and an empty third; all acknowledged.
  Upload full;
  EXPECT_EQ(full.Data(1, std::string(512, 'a')).step, Step::kSendReply);
  EXPECT_EQ(full.Data(2, std::string(512, 'b')).step, Step::kSendReply);
  EXPECT_EQ(full.Data(3, "").step, Step::kSendReply);
  EXPECT_EQ(full.Reply().block, 3);
  EXPECT_EQ(full.transfer.Stored(), 1024u);

  // 1025 bytes: the third block's byte does not fit.
  Upload over;
  over.Data(1, std::string(512, 'a'));
  over.Data(2, std::string(512, 'b'));
  auto outcome = over.Data(3, "c");
  EXPECT_EQ(outcome.step, Step::kFail);
  EXPECT_STREQ(outcome.error, kWriteFileError);
  EXPECT_EQ(over.transfer.Stored(), 1024u);
}

TEST(TftpWriteTransferTest, RepeatedAndUnexpectedDatagrams) {
  using Step = WriteTransfer::Step;
  Upload u;
  EXPECT_EQ(u.Data(0, "zz").step, Step::kSendReply);  // block 0 before any: reply again
  EXPECT_EQ(u.Reply().opcode, kWriteReply);
  u.Data(1, "first ");
  EXPECT_EQ(u.Data(1, "first ").step, Step::kSendReply);  // repeated: ACK 1 again, not stored
  EXPECT_EQ(u.Reply().block, 1);
  EXPECT_EQ(u.Data(2, "second").step, Step::kSendReply);
  EXPECT_EQ(u.Text(), "first second");

  struct Case {
    std::vector<std::uint8_t> datagram;  // while DATA 2 is expected
    Step step;
    const char* error;
  } cases[] = {
      {Packet(kData, 3), Step::kFail, kAckError},
      {Packet(kReadRequest, 0), Step::kFail, kUnknownError},
      {Packet(kWriteRequest, 0), Step::kFail, kUnknownError},
      {Packet(kAck, 1), Step::kFail, kClientError},
      {Packet(kError, 0), Step::kFail, kClientError},
      {{}, Step::kWizardEnd, kRecvAckFail},
      {{0}, Step::kFail, kWriteFileError},  // too short for a header
      {{0, 3, 0}, Step::kFail, kWriteFileError},
      {Packet(9, 5, 3), Step::kSendReply, nullptr},  // unknown opcode: stored as DATA 2
  };
  for (const Case& c : cases) {
    Upload v;
    v.Data(1, "one");
    auto outcome = v.Send(c.datagram);
    EXPECT_EQ(outcome.step, c.step) << testing::PrintToString(c.datagram);
    EXPECT_STREQ(outcome.error, c.error) << testing::PrintToString(c.datagram);
    EXPECT_EQ(v.transfer.Stored(), c.step == Step::kSendReply ? 6u : 3u);
  }
}

TEST(TftpWriteTransferTest, NewReportClearsTheOlderOneFirst) {
  Upload u;
  u.Data(1, "A:B:4 and a long tail of text");
  WriteTransfer second(u.store);
  // The write-request reply alone does not clear: the stored report stays
  // until the new one stores its first block.
  EXPECT_EQ(u.Text(), "A:B:4 and a long tail of text");
  auto data = Packet(kData, 1);
  data.insert(data.end(), {'X', ':', '0'});
  EXPECT_EQ(second.OnDatagram(data).step, WriteTransfer::Step::kSendReply);
  EXPECT_EQ(u.Text(), "X:0");
}

TEST(TftpResultCodeTest, ReadsTheCodeAfterTheSecondColon) {
  struct Case {
    std::string report;
    std::optional<int> code;  // nullopt: unreadable
  } cases[] = {
      // Codes passed on as read.
      {"A:B:0", 0},
      {"A:B:4", 4},
      {"A:B:6", 6},
      // How the number may be written.
      {"A:B: 4", 4},
      {"A:B:0x4", 4},
      {"A:B:0X4", 4},
      {"A:B:4:5", 4},
      {"A:B:4xyz", 4},
      {"A:B:\t+3", 3},
      {"A:B:-0", 0},
      {"A:B:0x", 0},
      // Everything else is 7.
      {"A:B:a", 7},
      {"A:B:zz", 7},
      {"A:B:7fffffff", 7},
      {"A:B:ffffffff", 7},
      {"A:B:-1", 7},
      {"A:B:", 7},
      {"A:B:100000004", 7},
      {"A:B:- 4", 7},
      // Where the number starts.
      {"A::4", 4},
      {"X:4", 4},
      {"::5", 5},
      // Unreadable.
      {":4", std::nullopt},
      {"4", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    auto bytes = Bytes(c.report);
    EXPECT_EQ(ReadResultCode(bytes), c.code) << c.report;
  }
  // The text ends at the first zero byte: an older report's tail is read
  // together with a shorter new one only when nothing cleared it.
  EXPECT_EQ(ReadResultCode(Bytes(std::string("X:1\0:B:0", 8))), 1);
  EXPECT_EQ(ReadResultCode(Bytes(std::string("NoColon\0A:B:0", 13))), std::nullopt);
  // A full buffer without a zero byte is read to its end.
  std::string full(1020, 'z');
  full += ":B:2";
  EXPECT_EQ(ReadResultCode(Bytes(full)), 2);
}
