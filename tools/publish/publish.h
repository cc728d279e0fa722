// The publish command: a catalogue, a key and each game's package folder become a complete
// static tree, signed and checked as the shipped launcher will check it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "signature/signature.h"

namespace velm {

struct PublishRequest {
  std::string catalogue;                 // path of games.json as written by the team
  std::string host;                      // the launcher's catalogue host, port included
  std::string key;                       // path of the private key (PEM)
  std::vector<TrustedKey> launcherKeys;  // the keys the shipped launcher trusts
  // Game id and its package folder, which holds manifest.json and the files it lists.
  std::vector<std::pair<std::string, std::string>> packages;
  std::string launcherBuild;    // optional: the build the catalogue's launcher block announces
  bool allowTestBuild = false;  // publish a launcherBuild made without VELM_RELEASE (tests, demo)
  std::string out;
  // Written into the catalogue and every manifest; 1 to kMaxSerial.
  uint64_t serial = 0;
  // The catalogue's "expires" (YYYY-MM-DDTHH:MM:SSZ); empty for a catalogue that never expires.
  std::string expires;
  // Optional: the tree of an earlier publication, whose serials this one must not go below.
  std::string previous;
};

// The catalogue is published with the serial, the expiry and each game's manifest digest, and
// each manifest with the serial; every other key stays as the team wrote it. Checks and plans
// everything first; only a plan without a problem is written. The launcher build must be a
// release build unless allowTestBuild, and must say that it trusts the key and reads its
// catalogue from host. On failure returns false with *error set and out untouched.
[[nodiscard]] bool publishSite(const PublishRequest& request, std::string* error);

}  // namespace velm
