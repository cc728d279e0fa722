// Replacing the running launcher with the newer build that the catalogue announces.
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/catalogue.h"
#include "selfupdate/self_update_io.h"
#include "text/text.h"

namespace velm {

enum class SelfUpdateResult : uint32_t { Skipped, UpToDate, Restarting, CarryOn };

// Deletes the copy that an earlier update moved aside.
void removeUpdateLeftover(SelfUpdateIo& io);
// Restarting means a new build is running and this process must end.
SelfUpdateResult runSelfUpdate(const LauncherInfo& launcher, const Version& running,
                               SelfUpdateIo& io);
// "X.exe" (any case) becomes "X.old.exe"; any other path gets ".old" appended.
std::wstring asidePath(const std::wstring& exePath);

}  // namespace velm
