// The MD5 digest, fed piece by piece. Each system has its own implementation
// (src/platform/<system>/Md5.cc).
#pragma once

#include <cstddef>
#include <string>

class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void Update(const void* data, std::size_t size);
  // The digest of everything fed so far as 32 lower-case hexadecimal
  // characters ("" if the system's digest failed). Ends the digest: call it
  // once.
  std::string HexDigest();

 private:
  void* m_context;  // the system's digest state, kept out of this header
  bool m_failed = false;
};
