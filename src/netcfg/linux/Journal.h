// The journal: one file per adapter in the state folder, holding its
// snapshot until the adapter has its own settings back. Written so that a
// crash or a power cut leaves either the old file or the new one whole.
#pragma once

#include <string>
#include <vector>

#include "netcfg/AdapterSnapshot.h"

// The calling thread's network namespace, as AdapterSnapshot::netns names
// it; 0 when it cannot be told.
unsigned long long CurrentNetworkNamespace();

class AdapterJournal {
 public:
  // `dir` is the state folder; empty: nothing can be kept.
  explicit AdapterJournal(std::string dir) : m_dir(std::move(dir)) {}

  const std::string& Dir() const { return m_dir; }
  std::string PathOf(const std::string& ifname) const;
  // Creates the folder when needed, writes a temporary file, syncs it and
  // renames it into place.
  bool Save(const AdapterSnapshot& snapshot, std::string& error) const;
  // False when there is none (error empty) or it cannot be read or understood.
  bool Load(const std::string& ifname, AdapterSnapshot& out, std::string& error) const;
  bool Exists(const std::string& ifname) const;
  // Removing a journal that is not there is no error.
  bool Remove(const std::string& ifname) const;
  // The adapters that have a journal, by name.
  std::vector<std::string> Adapters() const;
  // Those whose journal belongs to network namespace `netns` (or does not
  // say which).
  std::vector<std::string> AdaptersOf(unsigned long long netns) const;

 private:
  std::string m_dir;
};
