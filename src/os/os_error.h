// The system's error codes in the launcher's words: one helper per platform, as leveldb's
// PosixError and WindowsError, instead of each call site formatting "error N" itself.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace velm {

// The code of the calling thread's last failed system call: GetLastError() on Windows, errno on
// the POSIX port. Read it before any other call can overwrite it.
uint32_t lastErrorCode();
// The same as an error_code of the system's category, for std::filesystem's style of reporting.
std::error_code lastError();
// The outcome of a system call that reports failure through lastError(): clears error when ok,
// else sets it; returns ok.
bool systemResult(bool ok, std::error_code& error);
// "error " and the code in decimal, as the launcher's messages show a system's code.
std::string errorCodeText(uint32_t code);
// The system's message for a code: US English where available, trailing white space removed,
// "unknown error" when the system has none.
std::string systemErrorMessage(const std::error_code& error);
// What a refused link reports, in the words of a failed call: ELOOP, as O_NOFOLLOW gives it on the
// POSIX port; ERROR_CANT_RESOLVE_FILENAME on Windows, the code of a link that cannot be followed
// (ERROR_STOPPED_ON_SYMLINK has no text under Wine).
std::error_code linkRefusedError();
// True for the errors of a file that another program holds open: a sharing or lock violation or
// access denied on Windows (32, 33, 5); EBUSY and ETXTBSY on the POSIX port.
bool isHeldError(const std::error_code& error);

}  // namespace velm
