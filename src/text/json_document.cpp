#include "text/json_document.h"

namespace velm {

nlohmann::json parseJsonDocument(const std::string& text) {
  if (holdsNulByte(text)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(text, nullptr, false, false);
}

}  // namespace velm
