// The download phase of a package update: several files in flight at once, and the console
// exactly as if they came one after the other.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "net/net.h"
#include "os/held_file.h"
#include "package/delta_download.h"
#include "package/pending_file.h"

namespace velm {

struct DownloadPhase {
  std::vector<std::string> skipped;  // the notes of optional files that failed, in manifest order
  std::string failure;               // the first required file that failed, with its reason
};

// Downloads every pending file into its ".new", in manifest order and as many at once as
// net.maxInFlight() (more once the Net learns it carries more), and sets downloaded on those
// that arrived. The console shows the files in manifest order:
// each file's "[*] downloading" line once the files before it are done, its progress line, and
// its failure ("[!] NAME REASON -- skipped, it is optional", or for a required file "[!] NAME
// REASON -- nothing was replaced", after which no later file is shown, those in flight are
// cancelled and none is started). fileUrl maps a file name to its URL; clock times the pauses
// before a cut transfer goes on. A file with a chunk index is assembled from the chunks in local
// (may be null) and ranges where that pays; its line then gives the bytes to fetch.
DownloadPhase downloadPending(std::vector<PendingFile>& pending,
                              const std::function<std::string(const std::string&)>& fileUrl,
                              Net& net, FILE* progress, RetryClock& clock,
                              const LocalChunks* local = nullptr);

}  // namespace velm
