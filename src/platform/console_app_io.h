// What the AppIo of both platforms shares: the platform's Net and the offline one, the two console
// channels, the progress stream, the trusted keys, the self-update io and the process start.
#pragma once

#include <memory>

#include "net/net.h"
#include "platform/app_io.h"

namespace velm {

class ConsoleAppIo : public AppIo {
 public:
  explicit ConsoleAppIo(bool offlineMode)
      : onlineNet_(makeSystemNet(kTransferTimeoutMs)), offlineMode_(offlineMode) {}

  // The offline Net when VELM_COOP_OFFLINE was 1, else the platform's.
  Net& net() override;
  SelfUpdateIo& selfUpdateIo() override;
  bool startProcess(const std::string& exePath, const std::string& commandLine,
                    const std::string& workingFolder, uint64_t steamAppId,
                    std::string& error) override;
  void printLine(const std::string& text) override;
  void printError(const std::string& text) override;
  FILE* progressOutput() override;
  const std::vector<TrustedKey>& trustedKeys() override;

 private:
  std::unique_ptr<Net> onlineNet_;
  NoNet noNet_;
  bool offlineMode_;
};

}  // namespace velm
