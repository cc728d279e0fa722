// An AppIo that records lines, key waits and process starts, over a FakeNet or a NoNet.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/app_io.h"
#include "support/fake_net.h"
#include "support/fake_self_update_io.h"

namespace velm {

struct FakeAppIo final : AppIo {
  FakeAppIo();
  ~FakeAppIo() override;

  struct Start {
    std::string exePath;
    std::string commandLine;
    std::string workingFolder;
    uint64_t steamAppId = 0;
  };

  Net& net() override;
  SelfUpdateIo& selfUpdateIo() override { return selfUpdate; }
  bool startProcess(const std::string& exePath, const std::string& commandLine,
                    const std::string& workingFolder, uint64_t steamAppId,
                    std::string& error) override;
  void waitForKey() override { ++keyWaits; }
  void printLine(const std::string& text) override;
  void printError(const std::string& text) override;
  FILE* progressOutput() override { return progress_; }
  const std::vector<TrustedKey>& trustedKeys() override { return keys; }

  // What the progress stream received so far.
  std::string progressText();

  FakeNet fakeNet;
  NoNet noNet;
  bool offline = false;
  FakeSelfUpdateIo selfUpdate;
  std::vector<TrustedKey> keys;
  std::string startError;  // when not empty, startProcess fails with it
  std::vector<Start> starts;
  std::vector<std::string> out;  // standard output lines
  std::vector<std::string> err;  // standard error lines
  std::vector<std::string> log;  // both, in order, error lines prefixed with "E: "
  int keyWaits = 0;

 private:
  FILE* progress_;
};

}  // namespace velm
