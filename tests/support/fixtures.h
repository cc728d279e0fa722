// Documents for logic tests: catalogues and manifests written as the server would, signed with
// a test key that the FakeAppIo trusts.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "package/manifest.h"
#include "signature/signature.h"
#include "support/fake_net.h"

namespace velm {

// The seed of the key that tests trust, and one that they do not.
const std::array<uint8_t, 32>& trustedSeed();
const std::array<uint8_t, 32>& untrustedSeed();
TrustedKey trustedTestKey();

// A game whose manifest lives at https://cdn.test/<id>/manifest.json.
Game testGame(const std::string& id, const std::string& exe,
              const std::string& launcher = "coop.exe", uint64_t steamAppId = 480);
// Announces build 2.0.0, which is never newer than the running build of the tests.
LauncherInfo testLauncherInfo(const std::string& version = "2.0.0");
std::string catalogueJson(const std::vector<Game>& games,
                          const LauncherInfo& launcher = testLauncherInfo());
// With the catalogue's serial, expiry and manifest digests, each written only when present.
std::string catalogueJson(const Catalogue& catalogue);

Sha256Digest sha256Of(const std::string& content);

// Serves the document and its ".sig" (signed with seed) on the FakeNet.
void serveSigned(FakeNet& net, const std::string& url, const std::string& document,
                 const std::array<uint8_t, 32>& seed = trustedSeed());

}  // namespace velm
