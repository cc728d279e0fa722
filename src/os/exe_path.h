// The full path of the running exe, as the platform reports it.
#pragma once

#include <string>

namespace velm {

// Empty when the platform cannot tell.
std::wstring runningExePath();

// Whether a file may be moved over the running exe's name while it runs: a POSIX process keeps
// its file whatever becomes of the name; Windows refuses to replace a running exe.
bool runningExeNameIsReplaceable();

}  // namespace velm
