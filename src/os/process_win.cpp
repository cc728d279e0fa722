// Windows: the co-op launcher is created with CreateProcessW and an environment block of its own.
#include "os/process.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "os/command_line.h"
#include "os/kernel_handle_win.h"
#include "os/os_error.h"
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

// The standard handles the new build shares with this one and nothing else: a handle that a
// library left inheritable must not reach the next build. A console handle of Windows 7 (low
// bits 11) is no kernel object and reaches the child without inheritance.
std::vector<HANDLE> inheritableStandardHandles() {
  std::vector<HANDLE> handles;
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    DWORD flags = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        (reinterpret_cast<ULONG_PTR>(handle) & 3) == 3 || !GetHandleInformation(handle, &flags) ||
        (flags & HANDLE_FLAG_INHERIT) == 0) {
      continue;
    }
    bool listed = false;  // the list must not name a handle twice
    for (HANDLE other : handles) listed = listed || other == handle;
    if (!listed) handles.push_back(handle);
  }
  return handles;
}

// A PROC_THREAD_ATTRIBUTE_HANDLE_LIST for CreateProcessW; get() is null when it could not be
// made. The handles must outlive it.
class InheritedHandleList {
 public:
  explicit InheritedHandleList(std::vector<HANDLE>& handles) {
    if (handles.empty()) return;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                   handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return;
    }
    list_ = list;
  }
  ~InheritedHandleList() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritedHandleList(const InheritedHandleList&) = delete;
  InheritedHandleList& operator=(const InheritedHandleList&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

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

bool startSharingStandardHandles(const std::wstring& exePath, std::vector<wchar_t>& commandLine) {
  std::vector<HANDLE> handles = inheritableStandardHandles();
  const InheritedHandleList inherited(handles);
  // Without a list nothing is inherited: the console, if any, is shared all the same.
  const bool listed = inherited.get() != nullptr;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = listed ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
  startup.lpAttributeList = inherited.get();
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, listed,
                      listed ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr, nullptr,
                      &startup.StartupInfo, &process)) {
    return false;
  }
  // Not waited for: both handles are closed here, the thread's first.
  const KernelHandle child(process.hProcess);
  const KernelHandle thread(process.hThread);
  return true;
}

void makeRunnableLike(const std::filesystem::path& build, const std::filesystem::path& exe) {
  (void)build;
  (void)exe;
}

bool startWithOwnCommandLine(const std::filesystem::path& exe, uint32_t& code) {
  const wchar_t* own = GetCommandLineW();
  std::vector<wchar_t> commandLine(own, own + wcslen(own) + 1);
  const bool started = startSharingStandardHandles(exe.native(), commandLine);
  // Taken before anything else can overwrite it.
  code = started ? 0 : lastErrorCode();
  return started;
}

}  // namespace velm
