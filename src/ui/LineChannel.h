// The operating system's side of line mode: standard input, output and error,
// the cancel command and a wake-up that any thread may give. Line mode's
// logic (LineFrontend) is the same everywhere; each system has a channel.
#pragma once

#include <string>
#include <string_view>

class LineChannel {
 public:
  virtual ~LineChannel() = default;

  // False when the channel could not be set up; line mode then cannot run.
  virtual bool Valid() const = 0;

  // Writes all of `data` to standard output or error before returning, so a
  // reader at the other end of a pipe has it at once. Gives up silently when
  // the output is gone.
  virtual void WriteOut(std::string_view data) = 0;
  virtual void WriteErr(std::string_view data) = 0;
  // From now on WriteErr writes where standard error goes now, also after
  // the diagnostics file has taken standard error over.
  virtual void KeepErrorOutput() = 0;

  // Between these two, the system's cancel requests (signals, Ctrl-C) end
  // Wait() with `cancel` set instead of acting on the process.
  virtual void CatchCancel() = 0;
  virtual void ReleaseCancel() = 0;

  struct Input {
    std::string data;     // bytes read from standard input, possibly none
    bool end = false;     // standard input has ended (or failed)
    bool cancel = false;  // the cancel command came
  };
  // Waits until input arrives, the input ends, the cancel command comes,
  // Wake() is called or `timeoutMs` passed (-1: no limit), and returns what
  // came. After `end` it is not called again for input.
  virtual Input Wait(int timeoutMs = -1) = 0;

  // Ends a Wait() that is running or the next one. Any thread; the channel
  // is shared, so this stays safe after the frontend is gone.
  virtual void Wake() = 0;
};
