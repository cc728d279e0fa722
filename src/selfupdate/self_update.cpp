#include "selfupdate/self_update.h"

#include "net/url.h"
#include "package/download.h"
#include "package/package_folder.h"
#include "selfupdate/build_identity.h"
#include "text/ascii.h"
#include "text/path_text.h"

namespace velm {
namespace {

// A build is fetched once and may be large: it gets twice the launcher's usual time-outs.
constexpr uint32_t kBuildTimeoutMs = 60000;

// Every failure is reported on standard error and lets the running build go on.
SelfUpdateResult carryOn(SelfUpdateIo& io, const std::string& text) {
  io.printError("self-update: " + text);
  return SelfUpdateResult::CarryOn;
}

void setProblem(std::string* problem, const std::string& text) {
  if (problem != nullptr) *problem = text;
}

const std::string kDownloadFailed = "the download failed -- ";

// Where the new build is downloaded to, beside the running one.
std::wstring downloadPath(const std::wstring& exe) { return temporaryName(exe); }

// Fetches the announced build into newPath through the one download. Empty when the build
// arrived whole and matches the block; else the flow's words for the failure, up to the
// running version, after any line that names the cause.
std::string downloadBuild(const LauncherInfo& launcher, const std::wstring& newPath,
                          SelfUpdateIo& io, Net& net) {
  DownloadRequest request{launcher.url, pathFromWide(newPath), launcher.size, launcher.sha256, {}};
  request.options.transferTimeoutMs = kBuildTimeoutMs;
  request.clock = &io.retryClock();
  const Download download = streamDownload(net, request);
  switch (download.outcome) {
    case DownloadOutcome::Ok:
      return std::string();
    case DownloadOutcome::HttpStatus:
      io.printError("self-update: the server answered HTTP " + decimalText(download.status));
      return kDownloadFailed;
    case DownloadOutcome::NotOpened:
    case DownloadOutcome::NoAnswer:
    case DownloadOutcome::NotWritten:
      return kDownloadFailed;
    case DownloadOutcome::TooLarge:
    case DownloadOutcome::TooShort:
      return "the download is " + decimalText(download.received) + " bytes, games.json says " +
             decimalText(launcher.size) + " -- discarded, ";
    case DownloadOutcome::WrongDigest:
      break;
  }
  return "the download does not match its sha256 -- discarded, ";
}

// Empty when the new build can read the catalogue that announced it, or does not say what it
// trusts (a build from before builds said it, or no program at all: the start will tell); else
// the flow's words for the refusal, up to the running version.
std::string unfitBuild(const std::wstring& newPath, const CatalogueOrigin& origin) {
  BuildIdentity identity;
  if (readBuildIdentity(pathFromWide(newPath), identity) != BuildIdentityStatus::Found) {
    return std::string();
  }
  switch (judgeBuild(identity, origin.signer, origin.host)) {
    case BuildFit::Fits:
      break;
    case BuildFit::OtherKey:
      return "the new build does not trust the key that signed games.json -- discarded, ";
    case BuildFit::OtherHost:
      return "the new build fetches its catalogue from " + displayText(identity.host) + ", not " +
             origin.host + " -- discarded, ";
  }
  return std::string();
}

}  // namespace

LauncherBlockFault checkLauncherBlock(const LauncherInfo& launcher, Version& announced,
                                      std::string* problem) {
  if (!parseVersion(launcher.version, announced)) {
    setProblem(problem, "the server's launcher version \"" + launcher.version +
                            "\" is not MAJOR.MINOR.PATCH");
    return LauncherBlockFault::Version;
  }
  // The digest and size are what make the unsigned build trustworthy; the catalogue already
  // holds the digest as 32 bytes.
  if (launcher.size == 0 || !hasLowerCaseHttpsScheme(launcher.url)) {
    setProblem(problem, "the server's launcher block is incomplete");
    return LauncherBlockFault::Incomplete;
  }
  if (!isRequestableHttpsUrl(launcher.url)) {
    setProblem(problem, "not an https URL: " + launcher.url);
    return LauncherBlockFault::Url;
  }
  return LauncherBlockFault::None;
}

void removeUpdateLeftover(SelfUpdateIo& io) {
  std::wstring exe = io.exePath();
  // Without a path the leftover's name would be ".old" in the current folder: not ours.
  if (exe.empty()) return;
  io.deleteFile(asidePath(exe));
  // A download that a kill cut short: never verified, so never started or moved in.
  io.deleteFile(downloadPath(exe));
}

SelfUpdateResult runSelfUpdate(const LauncherInfo& launcher, const Version& running,
                               const CatalogueOrigin& origin, SelfUpdateIo& io, Net& net) {
  // A build that an update has just started never updates in its first run.
  if (io.consumeUpdatedMark()) return SelfUpdateResult::Skipped;

  const std::string runningText = formatVersion(running);
  const std::string carrying = "carrying on as " + runningText;
  const std::string asRunning = " -- " + carrying;
  Version announced;
  std::string problem;
  const LauncherBlockFault fault = checkLauncherBlock(launcher, announced, &problem);
  if (fault == LauncherBlockFault::Version) return carryOn(io, problem + asRunning);
  // A build that is not newer is no concern of this run, whatever else its block says.
  if (compareVersions(announced, running) <= 0) return SelfUpdateResult::UpToDate;
  if (fault == LauncherBlockFault::Incomplete) return carryOn(io, problem + asRunning);

  const std::string announcedText = formatVersion(announced);
  io.printLine("self-update: " + announcedText + " is out, this is " + runningText +
               " -- downloading");

  const std::wstring exe = io.exePath();
  // Without its own path the launcher would write ".new" into the current folder.
  if (exe.empty()) return carryOn(io, kDownloadFailed + carrying);
  const std::wstring newPath = downloadPath(exe);
  const std::wstring aside = asidePath(exe);

  // An address no client can ask for fails as a download that never started.
  if (fault == LauncherBlockFault::Url) io.printError("self-update: " + problem);
  std::string failure = fault == LauncherBlockFault::Url
                            ? kDownloadFailed
                            : downloadBuild(launcher, newPath, io, net);
  // Moved in, a build that cannot read this catalogue would refuse it at every start from then
  // on, and only a reinstall would bring the player back.
  if (failure.empty()) failure = unfitBuild(newPath, origin);
  if (!failure.empty()) {
    io.deleteFile(newPath);
    return carryOn(io, failure + carrying);
  }

  io.makeRunnable(newPath, exe);
  // A leftover that removeUpdateLeftover could not delete would block the move aside.
  io.deleteFile(aside);
  if (!io.keepAside(exe, aside)) {
    io.deleteFile(newPath);
    return carryOn(io, "could not move the running exe aside" + asRunning);
  }
  if (!io.moveFile(newPath, exe)) {
    // While the running build cannot come back, the verified new one is all there is to
    // recover with: it stays.
    if (io.moveFile(aside, exe)) io.deleteFile(newPath);
    return carryOn(io, "could not put the new exe in place" + asRunning);
  }
  if (!io.startExe(exe)) {
    io.moveFile(aside, exe);
    return carryOn(io, "the new exe would not start -- the old one is back, " + carrying);
  }

  io.printLine("self-update: updated to " + announcedText + " -- restarting");
  return SelfUpdateResult::Restarting;
}

std::wstring asidePath(const std::wstring& exePath) {
  if (exePath.size() > 4 && endsWithNoCase(exePath, L".exe")) {
    return exePath.substr(0, exePath.size() - 4) + L".old.exe";
  }
  return exePath + L".old";
}

}  // namespace velm
