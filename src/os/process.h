// Creating the co-op launcher's process: the platform half of starting the game.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velm {

// Starts exePath with commandLine in workingFolder and does not wait. A steamAppId other than 0
// rewrites the inherited environment with buildEnvironment. On failure sets error to "error "
// and the platform's code (GetLastError on Windows, errno on POSIX), and returns false. The POSIX
// port also makes exePath executable for its owner and builds argv with splitCommandLine.
[[nodiscard]] bool startChildProcess(const std::string& exePath, const std::string& commandLine,
                                     const std::string& workingFolder, uint64_t steamAppId,
                                     std::string& error);

// The POSIX port only: a package's launcher or a downloaded build may arrive without the execute
// bit. Sets it for the owner, keeping the other mode bits; a file that cannot be read or changed
// is left to the start, which says why it cannot run it.
void makeOwnerExecutable(const std::string& path);

// Readies the verified new build at build to run as exe does: the POSIX port gives it exe's
// permission bits and the owner's execute bit, through a descriptor that a link in build's place
// cannot redirect. Windows needs nothing.
void makeRunnableLike(const std::filesystem::path& build, const std::filesystem::path& exe);

// Starts exe with this process's own command line (the POSIX port: its own argv) and
// environment, and does not wait; the child shares the standard handles and no other. On failure
// returns false with code set to the system's error code.
[[nodiscard]] bool startWithOwnCommandLine(const std::filesystem::path& exe, uint32_t& code);

// The POSIX port only: posix_spawn of program in workingFolder (ours when empty), without
// waiting. The child keeps standard input, output and error and no other descriptor, whatever a
// library left open without close-on-exec. Returns 0, or the error code of the failed spawn,
// chdir or exec.
int spawnProgram(const std::string& program, char* const argv[], char* const envp[],
                 const std::string& workingFolder);

// The Windows port only: starts exePath with commandLine (zero-terminated; CreateProcessW may
// write into it) in our folder and console, with our environment, and does not wait. Of our
// handles the child inherits the standard ones and no other. On failure returns false with
// GetLastError set.
[[nodiscard]] bool startSharingStandardHandles(const std::wstring& exePath,
                                               std::vector<wchar_t>& commandLine);

}  // namespace velm
