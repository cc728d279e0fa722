// Which settings made a launcher build, read from the marker that every build carries
// (src/selfupdate/build_marker.h): only a release build may be announced to players.
#pragma once

#include <cstdint>
#include <string>

namespace velm {

enum class BuildKind : uint32_t { Release, Test, Unmarked };

// The kind that path's marker names; a file that names both is a test build, and one with no
// marker is no launcher build. Returns false when the file cannot be read.
[[nodiscard]] bool readBuildKind(const std::string& path, BuildKind& kind);

// True for a release build, and for a test build when allowTest; else false with a sentence
// that names path and the reason in *error.
[[nodiscard]] bool checkLauncherBuild(const std::string& path, bool allowTest, std::string* error);

}  // namespace velm
