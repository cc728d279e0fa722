// The two output channels. Standard output is flushed after each line and before each error
// line, so both stay in order when they share a console or a file.
#pragma once

#include <string>

namespace velm {

void writeOutputLine(const std::string& text);
void writeErrorLine(const std::string& text);

}  // namespace velm
