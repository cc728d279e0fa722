// The POSIX port's SelfUpdateIo: libcurl for the download, OpenSSL's SHA-256, rename, unlink
// and posix_spawn, behaving as the Windows one does.
#include <curl/curl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/exclusive_file.h"
#include "platform/exe_path.h"
#include "platform/file_move.h"
#include "selfupdate/self_update_io.h"
#include "text/text.h"

extern char** environ;

namespace velm {
namespace {

constexpr char kUpdatedMark[] = "VELM_COOP_UPDATED";
constexpr size_t kMarkBufferLength = 8;  // in UTF-16 units, as on Windows
constexpr long kConnectTimeoutMs = 3000;
constexpr long kMaxRedirects = 10;
constexpr long kReadSize = 65536;
constexpr std::chrono::seconds kStallLimit(60);
constexpr int kDeleteTries = 5;
constexpr std::chrono::milliseconds kDeletePause(150);

using Clock = std::chrono::steady_clock;

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlDeleter>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// The value's length as Windows counts it, so that the mark means the same on both platforms.
size_t utf16Length(const std::string& text) {
  size_t units = 0;
  for (wchar_t c : utf8ToWide(text)) units += static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
  return units;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// What WinHttpCrackUrl demands of a build's address: the https scheme in any case and a host
// right after it. curl's own parser forgives a missing or an extra slash after the scheme.
CurlUrl parseHttpsUrl(const std::string& url) {
  const std::string scheme = "https://";
  if (url.find('\0') != std::string::npos || !startsWithNoCase(url, scheme)) return nullptr;
  std::string authority = url.substr(scheme.size());
  authority.erase(std::min(authority.size(), authority.find_first_of("/?#")));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (authority.empty() || authority[0] == ':') return nullptr;

  CurlUrl parsed(curl_url());
  // The fragment belongs to the client and has no place in a request.
  const std::string request = url.substr(0, url.find('#'));
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, request.c_str(), 0) != CURLUE_OK) {
    return nullptr;
  }
  return parsed;
}

// One download's state, shared with curl's callbacks through their user pointer.
struct Transfer {
  Transfer(EVP_MD_CTX* hash, std::filesystem::path target, uint64_t& byteCount,
           uint64_t maxBytes)
      : hash(hash), target(std::move(target)), byteCount(byteCount), maxBytes(maxBytes) {}

  CURL* curl = nullptr;
  EVP_MD_CTX* hash;
  std::filesystem::path target;
  uint64_t& byteCount;
  uint64_t maxBytes;
  bool pastLimit = false;  // stopped on purpose: the body is longer than announced
  ExclusiveFile file;
  bool opened = false;
  bool fileFailed = false;
  curl_off_t lastCount = 0;
  Clock::time_point lastByte = Clock::now();

  long responseCode() const {
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
  }

  // Only after a 200, so that an error answer leaves no file behind.
  bool openFile() {
    opened = true;
    fileFailed = !file.open(target);
    return !fileFailed;
  }
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  const long code = transfer.responseCode();
  if (code != 200) {
    // The body of a redirect is passed over; any other answer is not worth reading.
    return code >= 300 && code < 400 ? length : 0;
  }
  if (!transfer.opened && !transfer.openFile()) return 0;
  EVP_DigestUpdate(transfer.hash, data, length);
  if (!transfer.file.write(data, length)) {
    transfer.fileFailed = true;
    return 0;
  }
  transfer.byteCount += length;
  if (transfer.byteCount > transfer.maxBytes) {
    transfer.pastLimit = true;
    return 0;  // ends the transfer; the caller sees the size is wrong
  }
  return length;
}

// No byte for the whole limit fails the transfer, like WinHTTP's receive time-out. curl calls
// this at least once a second while a transfer waits.
int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const Clock::time_point now = Clock::now();
  if (received != transfer.lastCount) {
    transfer.lastCount = received;
    transfer.lastByte = now;
  }
  return now - transfer.lastByte > kStallLimit ? 1 : 0;
}

CurlHandle openHandle(CURLU* url, Transfer& transfer) {
  // Process-wide and never undone, as for the launcher's own Net.
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!ready) return nullptr;
  CurlHandle curl(curl_easy_init());
  if (!curl) return nullptr;
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_CURLU, url);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "VelmCoop/1");
  curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
#else
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReadSize);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  return curl;
}

// The process's own argv, as the kernel keeps it; empty when it cannot be read.
std::vector<std::string> ownArguments() {
  std::ifstream stream("/proc/self/cmdline", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(stream)),
                         std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    arguments.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

// A download arrives without the execute bit; other mode bits are kept. A file that cannot be
// read or changed is left to posix_spawn, which says why it cannot run it.
void makeOwnerExecutable(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  if ((info.st_mode & S_IXUSR) == 0) chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR);
}

class PosixSelfUpdateIo final : public SelfUpdateIo {
 public:
  bool consumeUpdatedMark() override {
    const char* value = std::getenv(kUpdatedMark);
    if (value == nullptr || value[0] != '1') return false;
    // A value that would not fit the Windows build's buffer counts as absent there too.
    if (utf16Length(value) >= kMarkBufferLength) return false;
    unsetenv(kUpdatedMark);
    return true;
  }

  std::wstring exePath() override { return runningExePath(); }

  bool download(const std::string& url, const std::wstring& target, std::string& digest,
                uint64_t& byteCount, uint64_t maxBytes) override {
    byteCount = 0;
    CurlUrl parsed = parseHttpsUrl(url);
    if (!parsed) {
      printError("self-update: not an https URL: " + url);
      return false;
    }
    DigestContext hash(EVP_MD_CTX_new());
    if (!hash || EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1) return false;
    Transfer transfer(hash.get(), std::filesystem::u8path(wideToUtf8(target)), byteCount,
                      maxBytes);
    CurlHandle curl = openHandle(parsed.get(), transfer);
    if (!curl) return false;
    transfer.curl = curl.get();

    const CURLcode result = curl_easy_perform(curl.get());
    const long code = transfer.responseCode();
    if (code == 0) return false;  // no answer, as a failed send or receive on Windows
    if (code != 200) {
      printError("self-update: the server answered HTTP " +
                 decimalText(static_cast<uint32_t>(code)));
      return false;
    }
    if ((result != CURLE_OK && !transfer.pastLimit) || transfer.fileFailed) return false;
    if (!transfer.opened && !transfer.openFile()) return false;  // an empty body
    if (!transfer.file.close()) return false;
    // The build is moved over the launcher next: its bytes must be on disk before that.
    std::error_code flushError;
    if (!flushToDisk(transfer.target, flushError)) return false;

    std::array<unsigned char, EVP_MAX_MD_SIZE> sum = {};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(hash.get(), sum.data(), &length) != 1) return false;
    digest = hexLower(sum.data(), length);
    return true;
  }

  bool moveFile(const std::wstring& source, const std::wstring& target) override {
    // No copy across file systems: the running exe is only ever moved within its own folder.
    if (std::rename(wideToUtf8(source).c_str(), wideToUtf8(target).c_str()) == 0) return true;
    const int code = errno;
    printError("self-update: could not move " + wideToUtf8(source) + " to " + wideToUtf8(target) +
               " (error " + decimalText(static_cast<uint32_t>(code)) + ")");
    return false;
  }

  bool keepAside(const std::wstring& exe, const std::wstring& aside) override {
    // A second name for the running build: the rename of the new one over exe then swaps the
    // launcher in one step, and a kill at any moment leaves a whole old or new build.
    if (link(wideToUtf8(exe).c_str(), wideToUtf8(aside).c_str()) == 0) return true;
    // A file system without hard links: the move, with its short moment without an exe.
    return moveFile(exe, aside);
  }

  void deleteFile(const std::wstring& path) override {
    const std::string file = wideToUtf8(path);
    struct stat info;
    if (lstat(file.c_str(), &info) != 0) return;
    // The old process of an update may still be ending.
    for (int attempt = 0; attempt < kDeleteTries; ++attempt) {
      if (unlink(file.c_str()) == 0) return;
      std::this_thread::sleep_for(kDeletePause);
    }
  }

  bool startExe(const std::wstring& exePath) override {
    const std::string program = wideToUtf8(exePath);
    makeOwnerExecutable(program);
    std::vector<std::string> arguments = ownArguments();
    if (arguments.empty()) arguments.push_back(program);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The mark is in the environment only while the new process inherits it.
    setenv(kUpdatedMark, "1", 1);
    pid_t child = 0;
    // glibc reports a failed exec of the child through the result, not errno.
    const int code = posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ);
    unsetenv(kUpdatedMark);
    if (code != 0) {
      printError("self-update: the new exe would not start (error " +
                 decimalText(static_cast<uint32_t>(code)) + ")");
      return false;
    }
    return true;
  }

  void printLine(const std::string& text) override { writeOutputLine(text); }
  void printError(const std::string& text) override { writeErrorLine(text); }
};

}  // namespace

SelfUpdateIo& systemSelfUpdateIo() {
  static PosixSelfUpdateIo io;
  return io;
}

}  // namespace velm
