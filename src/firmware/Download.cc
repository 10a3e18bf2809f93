#include "firmware/Download.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

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
// while it arrives: hidden, so the store never takes it for an image, and
// under a name of its own (".MODEL.XXXXXX.tmp", made up at random and
// created only where nothing is), so two runs never write the same file.
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
      : m_final(std::string(kRomDir) + "/" + model + "-" + version), m_model(model) {}
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
      // What a save of an earlier version, under its one name per model,
      // left when it was cut off.
      RemoveFile(std::string(kRomDir) + "/." + m_model + ".tmp");
      m_state = State::kOpen;
      if (!CreateUnique()) Fail();
    }
    return m_state == State::kOpen;
  }

  bool CreateUnique() {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int tries = 0; tries < 100; ++tries) {
      std::string name = std::string(kRomDir) + "/." + m_model + ".";
      for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
      name += ".tmp";
      if (m_file.CreateNew(name)) {
        m_temp = name;
        return true;
      }
      if (!PathExists(name)) return false;  // no clash: the store takes no file
    }
    return false;
  }

  Outcome Fail() {
    Discard();
    m_state = State::kFailed;
    return Outcome::kNotWritten;
  }

  void Discard() {
    if (m_state != State::kOpen) return;
    m_file.Close();
    if (!m_temp.empty()) RemoveFile(m_temp);
    m_temp.clear();
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

// Digests the image and writes it to the pending file on a thread of its
// own, following the receiver through the block, so that the receiving
// thread only copies. Each range is digested once it has arrived; the file
// is written a piece at a time.
class ImageFollower {
 public:
  ImageFollower(const unsigned char* block, PendingImageFile* file) : m_data(block), m_file(file) {}
  ~ImageFollower() { Finish(m_published); }
  ImageFollower(const ImageFollower&) = delete;
  ImageFollower& operator=(const ImageFollower&) = delete;

  // False when the thread cannot be started.
  bool Start() {
    try {
      m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  // The first `received` bytes of the block are final. Called by the
  // receiving thread after each chunk; it wakes the follower once a step's
  // worth has arrived.
  void Advance(std::size_t received) {
    if (received - m_published < kStep) return;
    Publish(received, false);
  }

  // No more bytes come: waits until all `received` bytes are digested and
  // written, and returns the digest text ("" when the digest failed).
  std::string Finish(std::size_t received) {
    if (!m_thread.joinable()) return m_digestText;
    Publish(received, true);
    m_thread.join();
    m_digestText = m_digest.HexDigest();
    return m_digestText;
  }

 private:
  static constexpr std::size_t kStep = 256 * 1024;

  void Publish(std::size_t received, bool last) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_received = received;
      m_last = last;
    }
    m_published = received;
    m_wake.notify_one();
  }

  void Run() {
    std::size_t digested = 0;
    std::size_t written = 0;
    for (;;) {
      std::size_t received;
      bool last;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [&] { return m_last || m_received != digested; });
        received = m_received;
        last = m_last;
      }
      m_digest.Update(m_data + digested, received - digested);
      digested = received;
      if (m_file && (received - written >= kWritePiece || last)) {
        m_file->Write(m_data + written, received - written);
        written = received;
      }
      if (last) return;
    }
  }

  const unsigned char* m_data;
  PendingImageFile* m_file;  // nullptr: nothing is written
  Md5 m_digest;
  std::string m_digestText;
  std::thread m_thread;
  std::size_t m_published = 0;  // the receiving thread's own count
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::size_t m_received = 0;  // guarded by m_mutex
  bool m_last = false;         // guarded by m_mutex
};

// Receives the body straight into the image block. Bytes past `size` are
// dropped; once the block is full and more arrives the transfer is cut
// short, so an endless body cannot hold the wizard.
struct ImageReceiver {
  ImageReceiver(unsigned char* block, std::size_t length, ImageFollower& follower)
      : data(block), size(length), follower(follower) {}

  unsigned char* data;
  std::size_t size;
  ImageFollower& follower;
  std::size_t received = 0;
  bool overflowed = false;
  DownloadProgress progress;

  bool OnChunk(const char* chunk, std::size_t length) {
    std::size_t keep = std::min(length, size - received);
    std::memcpy(data + received, chunk, keep);
    received += keep;
    follower.Advance(received);
    progress.OnChunk();
    if (keep < length) overflowed = true;
    return !overflowed;
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
  ImageFollower follower(data, file ? &*file : nullptr);
  if (!follower.Start()) {
    delete[] data;
    data = nullptr;
    return 2;
  }
  ImageReceiver receiver(data, static_cast<std::size_t>(size), follower);
  HttpClient::Result result = http.Get(url, [&receiver](const char* chunk, std::size_t length) {
    return receiver.OnChunk(chunk, length);
  });
  std::string digest = follower.Finish(receiver.received);
  LogPrint("%s", "");  // ends the progress line

  int code = 0;
  bool complete = result == HttpClient::Result::kComplete || receiver.overflowed;
  if (!complete) {
    code = 4;
  } else if (receiver.received != receiver.size || digest.empty() || digest != md5) {
    code = 5;  // a short body never matches: its unfilled rest is not digested
  } else if (!storable) {
    code = 6;
  } else {
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
