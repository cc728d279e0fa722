// Preloaded into the launcher by crash.py (LD_PRELOAD) to kill it at an exact point between two
// file system changes, where a kill from outside lands only by luck: the moment between two
// renames lasts microseconds. It can also play another program that holds a file for a while,
// as a scanner or a running game does on Windows; Linux itself never refuses a rename for that.
//
//   VELM_KILL_AT=K      the K-th change (1 = the first) raises SIGKILL instead of happening, so
//                       the process dies with changes 1 .. K-1 done and none after them.
//   VELM_KILL_TRACE=F   appends one line per change to file F: CLOCK_MONOTONIC in
//                       nanoseconds, the process id, the call and its paths; a held call's
//                       line has "held " before the call.
//   VELM_HOLD=NAME:MS   plays another program that holds a file: from the first change whose
//                       destination (the new name of a rename or link, the name an unlink or
//                       remove deletes) has NAME as its last component, every such call fails
//                       with EBUSY and changes nothing until MS milliseconds after that first
//                       one; then they pass. A held call is no change: VELM_KILL_AT does not
//                       count it, as how many there are depends on timing.
//
// Changes are the calls that add, remove or rename a name: rename, renameat, renameat2, link,
// linkat, unlink, unlinkat, remove. VELM_KILL_AT is removed from the environment when the
// library loads, so it kills only the process that crash.py started, not a relaunched build or
// the game that it starts (those inherit LD_PRELOAD). VELM_KILL_TRACE and VELM_HOLD stay: those
// trace too, and each holds from its own first held call.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace velm {
namespace {

long killAt = 0;  // 0: never
long changes = 0;
int traceFd = -1;
// Plain data, not std::string: readSettings may run before this file's dynamic initializers.
char holdName[256] = "";  // empty: nothing is held
long long holdNanoseconds = 0;
std::atomic<long long> holdEnd{-1};  // CLOCK_MONOTONIC nanoseconds; -1: no held call yet

long long monotonicNow() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

__attribute__((constructor)) void readSettings() {
  if (const char* value = getenv("VELM_KILL_AT")) killAt = strtol(value, nullptr, 10);
  if (const char* value = getenv("VELM_HOLD")) {
    // The name may hold a colon: the time is after the last one.
    const char* colon = strrchr(value, ':');
    const size_t length = colon != nullptr ? static_cast<size_t>(colon - value) : 0;
    if (length > 0 && length < sizeof holdName) {
      memcpy(holdName, value, length);
      holdName[length] = '\0';
      holdNanoseconds = strtoll(colon + 1, nullptr, 10) * 1000000LL;
    }
  }
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

void trace(const char* prefix, const char* call, const std::string& first,
           const std::string& second) {
  if (traceFd < 0) return;
  std::string line = std::to_string(monotonicNow()) + " " + std::to_string(getpid()) + " " +
                     prefix + call + " " + first;
  if (!second.empty()) line += " -> " + second;
  line += "\n";
  ssize_t written = write(traceFd, line.data(), line.size());
  (void)written;  // a trace line lost is no reason to change what the launcher does
}

// Whether the call on this destination is held now; the first such call starts the hold.
bool held(const char* destination) {
  if (holdName[0] == '\0' || destination == nullptr) return false;
  const char* slash = strrchr(destination, '/');
  if (strcmp(holdName, slash != nullptr ? slash + 1 : destination) != 0) return false;
  const long long now = monotonicNow();
  long long end = -1;
  // Two threads may come first at once: one of them sets the end.
  if (!holdEnd.compare_exchange_strong(end, now + holdNanoseconds)) return now < end;
  return holdNanoseconds > 0;
}

// Counts one change and dies here when it is the chosen one; returns false, with errno EBUSY,
// when the call is held and must not happen.
bool change(const char* destination, const char* call, const std::string& first,
            const std::string& second = "") {
  if (held(destination)) {
    trace("held ", call, first, second);
    errno = EBUSY;
    return false;
  }
  ++changes;
  trace("", call, first, second);
  if (changes == killAt) raise(SIGKILL);
  return true;
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
  if (!change(to, "rename", atPath(AT_FDCWD, from), atPath(AT_FDCWD, to))) return -1;
  return next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
  if (!change(to, "renameat", atPath(fromFolder, from), atPath(toFolder, to))) return -1;
  return next<int (*)(int, const char*, int, const char*)>("renameat")(fromFolder, from, toFolder,
                                                                       to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  if (!change(to, "renameat2", atPath(fromFolder, from), atPath(toFolder, to))) return -1;
  return next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
      fromFolder, from, toFolder, to, flags);
}

int link(const char* from, const char* to) {
  if (!change(to, "link", atPath(AT_FDCWD, from), atPath(AT_FDCWD, to))) return -1;
  return next<int (*)(const char*, const char*)>("link")(from, to);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  if (!change(to, "linkat", atPath(fromFolder, from), atPath(toFolder, to))) return -1;
  return next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromFolder, from,
                                                                          toFolder, to, flags);
}

int unlink(const char* path) {
  if (!change(path, "unlink", atPath(AT_FDCWD, path))) return -1;
  return next<int (*)(const char*)>("unlink")(path);
}

int unlinkat(int folder, const char* path, int flags) {
  if (!change(path, "unlinkat", atPath(folder, path))) return -1;
  return next<int (*)(int, const char*, int)>("unlinkat")(folder, path, flags);
}

int remove(const char* path) {
  if (!change(path, "remove", atPath(AT_FDCWD, path))) return -1;
  return next<int (*)(const char*)>("remove")(path);
}

}  // extern "C"
