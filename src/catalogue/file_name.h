// The plain file name rules that every server-supplied file name must pass before it is joined
// to a local folder.
#pragma once

#include <string>

namespace velm {

// On failure returns false and, when reason is given, replaces it with the first failing rule's
// text (one of thirteen, e.g. "contains /"). A passing name leaves reason untouched.
[[nodiscard]] bool isPlainFileName(const std::string& name, std::string* reason);
// CON, NUL, COM1, LPT² and the like, with any extension and any ASCII case: names that open a
// device instead of a file on Windows.
bool isReservedDeviceName(const std::string& name);
// True when the last four bytes are ".exe" in any ASCII case.
bool endsWithExe(const std::string& name);

}  // namespace velm
