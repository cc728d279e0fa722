// The running build's version, alone in its file: a test build can link another definition of
// builtInVersion in its place to make a "newer" launcher from the same objects.
#include "core/launch.h"
#include "velm_config.h"

namespace velm {

Version builtInVersion() {
  Version version;
  version.major = config::kVersionMajor;
  version.minor = config::kVersionMinor;
  version.patch = config::kVersionPatch;
  return version;
}

}  // namespace velm
