#include "selfupdate/self_update.h"

#include "net/sha256.h"

namespace velm {
namespace {

// Only a block that names a digest, a size and an https URL is worth a download: the digest and
// size are what make the unsigned build trustworthy.
bool isComplete(const LauncherInfo& launcher) {
  return isSha256Hex(launcher.sha256) && launcher.size != 0 &&
         launcher.url.compare(0, 8, "https://") == 0;
}

// Every failure is reported on standard error and lets the running build go on.
SelfUpdateResult carryOn(SelfUpdateIo& io, const std::string& text) {
  io.printError("self-update: " + text);
  return SelfUpdateResult::CarryOn;
}

}  // namespace

void removeUpdateLeftover(SelfUpdateIo& io) {
  std::wstring exe = io.exePath();
  // Without a path the leftover's name would be ".old" in the current folder: not ours.
  if (exe.empty()) return;
  io.deleteFile(asidePath(exe));
}

SelfUpdateResult runSelfUpdate(const LauncherInfo& launcher, const Version& running,
                               SelfUpdateIo& io) {
  // A build that an update has just started never updates in its first run.
  if (io.consumeUpdatedMark()) return SelfUpdateResult::Skipped;

  const std::string runningText = formatVersion(running);
  const std::string asRunning = "carrying on as " + runningText;
  Version announced;
  if (!parseVersion(launcher.version, announced)) {
    return carryOn(io, "the server's launcher version \"" + launcher.version +
                           "\" is not MAJOR.MINOR.PATCH -- " + asRunning);
  }
  if (compareVersions(announced, running) <= 0) return SelfUpdateResult::UpToDate;
  if (!isComplete(launcher)) {
    return carryOn(io, "the server's launcher block is incomplete -- " + asRunning);
  }

  const std::string announcedText = formatVersion(announced);
  io.printLine("self-update: " + announcedText + " is out, this is " + runningText +
               " -- downloading");

  const std::wstring exe = io.exePath();
  // Without its own path the launcher would write ".new" into the current folder.
  if (exe.empty()) return carryOn(io, "the download failed -- " + asRunning);
  const std::wstring newPath = exe + L".new";
  const std::wstring aside = asidePath(exe);

  std::string digest;
  uint64_t byteCount = 0;
  if (!io.download(launcher.url, newPath, digest, byteCount, launcher.size)) {
    io.deleteFile(newPath);
    return carryOn(io, "the download failed -- " + asRunning);
  }
  if (byteCount != launcher.size) {
    io.deleteFile(newPath);
    return carryOn(io, "the download is " + decimalText(byteCount) + " bytes, games.json says " +
                           decimalText(launcher.size) + " -- discarded, " + asRunning);
  }
  if (!sameSha256(digest, launcher.sha256)) {
    io.deleteFile(newPath);
    return carryOn(io, "the download does not match its sha256 -- discarded, " + asRunning);
  }

  // A leftover that removeUpdateLeftover could not delete would block the move aside.
  io.deleteFile(aside);
  if (!io.keepAside(exe, aside)) {
    io.deleteFile(newPath);
    return carryOn(io, "could not move the running exe aside -- " + asRunning);
  }
  if (!io.moveFile(newPath, exe)) {
    // While the running build cannot come back, the verified new one is all there is to
    // recover with: it stays.
    if (io.moveFile(aside, exe)) io.deleteFile(newPath);
    return carryOn(io, "could not put the new exe in place -- " + asRunning);
  }
  if (!io.startExe(exe)) {
    io.moveFile(aside, exe);
    return carryOn(io, "the new exe would not start -- the old one is back, " + asRunning);
  }

  io.printLine("self-update: updated to " + announcedText + " -- restarting");
  return SelfUpdateResult::Restarting;
}

std::wstring asidePath(const std::wstring& exePath) {
  if (exePath.size() > 4) {
    std::wstring tail = exePath.substr(exePath.size() - 4);
    for (wchar_t& c : tail) {
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    if (tail == L".exe") return exePath.substr(0, exePath.size() - 4) + L".old.exe";
  }
  return exePath + L".old";
}

}  // namespace velm
