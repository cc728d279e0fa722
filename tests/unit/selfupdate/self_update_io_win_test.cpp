// The Windows SelfUpdateIo where Windows has its own answer: a move onto a read-only file.
#include "selfupdate/self_update_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "system_hooks.h"
#include "text/text.h"

namespace velm {

void setVariable(const std::string& name, const char* value) {
  const std::wstring wideValue = value != nullptr ? utf8ToWide(value) : std::wstring();
  SetEnvironmentVariableW(utf8ToWide(name).c_str(), value != nullptr ? wideValue.c_str() : nullptr);
}

bool readVariable(const std::string& name, std::string& value) {
  const std::wstring wideName = utf8ToWide(name);
  SetLastError(ERROR_SUCCESS);
  const DWORD needed = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  // An empty value answers 0 too, but leaves the last error alone.
  if (needed == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    value.clear();
    return true;
  }
  std::vector<wchar_t> buffer(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(wideName.c_str(), buffer.data(), needed);
  value = wideToUtf8(std::wstring(buffer.data(), length));
  return true;
}

void writeUnbuffered(const std::string& text) {
  ASSERT_EQ(_write(1, text.data(), static_cast<unsigned>(text.size())),
            static_cast<int>(text.size()));
}

std::string captureOutput(const std::function<void()>& body) {
  TempDir dir;
  std::fflush(stdout);
  std::fflush(stderr);
  const int savedOut = _dup(1);
  const int savedErr = _dup(2);
  const int fd = _wopen((dir.path() / "output").c_str(),
                        _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  _dup2(fd, 1);
  _dup2(fd, 2);
  _close(fd);
  body();
  std::fflush(stdout);
  std::fflush(stderr);
  _dup2(savedOut, 1);
  _dup2(savedErr, 2);
  _close(savedOut);
  _close(savedErr);
  return dir.read("output");
}

namespace {

TEST(WindowsSelfUpdateIo, AMoveOntoAFolderIsDenied) {
  TempDir dir;
  const std::filesystem::path source = dir.write("Velm Co-op.exe.new", "new build");
  const std::filesystem::path target = dir.path() / "Velm Co-op.exe";
  std::filesystem::create_directory(target);
  std::string output = captureOutput(
      [&] { EXPECT_FALSE(systemSelfUpdateIo().moveFile(source.wstring(), target.wstring())); });
  const std::string failure = "self-update: could not move " + source.u8string() + " to " +
                              target.u8string() + " (error 5)\n";
  // Access denied is also what a held file answers: the move is tried for a while first, and
  // the wait named once in the process.
  const std::string waiting = "[*] waiting for Velm Co-op.exe, which another program holds\n";
  EXPECT_TRUE(output == failure || output == waiting + failure) << output;
  EXPECT_EQ(dir.read("Velm Co-op.exe.new"), "new build");
}

}  // namespace
}  // namespace velm
