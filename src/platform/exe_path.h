// The full path of the running exe, as the platform reports it.
#pragma once

#include <string>

namespace velm {

// Empty when the platform cannot tell.
std::wstring runningExePath();

}  // namespace velm
