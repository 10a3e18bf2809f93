// The firmware store: the directory "Rom" under the working directory, one
// file per model named model code + "-" + version, holding the raw image.
//
// A file belongs to a model when its name begins with the model code; letters
// are compared without regard to case, as the store has always behaved (so a
// hand-copied "rx2001-1.2" serves RX2001). Only regular files count:
// directories and other special entries are never returned, loaded or
// deleted, nor are hidden files (names beginning with "."), which is where
// an unfinished download is kept.
#pragma once

#include <cstddef>
#include <string>

#include "firmware/RomInfo.h"

constexpr const char* kRomDir = "Rom";
// The largest image the program handles, downloaded or stored.
constexpr int kMaxImageSize = 256 << 20;

// The first file of `model` in `dir` (in name order), or "". With `purge`
// every file of the model is deleted instead, and the result is the name of
// the first one that survived its deletion, or "" when all are gone.
std::string FindRomFile(const std::string& dir, const std::string& model, bool purge);

// Loads the stored image of `model` into `info` (data allocated with new[],
// never freed by the record). `info.version` becomes the text after the first
// "-" of the file name, when it has one. 0 loaded, 2 no memory (or larger than
// kMaxImageSize), 7 the file could not be opened or read completely, or is
// empty, 8 no file for the model (links are never followed, so a link in the
// store is no file).
int LoadRomFile(RomInfo& info, const std::string& model);

// True when `model` and `version` can name a store file: a non-empty model
// not beginning with ".", no path separator, no "..", no control character,
// and a name that fits the file system and that the system keeps as it is.
bool IsValidStoreName(const std::string& model, const std::string& version);
