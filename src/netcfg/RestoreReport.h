// The lines that tell the operator about an adapter left changed and about
// putting adapters back from their journals: the same words on every
// system, in the log's language, one language a line.
#pragma once

#include <string>
#include <vector>

// The end of a run: `name` still has `now` ("a.b.c.d/n, ..." or empty)
// instead of `own`. `journaled`: its journal keeps the settings, and
// `restoreCommand` puts them back; otherwise `keptIn` names where they could
// not be kept (empty: no state folder) and `byHand` where to set them back.
std::string ChangedAdapterLine(const std::string& name, const std::string& now, const std::string& own,
                               bool journaled, const std::string& restoreCommand,
                               const std::string& keptIn, const std::string& byHand);

// --restore-network's report.
std::string NothingToRestoreLine();
std::string RestoredLine(const std::string& name, const std::string& own);
std::string OtherNamespaceLine(const std::string& name);
// The adapter stays changed: where its journal stays, the reason on a line of
// its own, and the commands an administrator can run for what lies beyond
// what the program may set.
std::string NotRestoredLines(const std::string& name, const std::string& journalPath, const std::string& reason,
                             const std::vector<std::string>& commands);
