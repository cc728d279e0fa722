// The line every launcher build carries in its bytes, "velm-build: release" or "velm-build: test"
// (cmake/build_marker.cpp.in), so that velm-publish can tell from the file alone whether a build
// was made with VELM_RELEASE.
#pragma once

namespace velm {

inline constexpr char kBuildMarkerPrefix[] = "velm-build: ";
inline constexpr char kReleaseBuildKind[] = "release";
inline constexpr char kTestBuildKind[] = "test";

}  // namespace velm
