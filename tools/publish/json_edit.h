// Edits of a team's JSON document that keep every key the team wrote, in its place, so that the
// published document still reads like the one they keep.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace velm {

// Applies edit to the document's top-level object and writes the result back into text with a
// 2-space indent and a final line feed. Text that is not a JSON object is left as it is, for the
// launcher's checks to report in their own words; then returns false.
bool editJsonObject(std::string& text, const std::function<void(nlohmann::ordered_json&)>& edit);

// Sets key to value right after the key named after (at the end when there is none), wherever
// key stood before. object must be an object.
void setAfter(nlohmann::ordered_json& object, const std::string& after, const std::string& key,
              nlohmann::ordered_json value);

}  // namespace velm
