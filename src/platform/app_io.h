// Everything the launch logic needs of the machine apart from files, so that a test double can
// stand in for the whole platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "net/net.h"
#include "selfupdate/self_update_io.h"
#include "signature/signature.h"

namespace velm {

class AppIo {
 public:
  virtual ~AppIo() = default;
  // The Net for every request: the offline one when VELM_COOP_OFFLINE is 1.
  virtual Net& net() = 0;
  virtual SelfUpdateIo& selfUpdateIo() = 0;
  // Starts a process in workingFolder without waiting for it; a steamAppId other than 0 puts the
  // Steam ids into its environment. On failure returns false with error set ("error N").
  virtual bool startProcess(const std::string& exePath, const std::string& commandLine,
                            const std::string& workingFolder, uint64_t steamAppId,
                            std::string& error) = 0;
  // Waits for one key; returns at once when standard input or output is not a terminal.
  virtual void waitForKey() = 0;
  // One line on standard output, flushed.
  virtual void printLine(const std::string& text) = 0;
  // One line on standard error, after flushing standard output so both stay in order.
  virtual void printError(const std::string& text) = 0;
  virtual FILE* progressOutput() = 0;
  // Built once from the built-in key table; every call returns the same list.
  virtual const std::vector<TrustedKey>& trustedKeys() = 0;
};

// The platform's AppIo. Its Net objects live as long as it does.
std::unique_ptr<AppIo> makeSystemAppIo(bool offlineMode);

}  // namespace velm
