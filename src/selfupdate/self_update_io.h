// Everything the self-update needs of the machine apart from the network: the relaunch mark, the
// running exe's path, moving, deleting and starting builds, and two output lines. Each call
// carries out one effect; a call that fails for a platform reason prints that reason itself
// with printError.
#pragma once

#include <cstdint>
#include <string>

#include "os/held_file.h"

namespace velm {

class SelfUpdateIo {
 public:
  virtual ~SelfUpdateIo() = default;
  // True (once) when this process was started by an update; removes the mark.
  virtual bool consumeUpdatedMark() = 0;
  // Full path of the running exe, empty on failure.
  virtual std::wstring exePath() = 0;
  virtual bool moveFile(const std::wstring& source, const std::wstring& target) = 0;
  // Keeps the running build at aside, for a rollback, before the new one is moved over exe.
  // Windows must move it: a running exe's name cannot be replaced. A port that can replace it
  // keeps both names instead, so that exe names a whole launcher at every moment.
  virtual bool keepAside(const std::wstring& exe, const std::wstring& aside) {
    return moveFile(exe, aside);
  }
  // Readies the verified new build at build to be started before it takes exe's name, so that
  // a kill right after the move never leaves a launcher that cannot run. Windows needs nothing.
  virtual void makeRunnable(const std::wstring& build, const std::wstring& exe) {
    (void)build;
    (void)exe;
  }
  // Does nothing when the file is absent. Moves and deletes wait for a file that another program
  // holds, as HeldFiles does, naming the launcher's file (a move) or the deleted one.
  virtual void deleteFile(const std::wstring& path) = 0;
  // Starts the exe with this process's command line and the relaunch mark in its environment.
  virtual bool startExe(const std::wstring& exePath) = 0;
  virtual void printLine(const std::string& text) = 0;
  virtual void printError(const std::string& text) = 0;
  // Times the pauses before a cut download of the new build goes on.
  virtual RetryClock& retryClock() { return systemRetryClock(); }
};

// The process-wide implementation of this platform, created on first use.
SelfUpdateIo& systemSelfUpdateIo();

// The lines with which an io names a platform's reason, the same on every platform.
std::string moveFailedLine(const std::wstring& source, const std::wstring& target, uint32_t code);
std::string startFailedLine(uint32_t code);
// The last component of a path with either separator, as UTF-8: the name a waiting line shows.
std::string fileNameOf(const std::wstring& path);

}  // namespace velm
