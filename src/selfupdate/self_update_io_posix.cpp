// The POSIX port's SelfUpdateIo: rename, link, unlink and posix_spawn, behaving as the Windows
// one does.
#include "selfupdate/self_update_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/console.h"
#include "platform/exe_path.h"
#include "platform/file_descriptor_posix.h"
#include "platform/held_file.h"
#include "platform/os_error.h"
#include "platform/process.h"
#include "platform/read_only_file.h"
#include "text/text.h"

extern char** environ;

namespace velm {
namespace {

constexpr char kUpdatedMark[] = "VELM_COOP_UPDATED";
constexpr size_t kMarkBufferLength = 8;  // in UTF-16 units, as on Windows

// The value's length as Windows counts it, so that the mark means the same on both platforms.
size_t utf16Length(const std::string& text) {
  size_t units = 0;
  for (wchar_t c : utf8ToWide(text)) units += static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
  return units;
}

// The process's own argv, as the kernel keeps it; empty when it cannot be read.
std::vector<std::string> ownArguments() {
  std::string text;
  if (!readWholeFile("/proc/self/cmdline", text)) return {};
  std::vector<std::string> arguments;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    arguments.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
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

  bool moveFile(const std::wstring& source, const std::wstring& target) override {
    const std::string from = wideToUtf8(source);
    const std::string to = wideToUtf8(target);
    const auto attempt = [&](std::error_code& error) {
      // A rename between two links of one file does nothing and succeeds: the rollback of a
      // build kept aside by keepAside would leave the aside name behind. The move drops it.
      struct stat fromInfo, toInfo;
      if (lstat(from.c_str(), &fromInfo) == 0 && lstat(to.c_str(), &toInfo) == 0 &&
          fromInfo.st_dev == toInfo.st_dev && fromInfo.st_ino == toInfo.st_ino) {
        if (unlink(from.c_str()) == 0) return true;
      } else if (std::rename(from.c_str(), to.c_str()) == 0) {
        // No copy across file systems: the running exe is only ever moved within its own folder.
        return true;
      }
      error = lastError();
      return false;
    };
    std::error_code error;
    if (held_.retry(fileNameOf(target), attempt, error)) return true;
    printError(moveFailedLine(source, target, static_cast<uint32_t>(error.value())));
    return false;
  }

  bool keepAside(const std::wstring& exe, const std::wstring& aside) override {
    // A second name for the running build: the rename of the new one over exe then swaps the
    // launcher in one step, and a kill at any moment leaves a whole old or new build.
    if (link(wideToUtf8(exe).c_str(), wideToUtf8(aside).c_str()) == 0) return true;
    // A file system without hard links: the move, with its short moment without an exe.
    return moveFile(exe, aside);
  }

  void makeRunnable(const std::wstring& build, const std::wstring& exe) override {
    // Whoever could start the running launcher can start the new one. Through a descriptor that
    // a link in the .new file's place cannot redirect.
    const FileDescriptor file(open(wideToUtf8(build).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    struct stat running;
    const mode_t modes = stat(wideToUtf8(exe).c_str(), &running) == 0 ? (running.st_mode & 0777)
                                                                      : (info.st_mode & 0777);
    (void)fchmod(file.get(), modes | S_IXUSR);
  }

  void deleteFile(const std::wstring& path) override {
    std::error_code ignored;
    (void)held_.remove(fileNameOf(path), std::filesystem::u8path(wideToUtf8(path)), ignored);
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
    const int code = spawnProgram(program, argv.data(), environ, std::string());
    unsetenv(kUpdatedMark);
    if (code != 0) {
      printError(startFailedLine(static_cast<uint32_t>(code)));
      return false;
    }
    return true;
  }

  void printLine(const std::string& text) override { writeOutputLine(text); }
  void printError(const std::string& text) override { writeErrorLine(text); }

 private:
  HeldFiles held_{[this](const std::string& name) { printLine(HeldFiles::waitingLine(name)); }};
};

}  // namespace

SelfUpdateIo& systemSelfUpdateIo() {
  static PosixSelfUpdateIo io;
  return io;
}

}  // namespace velm
