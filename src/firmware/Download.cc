#include "firmware/Download.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "app/Log.h"
#include "firmware/HttpClient.h"
#include "firmware/RomInfo.h"
#include "firmware/RomStore.h"
#include "platform/linux/FullIo.h"

void DownloadProgress::OnChunk() {
  int before = m_nChunks++;
  if (before > 600) {
    m_nChunks = 0;
    LogPrint("#");
  } else if (m_nChunks % 10 == 0) {
    LogPrintInline("#");
  }
}

std::string Md5Hex(const unsigned char* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr)) return "";
  std::string text;
  char hex[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    text += hex;
  }
  return text;
}

namespace {

// Receives the body straight into the image block. Bytes past `size` are
// dropped; once the block is full and more arrives the transfer is cut short,
// so an endless body cannot hold the wizard.
struct ImageReceiver {
  ImageReceiver(unsigned char* block, std::size_t length) : data(block), size(length) {}

  unsigned char* data;
  std::size_t size;
  std::size_t received = 0;
  bool overflowed = false;
  DownloadProgress progress;

  bool OnChunk(const char* chunk, std::size_t length) {
    std::size_t keep = std::min(length, size - received);
    std::memcpy(data + received, chunk, keep);
    received += keep;
    progress.OnChunk();
    if (keep < length) overflowed = true;
    return !overflowed;
  }
};

// Writes the image under a hidden temporary name and makes it durable.
bool WriteTempFile(const std::string& path, const unsigned char* data, std::size_t size) {
  ::unlink(path.c_str());  // the leftover of a save that was cut off
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteFull(fd, data, size) && ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

void SyncDirectory(const char* dir) {
  int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the rename has happened either way
  ::close(fd);
}

}  // namespace

int RomInfo::Download() {
  if (size < 0 || size > kMaxImageSize) return 2;
  data = new (std::nothrow) unsigned char[static_cast<std::size_t>(size)];
  if (!data) return 2;

  ImageReceiver receiver(data, static_cast<std::size_t>(size));
  HttpClient http;
  HttpClient::Result result = http.Get(url, [&receiver](const char* chunk, std::size_t length) {
    return receiver.OnChunk(chunk, length);
  });
  LogPrint("%s", "");  // ends the progress line

  int code = 0;
  bool complete = result == HttpClient::Result::kComplete || receiver.overflowed;
  if (!complete) {
    code = 4;
  } else if (receiver.received != receiver.size || Md5Hex(data, receiver.size) != md5) {
    code = 5;  // a short body never matches: its unfilled rest is not digested
  } else if (SaveToRomDir() != 0) {
    code = 6;
  }
  if (code != 0) {
    delete[] data;  // nobody will serve a failed download
    data = nullptr;
  }
  return code;
}

// The older image of the model stays until the new one is completely on disk.
int RomInfo::SaveToRomDir() {
  if (!IsValidStoreName(model, version)) return 6;
  ::mkdir(kRomDir, 0755);  // fails harmlessly when it exists
  std::string dir = kRomDir;
  // Hidden, so the store never takes it for an image; one name per model, so
  // a save that was cut off leaves at most one such file behind.
  std::string temp = dir + "/." + model + ".tmp";
  if (!WriteTempFile(temp, data, static_cast<std::size_t>(size)) ||
      !FindRomFile(dir, model, true).empty() ||
      ::rename(temp.c_str(), (dir + "/" + model + "-" + version).c_str()) != 0) {
    ::unlink(temp.c_str());
    return 6;
  }
  SyncDirectory(kRomDir);
  return 0;
}
