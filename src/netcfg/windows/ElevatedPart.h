// The elevated part of the Windows program: the program starts itself once
// more with administrator rights ("--network-helper", through the system's
// elevation prompt) when an adapter is about to be changed, and asks it for
// the network helper's requests over a named pipe. The pipe admits only the
// user's own logon session (and administrators), takes one client, and the
// program talks only to the process it started; the elevated part ends when
// the program's end of the pipe closes.
#pragma once

#include <mutex>
#include <string>

#include "netcfg/HelperProtocol.h"
#include "platform/windows/Win32.h"

// The elevated part as the program sees it.
class IElevatedPart {
 public:
  virtual ~IElevatedPart() = default;
  // Carries out `request` and gives the reply. False when there is no
  // elevated part to ask (the operator declined the prompt, it could not be
  // started, or it has gone); `why` then says so for the operator.
  virtual bool Ask(const helper::Request& request, helper::Reply& reply, std::string& why) = 0;
};

// The text `why` holds when the operator declined the elevation prompt.
extern const char* const kElevationDeclined;

class ElevatedPart : public IElevatedPart {
 public:
  // `program`: the file started elevated; empty: this program's own.
  explicit ElevatedPart(std::wstring program = {});
  ~ElevatedPart() override;
  ElevatedPart(const ElevatedPart&) = delete;
  ElevatedPart& operator=(const ElevatedPart&) = delete;

  // Starts the elevated part on the first request; a start that failed is not
  // tried again (one prompt per run). Safe from any thread.
  bool Ask(const helper::Request& request, helper::Reply& reply, std::string& why) override;

 private:
  bool Start(std::string& why);
  bool Exchange(const std::vector<std::uint8_t>& message, std::vector<std::uint8_t>& answer);
  void Close();

  std::wstring m_program;
  std::mutex m_mutex;
  HANDLE m_pipe = INVALID_HANDLE_VALUE;
  HANDLE m_process = nullptr;
  HANDLE m_event = nullptr;
  std::string m_failed;  // why the start failed, once it has
};

// The elevated part's own run: connects to `pipeName` (a name of the shape
// the program makes, nothing else) and serves requests until the program's
// end closes. The process's exit status.
int ServeElevated(const std::wstring& pipeName);

// The command-line flag that starts the elevated part.
inline constexpr const char* kElevatedFlag = "--network-helper";
