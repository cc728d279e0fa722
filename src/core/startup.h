// What start-up learns about this process before the launch sequence runs.
#pragma once

#include <string>
#include <vector>

namespace velm {

// The launcher's own arguments: everything after the program-name token (quotes respected),
// leading blanks and tabs removed, otherwise verbatim.
std::string argumentTail(const std::string& commandLine);
// The POSIX port's twin of argumentTail: its arguments (argv without the program) quoted with
// quoteArgument and joined by blanks. The program path is left out rather than skipped by
// argumentTail: a POSIX path may hold a double quote, which Windows' program-name rule misreads.
std::string quotedArguments(const std::vector<std::string>& arguments);
// "Velm Co-op v" + the major version.
std::string consoleTitle();
// The folder part of an exe path, without the separator, except that a folder that is the root
// ("C:\" or "/") keeps it: "C:" alone would name the drive's current folder instead.
std::wstring folderOfPath(const std::wstring& path);
// The folder of the running exe; empty when it cannot be determined.
std::wstring exeFolder();
// A switch (VELM_COOP_OFFLINE, VELM_COOP_VERIFY) as read into an 8-unit buffer: on when the
// value has 1 to 7 units and starts with '1'. A longer value does not fit the buffer and counts
// as off.
bool isSwitchOn(const std::wstring& value);

}  // namespace velm
