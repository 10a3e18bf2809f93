// What the network helper makes of any message on its socket: it accepts
// only requests of its list, within their bounds, exactly as the program
// writes them; and what the program makes of a captured frame from it.
#include "FuzzInput.h"
#include "netcfg/HelperProtocol.h"

using namespace helper;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (std::optional<CapturedFrame> frame = DecodeCapturedFrame({data, size})) {
    Require(frame->bytes.size() <= kSnapLength && frame->bytes.size() <= frame->wireLength);
    std::vector<std::uint8_t> again = EncodeCapturedFrame(*frame);
    Require(again.size() == size && std::equal(again.begin(), again.end(), data));
  }
  std::optional<Request> request = DecodeRequest({data, size});
  if (!request) return 0;
  Require(size <= kMaxMessage);
  Require(KindOf(static_cast<std::uint16_t>(request->kind)) == request->kind);
  if (request->kind == Kind::kRestoreAdapter) Require(IsAcceptableState(request->state));
  // One layout per request: what was accepted is what the program would
  // send for it, byte for byte, so nothing else slips through.
  std::vector<std::uint8_t> again = EncodeRequest(*request);
  Require(again.size() == size && std::equal(again.begin(), again.end(), data));
  // Replies too survive their own decoding.
  Reply reply;
  reply.kind = request->kind;
  reply.status = Status::kDone;
  std::optional<Reply> decoded = DecodeReply(EncodeReply(reply));
  Require(decoded && decoded->kind == reply.kind);
  return 0;
}
