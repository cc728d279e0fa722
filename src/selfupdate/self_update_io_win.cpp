// The Windows SelfUpdateIo: WinHTTP for the download, CNG for its SHA-256, Kernel32 for files,
// the environment and the new process.
#include <windows.h>
// After windows.h, which defines the types these use.
#include <bcrypt.h>
#include <winhttp.h>

#include <array>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/exe_path.h"
#include "selfupdate/self_update_io.h"
#include "text/text.h"

namespace velm {
namespace {

constexpr wchar_t kUpdatedMark[] = L"VELM_COOP_UPDATED";
constexpr DWORD kMarkBufferLength = 8;
constexpr DWORD kResolveTimeoutMs = 3000;
constexpr DWORD kConnectTimeoutMs = 3000;
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

void closeInternet(HINTERNET handle) { WinHttpCloseHandle(handle); }
void closeAlgorithm(BCRYPT_ALG_HANDLE handle) { BCryptCloseAlgorithmProvider(handle, 0); }
void closeHash(BCRYPT_HASH_HANDLE handle) { BCryptDestroyHash(handle); }

using InternetHandle = Owned<HINTERNET, closeInternet>;
using AlgorithmHandle = Owned<BCRYPT_ALG_HANDLE, closeAlgorithm>;
using HashHandle = Owned<BCRYPT_HASH_HANDLE, closeHash>;

struct Target {
  INTERNET_PORT port = 0;
  std::wstring host;
  std::wstring path;  // path and query, never empty
};

// Only an https URL with a host is a build's address.
bool crackHttpsUrl(const std::string& url, Target& target) {
  // The cracker reads up to the first NUL, which would name another resource than the block.
  if (url.find('\0') != std::string::npos) return false;
  // The fragment belongs to the client and has no place in a request. Not every cracker splits
  // it off (Wine's leaves it in the path), so it goes before cracking.
  const std::wstring wide = utf8ToWide(url.substr(0, url.find('#')));
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide.c_str(), 0, 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) return false;

  target.port = parts.nPort;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  if (parts.lpszUrlPath != nullptr) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) {  // the query travels with the path
    target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  }
  if (target.path.empty()) target.path = L"/";
  return true;
}

// The Content-Length of a body that is not chunked, when the answer declares one.
bool declaredLength(HINTERNET request, uint64_t& length) {
  wchar_t text[32];
  DWORD size = sizeof(text);
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                          text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  size = sizeof(text);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  const size_t digits = size / sizeof(wchar_t);
  if (digits == 0 || digits > 19) return false;
  length = 0;
  for (size_t i = 0; i < digits; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    length = length * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  return true;
}

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
                uint64_t& byteCount) override {
    byteCount = 0;
    Target where;
    if (!crackHttpsUrl(url, where)) {
      printError("self-update: not an https URL: " + url);
      return false;
    }

    // A session of its own: the build is fetched once, with longer time-outs than the launcher's.
    InternetHandle session(WinHttpOpen(L"VelmCoop/1", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return false;
    InternetHandle connection(WinHttpConnect(session.get(), where.host.c_str(), where.port, 0));
    if (!connection) return false;
    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", where.path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              WINHTTP_FLAG_SECURE));
    if (!request) return false;
    WinHttpSetTimeouts(request.get(), kResolveTimeoutMs, kConnectTimeoutMs, kTransferTimeoutMs,
                       kTransferTimeoutMs);
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
      return false;
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) return false;

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                        WINHTTP_NO_HEADER_INDEX);
    if (status != 200) {
      printError("self-update: the server answered HTTP " +
                 decimalText(static_cast<uint32_t>(status)));
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
    std::ofstream file(std::filesystem::path(target), std::ios::binary | std::ios::trunc);
    if (!file.good()) return false;
    // One buffer for the whole body: a build of any size streams in constant memory.
    std::vector<char> buffer(kReadSize, '\0');
    for (;;) {
      DWORD count = 0;
      if (!WinHttpReadData(request.get(), buffer.data(), kReadSize, &count)) return false;
      if (count == 0) break;
      BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(buffer.data()), count, 0);
      file.write(buffer.data(), count);
      if (file.bad() || file.fail()) return false;
      byteCount += count;
    }
    file.close();
    if (file.fail()) return false;
    // Wine's WinHTTP ends a body that the connection cut short as if it were complete; short of
    // its declared length it is a broken transfer, as it is for curl.
    uint64_t declared = 0;
    if (declaredLength(request.get(), declared) && byteCount < declared) return false;

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
