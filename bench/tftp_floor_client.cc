// The least a Winsock program can do per TFTP block: fetches recovery.bin
// from a TFTP server in lock-step (one DATA, one ACK), nothing else. Under
// Wine it shows how many blocks per second Wine's sockets allow at all, for
// the Windows row of tftp.sh:
//   tftp_floor_client.exe SERVER-ADDRESS PORT
// Prints the bytes received and the microseconds from the request to the
// last block. Exit status 0 when the file ended normally.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/Sockets.h"

int main(int argc, char** argv) {
  if (argc != 3 || !StartWinsock()) return 2;
  ScopedSocket sock(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<u_short>(std::atoi(argv[2])));
  if (!sock.valid() || inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) return 2;
  DWORD timeout = 5000;
  setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
  static const char request[] = "\0\1recovery.bin\0octet";
  auto start = std::chrono::steady_clock::now();
  sendto(sock.get(), request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&server),
         sizeof server);
  char packet[516];
  unsigned long long total = 0;
  for (unsigned short expected = 1;; ++expected) {
    sockaddr_in from{};
    int length = sizeof from;
    int got = recvfrom(sock.get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from),
                       &length);
    if (got < 4 || packet[1] != 3) return 1;
    unsigned short block = static_cast<unsigned short>((unsigned char)packet[2] << 8 |
                                                       (unsigned char)packet[3]);
    if (block != expected) return 1;
    total += static_cast<unsigned long long>(got - 4);
    char ack[4] = {0, 4, packet[2], packet[3]};
    sendto(sock.get(), ack, 4, 0, reinterpret_cast<const sockaddr*>(&from), length);
    if (got < 516) break;
  }
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  std::printf("%llu %lld\n", total, static_cast<long long>(us.count()));
  return 0;
}
