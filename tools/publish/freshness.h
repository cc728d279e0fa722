// The fields that let a launcher refuse a replayed, frozen or swapped document, as the publisher
// writes, compares and shows them: the serial of the catalogue and of every manifest, the
// catalogue's expiry and each game's manifest digest. They are the tool's: whatever a team wrote
// in their place is replaced.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "catalogue/catalogue.h"
#include "documents.h"
#include "text/text.h"

namespace velm {

// The manifest with "serial" right after "version". A document that is not a JSON object is
// returned as it is, for the checks to refuse.
std::string stampManifest(const std::string& text, uint64_t serial);

// The catalogue with "serial" right after "schema", then "expires" when expires is not empty
// (else none), and each game's "manifest_sha256" right after its "manifest", from
// manifestDigests by game id (none for a game not in it). Every other key keeps its place.
std::string stampCatalogue(const std::string& text, uint64_t serial, const std::string& expires,
                           const std::map<std::string, Sha256Digest>& manifestDigests);

// Refuses serial when the tree that velm-publish wrote into previous for host has a higher one in
// its catalogue or in the manifest of any game that catalogue shares with this one: every
// launcher that has seen that tree would refuse the new one. On failure *error names the
// document and gives the launcher's reason.
[[nodiscard]] bool checkNotOlder(const std::string& previous, const std::string& host,
                                 const Catalogue& catalogue, uint64_t serial, std::string* error);

// One line for each field of a document that the launcher's validator reads ("serial: N",
// "expires: DATE", "game ID: manifest_sha256 HEX", with "none" or "never" when absent) and, for a
// manifest, the SHA-256 of its bytes, which its game's manifest_sha256 must name. Empty for a
// document that does not validate.
std::string describeFreshness(DocumentKind kind, const std::string& text);

}  // namespace velm
