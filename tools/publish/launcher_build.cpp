#include "launcher_build.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "failure.h"
#include "selfupdate/build_identity.h"
#include "selfupdate/build_marker.h"
#include "signing_key.h"
#include "text/path_text.h"
#include "text/text.h"

namespace velm {

bool readBuildKind(const std::string& path, BuildKind& kind) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (!file) return false;
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return false;
  // The marker is a C string: the prefix, the kind and a NUL. This tool's own copy of the prefix
  // is followed by the NUL alone, so velm-publish is no launcher build of either kind.
  const std::string prefix = kBuildMarkerPrefix;
  bool release = false;
  bool test = false;
  for (size_t at = bytes.find(prefix); at != std::string::npos;
       at = bytes.find(prefix, at + prefix.size())) {
    const size_t start = at + prefix.size();
    const size_t end = bytes.find('\0', start);
    if (end == std::string::npos) break;
    const std::string name = bytes.substr(start, end - start);
    release = release || name == kReleaseBuildKind;
    test = test || name == kTestBuildKind;
  }
  kind = test ? BuildKind::Test : release ? BuildKind::Release : BuildKind::Unmarked;
  return true;
}

bool checkLauncherBuild(const std::string& path, bool allowTest, std::string* error) {
  BuildKind kind;
  if (!readBuildKind(path, kind)) {
    return fail(error, "the launcher build " + path + " is missing or unreadable");
  }
  if (kind == BuildKind::Release || (kind == BuildKind::Test && allowTest)) return true;
  const std::string only = "; only a release build may be published";
  if (kind == BuildKind::Test) {
    return fail(error, path + " is a test build (built without VELM_RELEASE)" + only);
  }
  return fail(error,
              path + " is not a Velm Co-op launcher build (it carries no build marker)" + only);
}

bool checkBuildTrusts(const std::string& path, const TrustedKey& key, const std::string& keyPath,
                      const std::string& host, std::string* error) {
  BuildIdentity identity;
  switch (readBuildIdentity(pathFromUtf8(path), identity)) {
    case BuildIdentityStatus::Found:
      break;
    case BuildIdentityStatus::None:
      return fail(error, path + " does not say which key and host it trusts (it has no " +
                             kBuildIdentitySection +
                             " section), so whether players could use it cannot be told");
    case BuildIdentityStatus::Unreadable:
      return fail(error, path + " has a " + kBuildIdentitySection +
                             " section that this velm-publish cannot read, so whether players "
                             "could use it cannot be told");
  }
  switch (judgeBuild(identity, key, host)) {
    case BuildFit::Fits:
      return true;
    case BuildFit::OtherKey:
      return fail(error, path + " does not trust " + keyPath + " (public key " + publicKeyHex(key) +
                             "): players who update to it would refuse every catalogue it signs");
    case BuildFit::OtherHost:
      break;
  }
  return fail(error, path + " fetches its catalogue from " + displayText(identity.host) + ", not " +
                         host + ": players who update to it would never read this catalogue again");
}

}  // namespace velm
