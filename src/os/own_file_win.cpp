#include "os/own_file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "os/kernel_handle_win.h"
#include "os/os_error.h"

namespace velm {
namespace {

bool isMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

std::error_code errorOf(DWORD code) {
  return std::error_code(static_cast<int>(code), std::system_category());
}

// A fresh empty file of the launcher's own beside path, at a name no package file can take.
bool makePlaceholder(const std::filesystem::path& path, std::filesystem::path& placeholder,
                     std::error_code& error) {
  static std::atomic<unsigned> counter{0};
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    placeholder = path.parent_path() / (L"..velm-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                        std::to_wstring(counter.fetch_add(1)));
    const KernelHandle handle =
        ownFileHandle(CreateFileW(placeholder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle) return true;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  error = lastError();
  return false;
}

}  // namespace

bool plainFileIdentity(const std::filesystem::path& path, FileIdentity& identity) {
  FileStamp stamp;
  if (!plainFileStamp(path, stamp)) return false;
  identity = stamp.identity;
  return true;
}

const char kFileStampKind[] = "windows";

bool plainFileStamp(const std::filesystem::path& path, FileStamp& stamp) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  constexpr DWORD kNotPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  // Wine shows a FIFO as no file at all; it is never opened.
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotPlain) != 0) return false;
  const KernelHandle handle = ownFileHandle(CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  // The change time is not in the older call's answer.
  FILE_BASIC_INFO basic{};
  if (!handle || GetFileType(handle.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(handle.get(), &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & kNotPlain) != 0 ||
      !GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  stamp.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.writeTime = basic.LastWriteTime.QuadPart;
  stamp.changeTime = basic.ChangeTime.QuadPart;
  stamp.identity.volume = info.dwVolumeSerialNumber;
  stamp.identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

// Per folder: each plain file's name (in one block of text) and stamp, sorted by name.
struct FolderStamps::Listings {
  struct Entry {
    uint32_t nameStart;
    uint32_t nameLength;
    FileStamp stamp;
  };
  struct Listing {
    std::wstring names;
    std::vector<Entry> entries;
    // Whether a listed stamp was found to be a handle's: a file system whose listings give
    // other file numbers (FAT's, say) would otherwise never have a file vouched for.
    enum class Check { Unchecked, Agrees, Differs } check = Check::Unchecked;
    std::wstring_view nameOf(const Entry& entry) const {
      return std::wstring_view(names).substr(entry.nameStart, entry.nameLength);
    }
  };

  // An empty listing where the folder cannot be listed: every file is then looked up alone.
  static Listing read(const std::wstring& folder) {
    Listing listing;
    const KernelHandle handle = ownFileHandle(CreateFileW(
        folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD serial = 0;
    if (!handle || !GetVolumeInformationByHandleW(handle.get(), nullptr, 0, &serial, nullptr,
                                                  nullptr, nullptr, 0)) {
      return listing;
    }
    // DWORD-aligned, as the answer's entries are.
    std::vector<DWORD> buffer(16384);
    constexpr DWORD kNotPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    while (GetFileInformationByHandleEx(handle.get(), FileIdBothDirectoryInfo, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
      const char* at = reinterpret_cast<const char*>(buffer.data());
      for (;;) {
        const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
        if ((info->FileAttributes & kNotPlain) == 0) {
          Entry entry{static_cast<uint32_t>(listing.names.size()),
                      static_cast<uint32_t>(info->FileNameLength / sizeof(wchar_t)), FileStamp{}};
          listing.names.append(info->FileName, entry.nameLength);
          entry.stamp.size = static_cast<uint64_t>(info->EndOfFile.QuadPart);
          entry.stamp.writeTime = info->LastWriteTime.QuadPart;
          entry.stamp.changeTime = info->ChangeTime.QuadPart;
          entry.stamp.identity.volume = serial;
          entry.stamp.identity.index = static_cast<uint64_t>(info->FileId.QuadPart);
          listing.entries.push_back(entry);
        }
        if (info->NextEntryOffset == 0) break;
        at += info->NextEntryOffset;
      }
    }
    std::sort(listing.entries.begin(), listing.entries.end(),
              [&listing](const Entry& a, const Entry& b) {
                return listing.nameOf(a) < listing.nameOf(b);
              });
    listing.names.shrink_to_fit();
    listing.entries.shrink_to_fit();
    return listing;
  }

  std::unordered_map<std::wstring, Listing> folders;
};

FolderStamps::FolderStamps() : listings_(std::make_unique<Listings>()) {}
FolderStamps::~FolderStamps() = default;

bool FolderStamps::stampOf(const std::filesystem::path& path, FileStamp& stamp) {
  const std::wstring folder = path.parent_path().native();
  auto found = listings_->folders.find(folder);
  if (found == listings_->folders.end()) {
    found = listings_->folders.emplace(folder, Listings::read(folder)).first;
  }
  Listings::Listing& listing = found->second;
  using Check = Listings::Listing::Check;
  const std::wstring name = path.filename().native();
  const auto entry = std::lower_bound(
      listing.entries.begin(), listing.entries.end(), std::wstring_view(name),
      [&listing](const Listings::Entry& a, std::wstring_view b) { return listing.nameOf(a) < b; });
  // Another spelling of a listed name, a name listed as no plain file, or none at all.
  if (entry == listing.entries.end() || listing.nameOf(*entry) != name ||
      listing.check == Check::Differs) {
    return plainFileStamp(path, stamp);
  }
  if (listing.check == Check::Unchecked && plainFileStamp(path, stamp)) {
    listing.check = stamp == entry->stamp ? Check::Agrees : Check::Differs;
    return true;
  }
  stamp = entry->stamp;
  return true;
}

int64_t fileTimeResolution(const std::filesystem::path& folder) {
  constexpr int64_t kSecond = 10000000;  // FILETIME counts 100 ns
  const KernelHandle handle = ownFileHandle(CreateFileW(
      folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  wchar_t system[MAX_PATH + 1] = {};
  if (!handle || !GetVolumeInformationByHandleW(handle.get(), nullptr, 0, nullptr, nullptr, nullptr,
                                                system, MAX_PATH + 1)) {
    return 2 * kSecond;
  }
  const std::wstring name(system);
  const bool fat = name == L"FAT" || name == L"FAT32" || name == L"exFAT" || name == L"vfat";
  return fat ? 2 * kSecond : kSecond;
}

bool clearName(const std::filesystem::path& path, const std::filesystem::path& asideFolder,
               std::error_code& error) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (isMissing(code)) {
      error.clear();
      return true;
    }
    error = errorOf(code);
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    // Wine renames and removes the folder a Unix folder link leads to, and shows it only by
    // this attribute; Windows' own junctions look the same.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      error = linkRefusedError();
      return false;
    }
    if (asideFolder.empty()) {
      error = linkRefusedError();
      return false;
    }
    return moveAside(path, asideFolder, error);
  }
  // A file that shows as a link is one on Windows itself, where a rename moves the link.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (asideFolder.empty()) {
      error = linkRefusedError();
      return false;
    }
    return moveAside(path, asideFolder, error);
  }
  return dropName(path, error);
}

bool dropName(const std::filesystem::path& path, std::error_code& error) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = errorOf(ERROR_ACCESS_DENIED);
    return false;
  }
  // Deleting a Unix link under Wine deletes the file it names, and nothing shows it as a link.
  // A move over the name replaces the link itself; what is then at the name is the launcher's.
  std::filesystem::path placeholder;
  if (!makePlaceholder(path, placeholder, error)) return false;
  if (!MoveFileExW(placeholder.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = lastError();
    DeleteFileW(placeholder.c_str());
    return false;
  }
  return systemResult(DeleteFileW(path.c_str()) != 0, error);
}

bool renameNoReplace(const std::filesystem::path& source, const std::filesystem::path& target,
                     std::error_code& error) {
  return systemResult(MoveFileExW(source.c_str(), target.c_str(), 0) != 0, error);
}

bool isExistsError(const std::error_code& error) {
  return error.category() == std::system_category() &&
         (error.value() == ERROR_FILE_EXISTS || error.value() == ERROR_ALREADY_EXISTS);
}

}  // namespace velm
