// The Windows SelfUpdateIo: WinHTTP for the download, CNG for its SHA-256, Kernel32 for files,
// the environment and the new process.
#include <windows.h>
// After windows.h, which defines the types these use.
#include <bcrypt.h>
#include <winhttp.h>

#include <array>
#include <cwchar>
#include <filesystem>
#include <utility>
#include <vector>

#include "net/winhttp_request_win.h"
#include "platform/console.h"
#include "platform/exclusive_file.h"
#include "platform/exe_path.h"
#include "platform/file_move.h"
#include "selfupdate/self_update_io.h"
#include "text/text.h"

namespace velm {
namespace {

constexpr wchar_t kUpdatedMark[] = L"VELM_COOP_UPDATED";
constexpr DWORD kMarkBufferLength = 8;
constexpr DWORD kTransferTimeoutMs = 60000;
constexpr DWORD kReadSize = 65536;
constexpr int kDeleteTries = 5;
constexpr DWORD kDeletePauseMs = 150;

// Move-only owner of one handle, released by Close.
template <typename Handle, void (*Close)(Handle)>
class Owned {
 public:
  explicit Owned(Handle handle = nullptr) : handle_(handle) {}
  ~Owned() {
    if (handle_ != nullptr) Close(handle_);
  }
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Owned& operator=(Owned&&) = delete;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  Handle get() const { return handle_; }
  Handle* out() { return &handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  Handle handle_;
};

void closeAlgorithm(BCRYPT_ALG_HANDLE handle) { BCryptCloseAlgorithmProvider(handle, 0); }
void closeHash(BCRYPT_HASH_HANDLE handle) { BCryptDestroyHash(handle); }

using AlgorithmHandle = Owned<BCRYPT_ALG_HANDLE, closeAlgorithm>;
using HashHandle = Owned<BCRYPT_HASH_HANDLE, closeHash>;

class WindowsSelfUpdateIo final : public SelfUpdateIo {
 public:
  bool consumeUpdatedMark() override {
    wchar_t value[kMarkBufferLength] = {};
    const DWORD length = GetEnvironmentVariableW(kUpdatedMark, value, kMarkBufferLength);
    // Only a length of 1 to 7 means the value is in the buffer; a larger one is the room it
    // would need, with the buffer left undefined.
    if (length == 0 || length >= kMarkBufferLength || value[0] != L'1') return false;
    SetEnvironmentVariableW(kUpdatedMark, nullptr);
    return true;
  }

  std::wstring exePath() override { return runningExePath(); }

  bool download(const std::string& url, const std::wstring& target, std::string& digest,
                uint64_t& byteCount, uint64_t maxBytes) override {
    byteCount = 0;
    RequestTarget where;
    // Only an https URL with a host is a build's address.
    if (!crackRequestTarget(url, where) || !where.secure) {
      printError("self-update: not an https URL: " + url);
      return false;
    }

    // A session of its own: the build is fetched once, with longer time-outs than the launcher's.
    InternetHandle session(WinHttpOpen(L"VelmCoop/1", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return false;
    Response response = sendGet(session.get(), where, kTransferTimeoutMs);
    if (!response.answered) return false;
    if (response.status != 200) {
      printError("self-update: the server answered HTTP " + decimalText(response.status));
      return false;
    }

    AlgorithmHandle algorithm;
    if (BCryptOpenAlgorithmProvider(algorithm.out(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
      return false;
    }
    HashHandle hash;
    if (BCryptCreateHash(algorithm.get(), hash.out(), nullptr, 0, nullptr, 0, 0) < 0) {
      return false;
    }

    // Opened only now, so an error answer leaves no file behind.
    ExclusiveFile file;
    if (!file.open(std::filesystem::path(target))) return false;
    // One buffer for the whole body: a build of any size streams in constant memory.
    std::vector<char> buffer(kReadSize, '\0');
    for (;;) {
      DWORD count = 0;
      if (!WinHttpReadData(response.request.get(), buffer.data(), kReadSize, &count)) return false;
      if (count == 0) break;
      BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(buffer.data()), count, 0);
      if (!file.write(buffer.data(), count)) return false;
      byteCount += count;
      if (byteCount > maxBytes) break;  // longer than announced: the caller refuses the size
    }
    if (!file.close()) return false;
    // The build is moved over the launcher next: its bytes must be on disk before that.
    std::error_code flushError;
    if (!flushToDisk(std::filesystem::path(target), flushError)) return false;
    if (byteCount <= maxBytes && endedEarly(response.request.get(), byteCount)) return false;

    std::array<UCHAR, 32> sum = {};
    if (BCryptFinishHash(hash.get(), sum.data(), static_cast<ULONG>(sum.size()), 0) < 0) {
      return false;
    }
    digest = hexLower(sum.data(), sum.size());
    return true;
  }

  bool moveFile(const std::wstring& source, const std::wstring& target) override {
    // No copy across volumes: the running exe is only ever moved within its own folder.
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    const DWORD code = GetLastError();
    printError("self-update: could not move " + wideToUtf8(source) + " to " + wideToUtf8(target) +
               " (error " + decimalText(static_cast<uint32_t>(code)) + ")");
    return false;
  }

  void deleteFile(const std::wstring& path) override {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    // The old process of an update may still hold its exe for a moment.
    for (int attempt = 0; attempt < kDeleteTries; ++attempt) {
      if (DeleteFileW(path.c_str())) return;
      Sleep(kDeletePauseMs);
    }
  }

  bool startExe(const std::wstring& exePath) override {
    // The mark is in the environment only while the new process inherits it.
    SetEnvironmentVariableW(kUpdatedMark, L"1");
    const wchar_t* own = GetCommandLineW();
    std::vector<wchar_t> commandLine(own, own + wcslen(own) + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &process);
    // Taken before anything else can overwrite it.
    const DWORD code = started ? 0 : GetLastError();
    SetEnvironmentVariableW(kUpdatedMark, nullptr);
    if (!started) {
      printError("self-update: the new exe would not start (error " +
                 decimalText(static_cast<uint32_t>(code)) + ")");
      return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }

  void printLine(const std::string& text) override { writeOutputLine(text); }
  void printError(const std::string& text) override { writeErrorLine(text); }
};

}  // namespace

SelfUpdateIo& systemSelfUpdateIo() {
  static WindowsSelfUpdateIo io;
  return io;
}

}  // namespace velm
