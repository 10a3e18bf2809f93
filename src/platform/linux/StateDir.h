// The folder where this program keeps what must outlive a run: the adapter
// journals and the diagnostics files.
#pragma once

#include <string>

// $XDG_STATE_HOME/brickfix when XDG_STATE_HOME is an absolute path, else
// ~/.local/state/brickfix, with the home from $HOME or, without it, from the
// password database. Empty when no home can be found.
std::string StateDirectory();

// Creates `dir` and its missing parents (new ones with mode 0700). False,
// with the reason in `error`, when it cannot be made or is not a folder.
bool MakeStateDirectory(const std::string& dir, std::string& error);
