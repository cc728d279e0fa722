#include "platform/console_app_io.h"

#include <cstdio>

#include "os/console.h"
#include "os/process.h"

namespace velm {

Net& ConsoleAppIo::net() {
  if (offlineMode_) return noNet_;
  return *onlineNet_;
}

SelfUpdateIo& ConsoleAppIo::selfUpdateIo() { return systemSelfUpdateIo(); }

bool ConsoleAppIo::startProcess(const std::string& exePath, const std::string& commandLine,
                                const std::string& workingFolder, uint64_t steamAppId,
                                std::string& error) {
  return startChildProcess(exePath, commandLine, workingFolder, steamAppId, error);
}

void ConsoleAppIo::printLine(const std::string& text) { writeOutputLine(text); }

void ConsoleAppIo::printError(const std::string& text) { writeErrorLine(text); }

FILE* ConsoleAppIo::progressOutput() { return stdout; }

const std::vector<TrustedKey>& ConsoleAppIo::trustedKeys() {
  // Built once, on first use, for the whole process.
  static const std::vector<TrustedKey> keys = buildTrustedKeys();
  return keys;
}

}  // namespace velm
