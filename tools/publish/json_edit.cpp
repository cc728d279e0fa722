#include "json_edit.h"

#include <utility>

#include "text/json_document.h"

namespace velm {

bool editJsonObject(std::string& text, const std::function<void(nlohmann::ordered_json&)>& edit) {
  // The launcher's reader first: what it refuses (a NUL byte, trailing bytes) stays refused.
  if (parseJsonDocument(text).is_discarded()) return false;
  nlohmann::ordered_json document = nlohmann::ordered_json::parse(text, nullptr, false, false);
  if (!document.is_object()) return false;
  edit(document);
  text = document.dump(2) + "\n";
  return true;
}

void setAfter(nlohmann::ordered_json& object, const std::string& after, const std::string& key,
              nlohmann::ordered_json value) {
  nlohmann::ordered_json result = nlohmann::ordered_json::object();
  bool placed = false;
  for (auto& item : object.items()) {
    if (item.key() == key) continue;
    result[item.key()] = std::move(item.value());
    if (item.key() == after) {
      result[key] = value;
      placed = true;
    }
  }
  if (!placed) result[key] = std::move(value);
  object = std::move(result);
}

}  // namespace velm
