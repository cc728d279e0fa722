// The launch sequence: the whole life of the launcher after start-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "os/folder_lock.h"
#include "platform/app_io.h"
#include "text/text.h"

namespace velm {

struct LaunchOptions {
  std::string exeDir;     // UTF-8 folder of the running exe, no trailing separator; may be empty
  std::string arguments;  // the launcher's own argument text, verbatim
  Version version;
  int64_t now = 0;  // seconds since 1970-01-01 UTC as the run starts: what "expires" is held to
  // How long the run waits for another launcher's lock on the folder before it gives up.
  std::chrono::milliseconds lockWait = FolderLock::kLongestWait;
  // VELM_COOP_VERIFY: every package file is hashed, whatever the record of verified files says.
  bool fullCheck = false;
};

// The version this build was configured with.
Version builtInVersion();
// "Velm Co-op 2.0.0"
std::string bannerText(const Version& version);
// "https://" + host + "/games.json"
std::string catalogueUrl();

// Returns the process exit code: 0 or 1.
int run(const LaunchOptions& options, AppIo& io);

// The lock a launcher holds on its game folder while it changes files there: a file in the
// package folder, which is made first. None when the folder is empty or the package folder
// cannot be made (or is a link).
FolderLock lockGameFolder(const std::filesystem::path& folder,
                          const std::function<void()>& onLongWait = nullptr,
                          std::chrono::milliseconds limit = FolderLock::kLongestWait);
std::string unreadableMessage(const std::string& detail);
std::string unsignedMessage(const std::string& detail);
// A signed document that is older than the saved copy, expired, or not the one the catalogue
// names.
std::string outdatedMessage(const std::string& detail);

}  // namespace velm
