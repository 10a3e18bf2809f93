// The MD5 digest through Windows CNG.
#include "firmware/Md5.h"

#include "platform/windows/Win32.h"

#include <bcrypt.h>

#include <cstdio>

namespace {

struct CngHash {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

Md5::Md5() : m_context(new CngHash) {
  auto* cng = static_cast<CngHash*>(m_context);
  m_failed = !Succeeded(BCryptOpenAlgorithmProvider(&cng->algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0)) ||
             !Succeeded(BCryptCreateHash(cng->algorithm, &cng->hash, nullptr, 0, nullptr, 0, 0));
}

Md5::~Md5() {
  auto* cng = static_cast<CngHash*>(m_context);
  if (cng->hash) BCryptDestroyHash(cng->hash);
  if (cng->algorithm) BCryptCloseAlgorithmProvider(cng->algorithm, 0);
  delete cng;
}

void Md5::Update(const void* data, std::size_t size) {
  auto* cng = static_cast<CngHash*>(m_context);
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
  // BCryptHashData takes at most a ULONG's worth at a time.
  constexpr std::size_t kPiece = 1u << 30;
  while (!m_failed && size > 0) {
    std::size_t n = size < kPiece ? size : kPiece;
    m_failed = !Succeeded(BCryptHashData(cng->hash, bytes, static_cast<ULONG>(n), 0));
    bytes += n;
    size -= n;
  }
}

std::string Md5::HexDigest() {
  auto* cng = static_cast<CngHash*>(m_context);
  unsigned char digest[16];
  bool ok = !m_failed && Succeeded(BCryptFinishHash(cng->hash, digest, sizeof digest, 0));
  m_failed = true;  // finished: a second call gives ""
  if (!ok) return "";
  std::string text;
  char hex[3];
  for (unsigned char byte : digest) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    text += hex;
  }
  return text;
}
