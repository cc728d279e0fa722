#include "text/ascii.h"

namespace velm {
namespace {

template <class Unit>
bool sameNoCase(std::basic_string_view<Unit> a, std::basic_string_view<Unit> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

template <class Unit>
bool hasSuffixNoCase(std::basic_string_view<Unit> text, std::basic_string_view<Unit> suffix) {
  return text.size() >= suffix.size() &&
         sameNoCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

std::string toLowerAscii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = asciiLower(c);
  return lowered;
}

bool equalsNoCase(std::string_view a, std::string_view b) { return sameNoCase(a, b); }

bool equalsNoCase(std::wstring_view a, std::wstring_view b) { return sameNoCase(a, b); }

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && sameNoCase(text.substr(0, prefix.size()), prefix);
}

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
  return hasSuffixNoCase(text, suffix);
}

bool endsWithNoCase(std::wstring_view text, std::wstring_view suffix) {
  return hasSuffixNoCase(text, suffix);
}

}  // namespace velm
