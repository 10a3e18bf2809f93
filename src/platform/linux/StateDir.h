// The folder where this program keeps what must outlive a run: the adapter
// journals and the diagnostics files.
#pragma once

#include <string>

#include "platform/linux/InvokingUser.h"

// $XDG_STATE_HOME/brickfix when XDG_STATE_HOME is an absolute path, else
// ~/.local/state/brickfix, with the home from $HOME or, without it, from the
// password database. Empty when no home can be found.
//
// In a run that root started (see UseAccountStateDirectory) the home comes
// from the password database alone.
std::string StateDirectory();

// For a run that root started, before anything uses the state folder: it
// is `owner`'s, in the home the password database gives (or under
// XDG_STATE_HOME when `useXdg`), and MakeStateDirectory makes and checks it
// component by component.
void UseAccountStateDirectory(const Account& owner, bool useXdg);

// Creates `dir` and its missing parents (new ones with mode 0700). False,
// with the reason in `error`, when it cannot be made or is not a folder.
// In a run that root started, every component is opened without following
// a link and must belong to root or the owner, and be writable by nobody
// else unless it is sticky (as /tmp is); the folder itself must be the
// owner's and writable by nobody else.
bool MakeStateDirectory(const std::string& dir, std::string& error);
