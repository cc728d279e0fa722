// The console: the two output channels and the key wait. Standard output is flushed after each
// line and before each error line, so both stay in order when they share a console or a file.
#pragma once

#include <string>

namespace velm {

void writeOutputLine(const std::string& text);
void writeErrorLine(const std::string& text);

// Waits for one key, read without echo and without Enter (as _getch); returns at once when
// standard input or output is not a console or terminal, so that no run without one hangs.
void waitForConsoleKey();

}  // namespace velm
