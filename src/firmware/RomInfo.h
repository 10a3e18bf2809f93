// One firmware release and, once loaded, its image in memory.
#pragma once

#include <string>

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

  // Downloads `url`, checks the digest and saves the image in "Rom".
  // 0 ok, 2 no memory, 4 request failed, 5 digest differs, 6 save failed.
  int Download();
  // Saves the image into the store; 0 or 6.
  int SaveToRomDir();
};
