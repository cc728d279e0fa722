// Preloaded into the launcher by crash.py (LD_PRELOAD) to kill it at an exact point between two
// file system changes, where a kill from outside lands only by luck: the moment between two
// renames lasts microseconds.
//
//   VELM_KILL_AT=K      the K-th change (1 = the first) raises SIGKILL instead of happening, so
//                       the process dies with changes 1 .. K-1 done and none after them.
//   VELM_KILL_TRACE=F   appends one line per change to file F: CLOCK_MONOTONIC in
//                       nanoseconds, the process id, the call and its paths.
//
// Changes are the calls that add, remove or rename a name: rename, renameat, renameat2, link,
// linkat, unlink, unlinkat, remove. VELM_KILL_AT is removed from the environment when the
// library loads, so it kills only the process that crash.py started, not a relaunched build or
// the game that it starts (those inherit LD_PRELOAD). VELM_KILL_TRACE stays: they trace too.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace velm {
namespace {

long killAt = 0;  // 0: never
long changes = 0;
int traceFd = -1;

__attribute__((constructor)) void readSettings() {
  if (const char* value = getenv("VELM_KILL_AT")) killAt = strtol(value, nullptr, 10);
  if (const char* path = getenv("VELM_KILL_TRACE")) {
    traceFd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  unsetenv("VELM_KILL_AT");
}

std::string atPath(int folder, const char* path) {
  if (path == nullptr) return "(null)";
  if (path[0] == '/' || folder == AT_FDCWD) return path;
  return "<fd " + std::to_string(folder) + ">/" + path;
}

// Counts one change; dies here when it is the chosen one.
void change(const char* call, const std::string& first, const std::string& second = "") {
  ++changes;
  if (traceFd >= 0) {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long nanoseconds = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    std::string line =
        std::to_string(nanoseconds) + " " + std::to_string(getpid()) + " " + call + " " + first;
    if (!second.empty()) line += " -> " + second;
    line += "\n";
    ssize_t written = write(traceFd, line.data(), line.size());
    (void)written;  // a trace line lost is no reason to change what the launcher does
  }
  if (changes == killAt) raise(SIGKILL);
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace
}  // namespace velm

extern "C" {

using velm::atPath;
using velm::change;
using velm::next;

int rename(const char* from, const char* to) {
  change("rename", atPath(AT_FDCWD, from), atPath(AT_FDCWD, to));
  return next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
  change("renameat", atPath(fromFolder, from), atPath(toFolder, to));
  return next<int (*)(int, const char*, int, const char*)>("renameat")(fromFolder, from, toFolder,
                                                                       to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  change("renameat2", atPath(fromFolder, from), atPath(toFolder, to));
  return next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
      fromFolder, from, toFolder, to, flags);
}

int link(const char* from, const char* to) {
  change("link", atPath(AT_FDCWD, from), atPath(AT_FDCWD, to));
  return next<int (*)(const char*, const char*)>("link")(from, to);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  change("linkat", atPath(fromFolder, from), atPath(toFolder, to));
  return next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromFolder, from,
                                                                          toFolder, to, flags);
}

int unlink(const char* path) {
  change("unlink", atPath(AT_FDCWD, path));
  return next<int (*)(const char*)>("unlink")(path);
}

int unlinkat(int folder, const char* path, int flags) {
  change("unlinkat", atPath(folder, path));
  return next<int (*)(int, const char*, int)>("unlinkat")(folder, path, flags);
}

int remove(const char* path) {
  change("remove", atPath(AT_FDCWD, path));
  return next<int (*)(const char*)>("remove")(path);
}

}  // extern "C"
