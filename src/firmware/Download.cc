#include "firmware/Download.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/Log.h"
#include "firmware/HttpClient.h"
#include "firmware/Md5.h"
#include "firmware/RomInfo.h"
#include "firmware/RomStore.h"
#include "firmware/StoreIo.h"

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
  Md5 digest;
  digest.Update(data, size);
  return digest.HexDigest();
}

namespace {

// The image goes to disk in pieces of this size, straight from the block.
constexpr std::size_t kWritePiece = 1 << 20;

// The hidden temporary file of the store that a new image is written to
// while it arrives: hidden, so the store never takes it for an image, and one
// name per model, so a save that was cut off leaves at most one such file.
// Only Commit gives it its name; on every other ending it is removed, and so
// is a store folder that was made for it and stayed empty.
class PendingImageFile {
 public:
  enum class Outcome {
    kSaved,           // durable under its name, the model's older files gone
    kNotWritten,      // it could not be written (full disk, read-only store, ...)
    kOlderFileStays,  // an older file of the model could not be deleted
  };

  PendingImageFile(const std::string& model, const std::string& version)
      : m_temp(std::string(kRomDir) + "/." + model + ".tmp"),
        m_final(std::string(kRomDir) + "/" + model + "-" + version),
        m_model(model) {}
  ~PendingImageFile() { Discard(); }
  PendingImageFile(const PendingImageFile&) = delete;
  PendingImageFile& operator=(const PendingImageFile&) = delete;

  // Appends the next piece. After the first failure the file is gone and
  // further pieces are ignored.
  void Write(const unsigned char* data, std::size_t size) {
    if (!Open()) return;
    if (!m_file.Write(data, size)) Fail();
  }

  // Makes the file durable, removes the model's older files and renames it
  // into place. The older files stay until the new one is completely on disk.
  Outcome Commit() {
    if (!Open() || !m_file.Sync() || !m_file.Close()) return Fail();
    if (!FindRomFile(kRomDir, m_model, true).empty()) {
      Discard();
      return Outcome::kOlderFileStays;
    }
    if (!RenameFile(m_temp, m_final)) return Fail();
    SyncDirectory(kRomDir);
    m_state = State::kSaved;
    return Outcome::kSaved;
  }

 private:
  enum class State { kNew, kOpen, kFailed, kSaved };

  bool Open() {
    if (m_state == State::kNew) {
      m_madeDir = MakeDirectory(kRomDir);
      RemoveFile(m_temp);  // the leftover of a save that was cut off
      m_state = State::kOpen;
      if (!m_file.CreateNew(m_temp)) Fail();
    }
    return m_state == State::kOpen;
  }

  Outcome Fail() {
    Discard();
    m_state = State::kFailed;
    return Outcome::kNotWritten;
  }

  void Discard() {
    if (m_state != State::kOpen) return;
    m_file.Close();
    RemoveFile(m_temp);
    if (m_madeDir) RemoveEmptyDirectory(kRomDir);
    m_state = State::kNew;
    m_madeDir = false;
  }

  std::string m_temp;
  std::string m_final;
  std::string m_model;
  StoreFile m_file;
  State m_state = State::kNew;
  bool m_madeDir = false;
};

// One pass over the body: each chunk is copied into the image block,
// digested while it is fresh in the cache, and written to the pending file
// a piece at a time. Bytes past `size` are dropped; once the block is full
// and more arrives the transfer is cut short, so an endless body cannot hold
// the wizard.
struct ImageReceiver {
  ImageReceiver(unsigned char* block, std::size_t length, PendingImageFile* pending)
      : data(block), size(length), file(pending) {}

  unsigned char* data;
  std::size_t size;
  PendingImageFile* file;  // nullptr: nothing is written
  std::size_t received = 0;
  std::size_t written = 0;
  bool overflowed = false;
  Md5 digest;
  DownloadProgress progress;

  bool OnChunk(const char* chunk, std::size_t length) {
    std::size_t keep = std::min(length, size - received);
    std::memcpy(data + received, chunk, keep);
    digest.Update(data + received, keep);
    received += keep;
    if (received - written >= kWritePiece) WriteOut();
    progress.OnChunk();
    if (keep < length) overflowed = true;
    return !overflowed;
  }

  // Writes what has arrived since the last piece.
  void WriteOut() {
    if (file) file->Write(data + written, received - written);
    written = received;
  }
};

}  // namespace

int RomInfo::Download() {
  HttpClient http;
  return Download(http);
}

int RomInfo::Download(HttpClient& http) {
  if (size < 0 || size > kMaxImageSize) return 2;
  data = NewImageBlock(static_cast<std::size_t>(size));
  if (!data) return 2;

  // A name the store refuses is never written, not even as a pending file.
  bool storable = IsValidStoreName(model, version);
  std::optional<PendingImageFile> file;
  if (storable) file.emplace(model, version);
  ImageReceiver receiver(data, static_cast<std::size_t>(size), file ? &*file : nullptr);
  HttpClient::Result result = http.Get(url, [&receiver](const char* chunk, std::size_t length) {
    return receiver.OnChunk(chunk, length);
  });
  LogPrint("%s", "");  // ends the progress line

  int code = 0;
  bool complete = result == HttpClient::Result::kComplete || receiver.overflowed;
  std::string digest = receiver.digest.HexDigest();
  if (!complete) {
    code = 4;
  } else if (receiver.received != receiver.size || digest.empty() || digest != md5) {
    code = 5;  // a short body never matches: its unfilled rest is not digested
  } else if (!storable) {
    code = 6;
  } else {
    receiver.WriteOut();
    PendingImageFile::Outcome saved = file->Commit();
    if (saved == PendingImageFile::Outcome::kOlderFileStays) {
      code = 6;
    } else if (saved == PendingImageFile::Outcome::kNotWritten) {
      // The image is verified: it serves this recovery from memory, and the
      // store keeps what it had.
      LogPrint("固件无法保存到Rom目录，本次使用内存中的固件");
    }
  }
  if (code != 0) {
    delete[] data;  // nobody will serve a failed download
    data = nullptr;
  }
  return code;
}

int RomInfo::SaveToRomDir() {
  if (!IsValidStoreName(model, version)) return 6;
  PendingImageFile file(model, version);
  file.Write(data, static_cast<std::size_t>(size));
  return file.Commit() == PendingImageFile::Outcome::kSaved ? 0 : 6;
}
