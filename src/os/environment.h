// This process's environment variables, in UTF-8: what a started process inherits.
#pragma once

#include <string>

namespace velm {

// False when the variable is not set; otherwise its whole value.
[[nodiscard]] bool readEnvironment(const std::string& name, std::string& value);
// Sets the variable; a null value removes it.
void setEnvironment(const std::string& name, const char* value);

}  // namespace velm
