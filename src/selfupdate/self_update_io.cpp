#include "selfupdate/self_update_io.h"

#include <filesystem>
#include <system_error>

#include "os/console.h"
#include "os/environment.h"
#include "os/exe_path.h"
#include "os/file_move.h"
#include "os/held_file.h"
#include "os/os_error.h"
#include "os/process.h"
#include "text/path_text.h"
#include "text/text.h"
#include "text/utf8.h"

namespace velm {
namespace {

constexpr char kUpdatedMark[] = "VELM_COOP_UPDATED";
constexpr size_t kMarkBufferLength = 8;  // in UTF-16 units: the Windows build's buffer

// The value's length as Windows counts it, so that the mark means the same on both platforms.
size_t utf16Length(const std::string& text) {
  size_t units = 0;
  for (size_t i = 0; i < text.size();) units += nextCodePoint(text, i) > 0xFFFF ? 2 : 1;
  return units;
}

// The machine's own: the os floor's moves, deletes and process start, and the console.
class SystemSelfUpdateIo final : public SelfUpdateIo {
 public:
  bool consumeUpdatedMark() override {
    std::string value;
    if (!readEnvironment(kUpdatedMark, value) || value.empty() || value[0] != '1') return false;
    // A value that would not fit the Windows build's buffer counts as absent there, so here too.
    if (utf16Length(value) >= kMarkBufferLength) return false;
    setEnvironment(kUpdatedMark, nullptr);
    return true;
  }

  std::wstring exePath() override { return runningExePath(); }

  bool moveFile(const std::wstring& source, const std::wstring& target) override {
    return move(source, target, fileNameOf(target));
  }

  bool keepAside(const std::wstring& exe, const std::wstring& aside) override {
    // A running Windows exe is held under its name: it can only be moved, named as it waits.
    if (!runningExeNameIsReplaceable()) return move(exe, aside, fileNameOf(exe));
    // A second name for the running build: the move of the new one over exe then swaps the
    // launcher in one step, and a kill at any moment leaves a whole old or new build.
    std::error_code error;
    if (hardLink(pathFromWide(exe), pathFromWide(aside), error)) return true;
    // A file system without hard links: the move, with its short moment without an exe.
    return moveFile(exe, aside);
  }

  void makeRunnable(const std::wstring& build, const std::wstring& exe) override {
    makeRunnableLike(pathFromWide(build), pathFromWide(exe));
  }

  void deleteFile(const std::wstring& path) override {
    // The old process of an update may still hold its exe for a moment.
    std::error_code ignored;
    (void)held_.remove(fileNameOf(path), pathFromWide(path), ignored);
  }

  bool startExe(const std::wstring& exePath) override {
    // The mark is in the environment only while the new process inherits it.
    setEnvironment(kUpdatedMark, "1");
    uint32_t code = 0;
    const bool started = startWithOwnCommandLine(pathFromWide(exePath), code);
    setEnvironment(kUpdatedMark, nullptr);
    if (!started) printError(startFailedLine(code));
    return started;
  }

  void printLine(const std::string& text) override { writeOutputLine(text); }
  void printError(const std::string& text) override { writeErrorLine(text); }

 private:
  // The package's move, waits and link refusal included, within the launcher's own folder.
  bool move(const std::wstring& source, const std::wstring& target, const std::string& name) {
    std::error_code error;
    if (held_.move(name, pathFromWide(source), pathFromWide(target), error, MoveScope::ExeFolder)) {
      return true;
    }
    printError(moveFailedLine(source, target, static_cast<uint32_t>(error.value())));
    return false;
  }

  HeldFiles held_{[this](const std::string& name) { printLine(HeldFiles::waitingLine(name)); }};
};

}  // namespace

SelfUpdateIo& systemSelfUpdateIo() {
  static SystemSelfUpdateIo io;
  return io;
}

std::string moveFailedLine(const std::wstring& source, const std::wstring& target, uint32_t code) {
  return "self-update: could not move " + wideToUtf8(source) + " to " + wideToUtf8(target) + " (" +
         errorCodeText(code) + ")";
}

std::string startFailedLine(uint32_t code) {
  return "self-update: the new exe would not start (" + errorCodeText(code) + ")";
}

std::string fileNameOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return wideToUtf8(separator == std::wstring::npos ? path : path.substr(separator + 1));
}

}  // namespace velm
