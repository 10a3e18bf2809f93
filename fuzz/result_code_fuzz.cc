// Reading the result code from any report bytes.
#include "FuzzInput.h"
#include "tftp/ResultCode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto code = tftp::ReadResultCode({data, size});
  Require(!code || (*code >= 0 && *code <= 7));
  return 0;
}
