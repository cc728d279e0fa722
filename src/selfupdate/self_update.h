// Replacing the running launcher with the newer build that the catalogue announces.
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/catalogue.h"
#include "net/net.h"
#include "selfupdate/self_update_io.h"
#include "text/text.h"

namespace velm {

enum class SelfUpdateResult : uint32_t { Skipped, UpToDate, Restarting, CarryOn };

// Deletes the copy that an earlier update moved aside.
void removeUpdateLeftover(SelfUpdateIo& io);
// Restarting means a new build is running and this process must end. The build comes through
// net, with a longer time-out than the launcher's other requests.
SelfUpdateResult runSelfUpdate(const LauncherInfo& launcher, const Version& running,
                               SelfUpdateIo& io, Net& net);
// "X.exe" (any case) becomes "X.old.exe"; any other path gets ".old" appended.
std::wstring asidePath(const std::wstring& exePath);

// The rules by which every launcher judges a catalogue's launcher block, whatever its own
// version; velm-publish applies them too. Each returns true, or false with *problem set to the
// launcher's words (without the "self-update: " that the launcher prints before them).
// The version must be MAJOR.MINOR.PATCH with numbers up to 2147483647.
[[nodiscard]] bool readAnnouncedVersion(const LauncherInfo& launcher, Version& announced,
                                        std::string* problem);
// A non-zero size and a URL that begins "https://" in lower case.
[[nodiscard]] bool isCompleteBlock(const LauncherInfo& launcher, std::string* problem);
// A URL that the build can be fetched from (isRequestableHttpsUrl).
[[nodiscard]] bool isBuildUrl(const std::string& url, std::string* problem);

}  // namespace velm
