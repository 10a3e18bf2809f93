#include "firmware/Md5.h"

#include <openssl/evp.h>

#include <cstdio>

Md5::Md5() : m_context(EVP_MD_CTX_new()) {
  auto* context = static_cast<EVP_MD_CTX*>(m_context);
  m_failed = !context || !EVP_DigestInit_ex(context, EVP_md5(), nullptr);
}

Md5::~Md5() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_context)); }

void Md5::Update(const void* data, std::size_t size) {
  if (m_failed || size == 0) return;
  m_failed = !EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_context), data, size);
}

std::string Md5::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (m_failed || !EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_context), digest, &length)) {
    m_failed = true;
    return "";
  }
  m_failed = true;  // finished: a second call gives ""
  std::string text;
  char hex[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    text += hex;
  }
  return text;
}
