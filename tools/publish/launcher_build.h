// Which settings made a launcher build, read from the marker that every build carries
// (src/selfupdate/build_marker.h): only a release build may be announced to players.
#pragma once

#include <cstdint>
#include <string>

#include "signature/signature.h"

namespace velm {

enum class BuildKind : uint32_t { Release, Test, Unmarked };

// The kind that path's marker names; a file that names both is a test build, and one with no
// marker is no launcher build. Returns false when the file cannot be read.
[[nodiscard]] bool readBuildKind(const std::string& path, BuildKind& kind);

// True for a release build, and for a test build when allowTest; else false with a sentence
// that names path and the reason in *error.
[[nodiscard]] bool checkLauncherBuild(const std::string& path, bool allowTest, std::string* error);

// True when the build at path says (src/selfupdate/build_identity.h) that it trusts key, the
// public half of keyPath, and fetches its catalogue from host, by the self-update's own rule;
// else false with a sentence in *error that names path and what is wrong. A build that does not
// say is refused too: whether players could use it cannot be told.
[[nodiscard]] bool checkBuildTrusts(const std::string& path, const TrustedKey& key,
                                    const std::string& keyPath, const std::string& host,
                                    std::string* error);

}  // namespace velm
