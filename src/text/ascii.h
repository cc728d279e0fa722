// ASCII case, the only case the launcher folds itself: file names, URL schemes, HTTP header and
// unit names and environment names compare A-Z with a-z and every other byte or unit as it
// stands, whatever the locale (curl's strcase.h: "Only 'raw' case insensitive strings").
#pragma once

#include <string>
#include <string_view>

namespace velm {

// A-Z to a-z, or a-z to A-Z; every other unit, UTF-8 bytes and wide units included, unchanged.
template <class Unit>
constexpr Unit asciiLower(Unit c) {
  return c >= Unit('A') && c <= Unit('Z') ? static_cast<Unit>(c - 'A' + 'a') : c;
}
template <class Unit>
constexpr Unit asciiUpper(Unit c) {
  return c >= Unit('a') && c <= Unit('z') ? static_cast<Unit>(c - 'a' + 'A') : c;
}

std::string toLowerAscii(std::string_view text);

// Equal, or beginning or ending with the other, ASCII letters compared in either case.
bool equalsNoCase(std::string_view a, std::string_view b);
bool equalsNoCase(std::wstring_view a, std::wstring_view b);
bool startsWithNoCase(std::string_view text, std::string_view prefix);
bool endsWithNoCase(std::string_view text, std::string_view suffix);
bool endsWithNoCase(std::wstring_view text, std::wstring_view suffix);

}  // namespace velm
