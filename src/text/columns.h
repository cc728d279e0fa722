// How much of a console row text takes, and a shorter form of text that fits in fewer columns.
#pragma once

#include <cstddef>
#include <string>

namespace velm {

// The columns that text (UTF-8, as displayText gives it) takes on a console: two for each wide
// character (East Asian scripts, emoji), one for every other code point. Where consoles disagree
// the count is the higher one, so that text measured to fit always does.
size_t consoleColumns(const std::string& text);

// Text that takes at most columns columns: text itself when it fits, else its start and its end
// joined by "...", so that both the name and its extension stay in sight.
std::string fitColumns(const std::string& text, size_t columns);

}  // namespace velm
