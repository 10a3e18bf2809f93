// The TFTP packets the recovery server sends and accepts, and its error texts.
// All numbers are 16-bit, most significant byte first. The server has no
// options and always uses 512-byte blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tftp {

enum Opcode : std::uint16_t {
  kReadRequest = 1,
  kWriteRequest = 2,
  kData = 3,
  kAck = 4,
  kError = 5,
  kWriteReply = 6,  // the answer to a write request (not an ACK of block 0)
};

constexpr std::size_t kBlockSize = 512;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kRequestMax = 2 + kBlockSize;           // a request datagram
constexpr std::size_t kPacketMax = kHeaderSize + kBlockSize;  // a DATA packet

constexpr std::uint16_t kTftpPort = 69;
constexpr std::uint16_t kFirstTransferPort = 56991;

// ERROR packet codes: the server's own errors carry 0; a datagram from a
// stranger during a transfer is answered with 5.
constexpr std::uint16_t kErrorUndefined = 0;
constexpr std::uint16_t kErrorAccessViolation = 2;
constexpr std::uint16_t kErrorUnknownTransfer = 5;

// The router's recovery subnet, 192.168.1.0/24 (host byte order): the
// server answers requests from nowhere else.
constexpr std::uint32_t kRouterNetwork = 0xC0A80100;
constexpr int kRouterPrefix = 24;

// The error texts for the router.
inline constexpr const char* kSocketError = "SOCKET error!";
inline constexpr const char* kSendDataFail = "Send data fail!";
inline constexpr const char* kRecvFileFail = "Recv file fail!";
inline constexpr const char* kRecvAckTimeout = "Recv ack timeout!";
inline constexpr const char* kRecvAckFail = "Recv ack fail!";
inline constexpr const char* kUnknownError = "Unknow error!";
inline constexpr const char* kAckFileFail = "Ack file fail?";
inline constexpr const char* kClientError = "Client error!";
inline constexpr const char* kSendFileFail = "Send file fail!";
inline constexpr const char* kRecvDataFail = "Recv data fail!";
inline constexpr const char* kAckError = "Ack error!";
inline constexpr const char* kWriteFileError = "Write file error!";
inline constexpr const char* kCannotFindFile = "Can not find file!";
inline constexpr const char* kUnknownTransferId = "Unknown transfer ID";
// From the listening port: every transfer the server runs at once is taken.
inline constexpr const char* kServerBusy = "Server busy";
// To a result report from an address that fetched no image in this run.
inline constexpr const char* kAccessViolation = "Access violation";

// The names the router asks for.
inline constexpr std::string_view kImageName = "recovery.bin";
inline constexpr std::string_view kConfigName = "recovery-cfg.bin";
inline constexpr std::string_view kResultName = "recovery-result";

inline std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline void WriteU16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 8);
  p[1] = static_cast<std::uint8_t>(value);
}

// The first four bytes of a datagram as opcode and block number; bytes the
// datagram does not hold read as zero.
struct Header {
  std::uint16_t opcode = 0;
  std::uint16_t block = 0;
};
Header ReadHeader(std::span<const std::uint8_t> datagram);

// An ERROR packet: opcode 5, `code`, the text, one zero byte.
std::string BuildError(std::uint16_t code, std::string_view text);

// What the listener makes of a datagram that arrived on its port.
struct Request {
  enum Kind { kIgnore, kRead, kWrite };
  Kind kind = kIgnore;
  std::string fileName;  // from offset 2 up to the first zero byte or the end
  bool overLong = false;  // a read or write request too long to serve (ignored)
};
// `length` is the datagram's full length, which may exceed the bytes in
// `datagram` when it was cut to fit the buffer; an over-long datagram is
// ignored.
Request ClassifyRequest(std::span<const std::uint8_t> datagram, std::size_t length);

}  // namespace tftp
