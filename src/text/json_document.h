// Parsing a whole JSON document the way both signed documents are read.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace velm {

// One JSON value and nothing but whitespace after it; no exceptions, no comments. A discarded
// value (is_discarded()) means the text is not valid JSON. The library stops reading at a NUL
// byte as if the text ended there, which would let bytes after a valid document through; no
// valid JSON text holds a raw NUL, so such text is refused too.
nlohmann::json parseJsonDocument(const std::string& text);

// Whether the text holds a NUL byte, and so is refused before the library sees it.
inline bool holdsNulByte(const std::string& text) { return text.find('\0') != std::string::npos; }

// The same document rules for a reader that takes the values as the parser meets them
// (nlohmann's SAX interface) instead of a whole document in memory. False when the text is not
// valid JSON; the reader has then seen part of it. Its parse_error must return false.
template <class Reader>
[[nodiscard]] bool readJsonDocument(const std::string& text, Reader& reader) {
  if (holdsNulByte(text)) return false;
  return nlohmann::json::sax_parse(text, &reader, nlohmann::json::input_format_t::json, true,
                                   false);
}

}  // namespace velm
