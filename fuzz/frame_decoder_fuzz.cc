// Any frame a capture could hand up: the decoder reads within it, the
// timeline's line for it is one well-formed line, and the diagnosis and the
// capture ring take it.
#include "FuzzInput.h"
#include "observe/Diagnosis.h"
#include "observe/FrameDecoder.h"
#include "observe/Pcapng.h"
#include "observe/Timeline.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> frame(data, size);
  std::optional<observe::FrameInfo> info = observe::DecodeFrame(frame);
  if (!info) return 0;
  Require(size >= 14);
  Require(info->fileName.size() <= observe::FrameInfo::kMaxFileName);
  if (info->kind == observe::FrameInfo::kTftpRequest) Require(info->toPort == observe::kTftpPort);
  if (info->kind == observe::FrameInfo::kTftp) {
    Require(info->fromPort == observe::kTftpPort || info->toPort == observe::kTftpPort ||
            info->fromPort >= observe::kFirstTransferPort || info->toPort >= observe::kFirstTransferPort);
  }
  observe::Event event;
  event.kind = observe::Event::kFrame;
  event.t = observe::Millis(1500);
  event.frame = *info;
  std::string line = observe::TimelineLine(event);
  Require(line.size() > 2 && line.front() == '{' && line.ends_with("}\n"));
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    Require(static_cast<unsigned char>(line[i]) >= 0x20);  // no control byte, no line end inside
  }
  observe::DiagnosisEngine engine;
  observe::Event wait;
  wait.kind = observe::Event::kWaitBegin;
  wait.address = 0xC0A80158;
  wait.prefixLength = 24;
  engine.OnEvent(wait);
  for (int i = 0; i < 3; ++i) engine.OnEvent(event);
  engine.Tick(observe::Millis(60000));
  observe::PcapngRing ring("eth0", 4096);
  ring.Add(1, false, frame, size);
  ring.Add(2, true, frame, size + 10);
  Require(ring.FileSize() <= 4096 && ring.File().size() == ring.FileSize());
  return 0;
}
