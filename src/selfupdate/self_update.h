// Replacing the running launcher with the newer build that the catalogue announces.
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/catalogue.h"
#include "net/net.h"
#include "selfupdate/self_update_io.h"
#include "signature/signature.h"
#include "text/text.h"

namespace velm {

enum class SelfUpdateResult : uint32_t { Skipped, UpToDate, Restarting, CarryOn };

// Where the catalogue that announces a build came from: the key that verified its signature and
// the host it was fetched from. The new build must be able to read that catalogue too.
struct CatalogueOrigin {
  TrustedKey signer;
  std::string host;
};

// Deletes the copy that an earlier update moved aside.
void removeUpdateLeftover(SelfUpdateIo& io);
// Restarting means a new build is running and this process must end. The build comes through
// net, with a longer time-out than the launcher's other requests. A build that says which keys
// and host it trusts (build_identity.h) is moved in only when they fit origin.
SelfUpdateResult runSelfUpdate(const LauncherInfo& launcher, const Version& running,
                               const CatalogueOrigin& origin, SelfUpdateIo& io, Net& net);
// "X.exe" (any case) becomes "X.old.exe"; any other path gets ".old" appended.
std::wstring asidePath(const std::wstring& exePath);

// The first rule a catalogue's launcher block breaks, by which every launcher judges it whatever
// its own version, in the order it asks: a version of MAJOR.MINOR.PATCH with numbers up to
// 2147483647; a non-zero size and a URL that begins "https://" in lower case; a URL that the
// build can be fetched from (isRequestableHttpsUrl).
enum class LauncherBlockFault : uint32_t { None, Version, Incomplete, Url };

// The self-update and velm-publish both judge the block here. announced is set when the version
// reads; *problem (when given) gets the launcher's words for the fault, without the
// "self-update: " that the launcher prints before them.
LauncherBlockFault checkLauncherBlock(const LauncherInfo& launcher, Version& announced,
                                      std::string* problem);

}  // namespace velm
