#include "package/package_update.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/file_name.h"
#include "net/sha256.h"
#include "package/download.h"
#include "package/name_compare.h"
#include "package/package_folder.h"
#include "package/package_url.h"
#include "platform/file_move.h"
#include "platform/os_error.h"
#include "text/text.h"

namespace velm {
namespace {

void printLine(FILE* progress, const std::string& line) {
  if (progress == nullptr) return;
  // File names from the manifest may hold what a console would act on.
  std::fputs(displayText(line).c_str(), progress);
  std::fputc('\n', progress);
  // Each line announces work that may take a while; show it before the work starts.
  std::fflush(progress);
}

std::string quoted(const std::string& name) { return "file name \"" + name + "\""; }

// Names that would make two of the update's files one file under sameName: the manifest's own
// check compares ASCII case only and knows nothing of ".new" files or the saved copies.
bool findNameClash(const Manifest& manifest, std::string& reason, SameNameRule sameName) {
  const std::vector<ManifestFile>& files = manifest.files;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& name = files[i].name;
    for (const std::string& saved : savedCopyNames()) {
      if (sameName(name, saved)) {
        reason = quoted(name) + " is reserved for the launcher's saved copies";
        return true;
      }
    }
    for (size_t j = 0; j < i; ++j) {
      const std::string& earlier = files[j].name;
      if (sameName(name, earlier)) {
        reason = quoted(name) + " is listed twice";
        return true;
      }
      if (sameName(name, earlier + kTemporarySuffix)) {
        reason = quoted(name) + " collides with the temporary file of \"" + earlier + "\"";
        return true;
      }
      if (sameName(earlier, name + kTemporarySuffix)) {
        reason = quoted(earlier) + " collides with the temporary file of \"" + name + "\"";
        return true;
      }
    }
  }
  return false;
}

bool listsRequiredLauncher(const Manifest& manifest, const std::string& launcherName) {
  const std::string wanted = toLowerAscii(launcherName);
  for (const ManifestFile& file : manifest.files) {
    if (file.required && toLowerAscii(file.name) == wanted) return true;
  }
  return false;
}

bool isUpToDate(const PendingFile& pending) {
  Sha256Digest digest;
  uint64_t size = 0;
  return fileSha256(pending.target.u8string(), digest, size) && size == pending.file.size &&
         digest == pending.file.sha256;
}

// Fetches, verifies and reads the manifest and checks its names; on failure returns false with
// the status and message set.
bool acceptManifest(PackageResult& result, const std::filesystem::path& packageFolder,
                    const std::string& manifestUrl, const std::string& launcherName, Net& net,
                    const std::vector<TrustedKey>& keys, const ManifestPin& pin) {
  if (!isHttpsUrl(manifestUrl)) {
    result.status = PackageStatus::Unreadable;
    result.message = "the manifest URL is not https: " + manifestUrl;
    return false;
  }
  std::string text;
  const uint32_t status = getText(net, manifestUrl, text);
  if (status != 200) {
    result.status = PackageStatus::Unreachable;
    result.message = status == 0 ? "no answer from " + manifestUrl
                                 : manifestUrl + " said HTTP " + decimalText(status);
    return false;
  }
  const std::string sigUrl = signatureUrl(manifestUrl);
  std::string signature;
  const uint32_t sigStatus = getText(net, sigUrl, signature);
  if (sigStatus == 0) {
    result.status = PackageStatus::Unreachable;
    result.message = "no answer from " + sigUrl;
    return false;
  }
  if (sigStatus != 200) {
    result.status = PackageStatus::Unsigned;
    result.message =
        "the manifest is not signed: " + sigUrl + " said HTTP " + decimalText(sigStatus);
    return false;
  }
  result.message = verifySignature("the manifest", text, signature, keys);
  if (!result.message.empty()) {
    result.status = PackageStatus::Unsigned;
    return false;
  }
  Manifest manifest;
  if (!parseManifest(text, manifest, &result.message)) {
    result.status = PackageStatus::Unreadable;
    return false;
  }
  result.version = manifest.version;
  result.manifestText = std::move(text);
  result.manifest = std::move(manifest);
  if (!acceptsManifestFiles(result.manifest, launcherName, &result.message)) {
    result.status = PackageStatus::Unreadable;
    return false;
  }
  if (!isCurrentManifest(result.manifestText, result.manifest, pin,
                         savedManifestSerial(packageFolder), &result.message)) {
    // Like a bad signature: neither copy is saved, nothing is installed.
    result.status = PackageStatus::Unsigned;
    result.outdated = true;
    return false;
  }
  return true;
}

// The files whose target is missing or differs from the manifest, in manifest order.
std::vector<PendingFile> planDownloads(const Manifest& manifest,
                                       const std::filesystem::path& folder) {
  std::vector<PendingFile> pending;
  for (const ManifestFile& file : manifest.files) {
    const std::filesystem::path target = packageFilePath(folder, file.name);
    PendingFile candidate{file, target, temporaryPath(target)};
    if (!isUpToDate(candidate)) pending.push_back(std::move(candidate));
  }
  return pending;
}

// All or nothing for required files: the first that fails removes every ".new" of the run.
bool downloadAll(PackageResult& result, std::vector<PendingFile>& pending,
                 const std::string& manifestUrl, Net& net, FILE* progress) {
  for (PendingFile& entry : pending) {
    const std::string& name = entry.file.name;
    printLine(progress, "[*] downloading " + name + " (" + sizeText(entry.file.size) + ")");
    const std::string reason = downloadFile(net, fileUrl(manifestUrl, name), entry, progress);
    if (reason.empty()) {
      entry.downloaded = true;
      continue;
    }
    if (entry.file.required) {
      for (const PendingFile& other : pending) {
        std::error_code ignored;
        std::filesystem::remove(other.temporary, ignored);
      }
      result.status = PackageStatus::Failed;
      result.message = name + " " + reason + " -- nothing was replaced";
      printLine(progress, "[!] " + result.message);
      return false;
    }
    result.skipped.push_back(name + " " + reason + " -- skipped, it is optional");
    printLine(progress, "[!] " + result.skipped.back());
  }
  return true;
}

// Each move stands on its own; returns the failures of required files joined with "; ".
std::string replaceAll(PackageResult& result, const std::vector<PendingFile>& pending,
                       FILE* progress) {
  std::string failures;
  for (const PendingFile& entry : pending) {
    if (!entry.downloaded) continue;
    const std::string& name = entry.file.name;
    std::error_code error;
    if (moveReplacing(entry.temporary, entry.target, error)) {
      result.updated.push_back(name);
      printLine(progress, "[+] " + name + " updated");
      continue;
    }
    const std::string text = "could not replace " + name + " (" + systemErrorMessage(error) +
                             ") -- is the game running?";
    std::error_code ignored;
    std::filesystem::remove(entry.temporary, ignored);
    printLine(progress, "[!] " + text);
    if (!entry.file.required) {
      result.skipped.push_back(text);
    } else {
      if (!failures.empty()) failures += "; ";
      failures += text;
    }
  }
  return failures;
}

}  // namespace

bool acceptsManifestFiles(const Manifest& manifest, const std::string& launcherName,
                          std::string* problem, SameNameRule sameName) {
  std::string reason;
  if (!launcherName.empty() && !listsRequiredLauncher(manifest, launcherName)) {
    reason = "the manifest does not list " + launcherName + " as a required file";
  } else if (!findNameClash(manifest, reason, sameName)) {
    return true;
  }
  if (problem != nullptr) *problem = reason;
  return false;
}

bool isCurrentManifest(const std::string& text, const Manifest& manifest, const ManifestPin& pin,
                       std::optional<uint64_t> savedSerial, std::string* detail) {
  if (pin.sha256) {
    if (textSha256(text) != *pin.sha256) {
      if (detail != nullptr) {
        *detail = std::string(kManifestName) + " of " + pin.gameName + " does not match " +
                  kCatalogueName;
      }
      return false;
    }
  }
  return isNotOlder(kManifestName, manifest.serial, savedSerial, detail);
}

void updatePackage(PackageResult& result, const std::filesystem::path& packageFolder,
                   const std::string& manifestUrl, const std::string& launcherName, Net& net,
                   FILE* progress, const std::vector<TrustedKey>& keys, const ManifestPin& pin) {
  result = PackageResult();
  result.status = PackageStatus::Failed;
  if (!acceptManifest(result, packageFolder, manifestUrl, launcherName, net, keys, pin)) return;

  if (!createPackageFolder(packageFolder)) {
    result.status = PackageStatus::Failed;
    result.message = "could not create " + packageFolder.u8string();
    return;
  }

  std::vector<PendingFile> pending = planDownloads(result.manifest, packageFolder);
  if (pending.empty()) {
    result.status = PackageStatus::Ok;
    return;
  }
  if (!downloadAll(result, pending, manifestUrl, net, progress)) return;
  result.message = replaceAll(result, pending, progress);
  result.status = result.message.empty() ? PackageStatus::Ok : PackageStatus::Failed;
}

}  // namespace velm
