// Windows: the co-op launcher is created with CreateProcessW and an environment block of its own.
#include "platform/process.h"

#include <windows.h>

#include <vector>

#include "platform/command_line.h"
#include "platform/kernel_handle_win.h"
#include "platform/os_error.h"
#include "text/text.h"

namespace velm {
namespace {

// The process environment, released as soon as it has been copied.
std::vector<std::wstring> currentEnvironment() {
  wchar_t* block = GetEnvironmentStringsW();
  std::vector<std::wstring> list = splitEnvironmentBlock<std::wstring>(block);
  if (block != nullptr) FreeEnvironmentStringsW(block);
  return list;
}

}  // namespace

bool startChildProcess(const std::string& exePath, const std::string& commandLine,
                       const std::string& workingFolder, uint64_t steamAppId, std::string& error) {
  std::wstring application = utf8ToWide(exePath);
  std::wstring folder = utf8ToWide(workingFolder);
  std::wstring line = utf8ToWide(commandLine);
  // CreateProcessW may write into the command line, so it gets its own zero-terminated buffer.
  std::vector<wchar_t> lineBuffer(line.begin(), line.end());
  lineBuffer.push_back(L'\0');

  // Without a block the child inherits our environment as it is.
  const bool hasBlock = steamAppId != 0;
  std::wstring block;
  if (hasBlock) block = joinEnvironmentBlock(buildEnvironment(currentEnvironment(), steamAppId));

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application.c_str(), lineBuffer.data(), nullptr, nullptr, FALSE,
                      hasBlock ? CREATE_UNICODE_ENVIRONMENT : 0,
                      hasBlock ? static_cast<void*>(block.data()) : nullptr, folder.c_str(),
                      &startup, &process)) {
    error = errorCodeText(lastErrorCode());
    return false;
  }
  // Not waited for: both handles are closed here, the thread's first.
  const KernelHandle child(process.hProcess);
  const KernelHandle thread(process.hThread);
  return true;
}

}  // namespace velm
