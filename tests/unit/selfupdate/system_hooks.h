// What the tests of the platform's real SelfUpdateIo need of the machine, written once per
// platform (in self_update_io_posix_test.cpp and self_update_io_win_test.cpp).
#pragma once

#include <functional>
#include <string>

namespace velm {

// Sets a variable of this process's environment, where the io reads it; nullptr removes it.
void setVariable(const std::string& name, const char* value);
// False when the variable is absent; otherwise its value.
bool readVariable(const std::string& name, std::string& value);
// Writes straight to the file behind standard output, past the C library's buffer, as another
// process that shares the console does.
void writeUnbuffered(const std::string& text);
// Runs body with standard output and standard error sent to one file and returns what the file
// holds afterwards.
std::string captureOutput(const std::function<void()>& body);

}  // namespace velm
