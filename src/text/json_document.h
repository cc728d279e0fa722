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

}  // namespace velm
