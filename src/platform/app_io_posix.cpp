// The POSIX port's AppIo: libcurl for the network, the terminal for lines and the key wait.
#include "platform/app_io.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "net/net_curl.h"
#include "platform/console.h"
#include "platform/process.h"

namespace velm {
namespace {

class PosixAppIo final : public AppIo {
 public:
  explicit PosixAppIo(bool offlineMode)
      : curlNet_("VelmCoop/1", 30000), offlineMode_(offlineMode) {}

  Net& net() override {
    if (offlineMode_) return noNet_;
    return curlNet_;
  }

  SelfUpdateIo& selfUpdateIo() override { return systemSelfUpdateIo(); }

  bool startProcess(const std::string& exePath, const std::string& commandLine,
                    const std::string& workingFolder, uint64_t steamAppId,
                    std::string& error) override {
    return startChildProcess(exePath, commandLine, workingFolder, steamAppId, error);
  }

  // Like _getch: one key, no echo, no Enter; never blocks without a terminal on both ends.
  void waitForKey() override {
    std::fflush(stdout);
    std::fflush(stderr);
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return;
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
    tcflush(STDIN_FILENO, TCIFLUSH);
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
    char key = 0;
    ssize_t ignored = read(STDIN_FILENO, &key, 1);
    (void)ignored;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  }

  void printLine(const std::string& text) override { writeOutputLine(text); }
  void printError(const std::string& text) override { writeErrorLine(text); }

  FILE* progressOutput() override { return stdout; }

  const std::vector<TrustedKey>& trustedKeys() override {
    static const std::vector<TrustedKey> keys = buildTrustedKeys();
    return keys;
  }

 private:
  CurlNet curlNet_;
  NoNet noNet_;
  bool offlineMode_;
};

}  // namespace

std::unique_ptr<AppIo> makeSystemAppIo(bool offlineMode) {
  return std::make_unique<PosixAppIo>(offlineMode);
}

}  // namespace velm
