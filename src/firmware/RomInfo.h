// One firmware release and, once loaded, its image in memory.
#pragma once

#include <string>

class HttpClient;

struct RomInfo {
  std::string model;    // model code of the release ("model")
  std::string version;  // release version, cut at its first white space
  std::string md5;      // expected digest, 32 lower-case hex characters
  std::string url;      // download address of the image
  int level = 0;        // release level; only 0 is accepted
  int size = 0;         // image length in bytes
  // The image, `size` bytes. Never freed by the record: the TFTP service
  // serves it until the process ends.
  unsigned char* data = nullptr;

  // Downloads `url`, checks the digest and saves the image in "Rom" (in one
  // pass: the body is digested and written to a hidden file as it arrives).
  // 0 ok, 2 no memory, 4 request failed, 5 digest differs, 6 the store
  // refused the image (a name that would leave it, an older file of the model
  // that cannot be deleted). A verified image that cannot be written to the
  // store (full disk, read-only folder) is kept in memory all the same: the
  // log says so, the store keeps what it had, and the result is 0.
  int Download();
  // The same over `http`, which may still hold the connection of an earlier
  // request to the same host.
  int Download(HttpClient& http);
  // Saves the image into the store; 0 or 6 (nothing written, or an older
  // file that could not be deleted).
  int SaveToRomDir();
};
