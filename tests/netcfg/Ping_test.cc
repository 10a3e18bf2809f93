// The echo request and its checksum.
#include "netcfg/linux/Ping.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

namespace {

// The one's-complement sum of the big-endian 16-bit words.
uint16_t OnesComplementSum(const uint8_t* data, std::size_t length) {
  return static_cast<uint16_t>(~IcmpChecksum(data, length));
}

TEST(IcmpChecksumTest, KnownValues) {
  // The example of RFC 1071: sum ddf2, checksum 220d.
  const uint8_t rfc[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  EXPECT_EQ(IcmpChecksum(rfc, sizeof rfc), 0x220d);
  // An odd last byte counts as the high byte of a word.
  const uint8_t odd[] = {0x12, 0x34, 0x56};
  EXPECT_EQ(IcmpChecksum(odd, sizeof odd), static_cast<uint16_t>(~(0x1234 + 0x5600)));
  // Carries wrap around.
  const uint8_t carry[] = {0xff, 0xff, 0x00, 0x02};
  EXPECT_EQ(IcmpChecksum(carry, sizeof carry), static_cast<uint16_t>(~0x0002));
  EXPECT_EQ(IcmpChecksum(rfc, 0), 0xffff);
}

TEST(EchoRequestTest, LayoutOfTheFortyBytes) {
  EchoRequest request = BuildEchoRequest(0xBEEF);
  EXPECT_EQ(request[0], 8);
  EXPECT_EQ(request[1], 0);
  EXPECT_EQ(request[4], 0xEF);  // identifier, little-endian
  EXPECT_EQ(request[5], 0xBE);
  EXPECT_EQ(request[6], 1);  // sequence number 1, little-endian
  EXPECT_EQ(request[7], 0);
  EXPECT_EQ(std::memcmp(&request[8], "abcdefghijklmnopqrstuvwxyzabcdef", 32), 0);
}

TEST(EchoRequestTest, AFinishedRequestSumsToAllOnes) {
  for (uint16_t id : {uint16_t{0x0000}, uint16_t{0x0001}, uint16_t{0xBEEF}, uint16_t{0xFFFF}, EchoIdentifier()}) {
    SCOPED_TRACE(id);
    EchoRequest request = BuildEchoRequest(id);
    EXPECT_EQ(OnesComplementSum(request.data(), request.size()), 0xFFFF);
  }
}

TEST(EchoRequestTest, IdentifierIsTheLowSixteenBitsOfThePid) {
  EXPECT_EQ(EchoIdentifier(), static_cast<uint16_t>(getpid() & 0xffff));
}

TEST(PingOnceTest, AnAddressThatIsNoneFailsWithoutSending) {
  EXPECT_FALSE(PingOnce("192.168.199", PingSocket::kRawOrDatagram));
  EXPECT_FALSE(PingOnce("router", PingSocket::kRawOrDatagram));
  EXPECT_FALSE(PingOnce(nullptr, PingSocket::kRawOrDatagram));
}

}  // namespace
