// The Windows entry point: where DLLs may come from and the stack canary first, then console
// set-up, the launch options, the platform object, then run.
// clang-format off
#include <windows.h>
#include <delayimp.h>  // after windows.h, whose types it uses
// clang-format on

#include <cstdint>
#include <ctime>
#include <string>

#include "core/launch.h"
#include "core/startup.h"
#include "platform/app_io.h"
#include "text/text.h"

// GCC's stack protector compares this canary on return and calls __stack_chk_fail on a mismatch.
// Defined here, they keep GCC's libssp out of the exe: its canary set-up runs before main,
// imports advapi32 and has CryptAcquireContext load a crypto provider by bare name, which is
// looked for beside the exe first. This start value serves the static constructors; main draws
// the real one once the DLL search is limited.
extern "C" {
uintptr_t __stack_chk_guard = 0x5b1f6e0c9d3a4c27;

[[noreturn]] void __stack_chk_fail() {
  // The stack is not to be trusted: no handler, no output, the status Windows uses for this.
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_trap();
}
}

namespace {

// True once SetDefaultDllDirectories has limited every later load to System32.
bool searchLimited = false;

// A DLL beside the exe (a mod loader's proxy winhttp.dll, say) must never run in the launcher.
// SetDefaultDllDirectories is missing on Windows 7 without KB2533623; there the current folder at
// least leaves the search, and the delay-load hook below still takes System32's copy.
void limitDllSearchToSystem32() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  auto setDefaultDllDirectories =
      reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    searchLimited = true;
    return;
  }
  SetDllDirectoryW(L"");
}

// A system DLL by its full System32 path, so that the exe's folder is never searched for it, also
// where the search could not be limited. Where it was, the DLL's own dependencies come from
// System32 as well; where not, the altered search order starts in System32 and leaves the exe's
// folder out.
HMODULE loadSystemDll(const std::wstring& name) {
  wchar_t folder[MAX_PATH];
  UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  std::wstring path = std::wstring(folder, length) + L'\\' + name;
  return LoadLibraryExW(path.c_str(), nullptr, searchLimited ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Wine's builtin DLLs load their own delay-loaded DLLs through the search path that Wine fixed at
// process start, the exe's folder first, which SetDefaultDllDirectories does not change. A DLL
// that is already loaded is taken by name instead, so these go first, from System32: what
// WinHTTP delay-loads under Wine, directly or through ws2_32, dnsapi and secur32. On Windows,
// where the limited search covers such loads, WinHTTP would load most of them anyway.
constexpr const wchar_t* kWinHttpDependencies[] = {L"secur32.dll",  L"crypt32.dll",
                                                   L"iphlpapi.dll", L"dhcpcsvc.dll",
                                                   L"dnsapi.dll",   L"netapi32.dll"};

// The delay-loaded DLLs (see CMakeLists.txt) come from System32; a null answer would let the
// helper load by name.
FARPROC WINAPI loadDelayedFromSystem32(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  std::wstring name;
  for (const char* c = info->szDll; *c != '\0'; ++c) {
    name += static_cast<wchar_t>(static_cast<unsigned char>(*c));  // our own ASCII import names
  }
  if (CompareStringOrdinal(name.c_str(), -1, L"winhttp.dll", -1, TRUE) == CSTR_EQUAL) {
    for (const wchar_t* dependency : kWinHttpDependencies) loadSystemDll(dependency);
  }
  return reinterpret_cast<FARPROC>(loadSystemDll(name));
}

// Replaces the start canary with one from RtlGenRandom, taken from advapi32 by path (msvcrt's
// rand_s would have Wine look for advapi32's dependencies beside the exe). Safe only while no
// frame that saved the old canary is live: below this call there are main and the C runtime's
// start-up code, neither of them protected. Without a random value the start value stays.
__attribute__((no_stack_protector)) void drawStackCanary() {
  using RtlGenRandomFunction = BOOLEAN(WINAPI*)(PVOID, ULONG);
  HMODULE advapi32 = loadSystemDll(L"advapi32.dll");
  if (!advapi32) return;
  auto genRandom = reinterpret_cast<RtlGenRandomFunction>(
      reinterpret_cast<void*>(GetProcAddress(advapi32, "SystemFunction036")));
  uintptr_t canary = 0;
  if (genRandom && genRandom(&canary, sizeof(canary)) && canary != 0) __stack_chk_guard = canary;
}

bool readSwitch(const wchar_t* name) {
  wchar_t buffer[8] = {};
  DWORD length = GetEnvironmentVariableW(name, buffer, 8);
  // Past 7 units the call returns the size it needs and leaves the buffer undefined.
  if (length == 0 || length > 7) return false;
  return velm::isSwitchOn(std::wstring(buffer, length));
}

// Kept out of main so that its canary is the drawn one.
__attribute__((noinline)) int runLauncher() {
  SetConsoleOutputCP(65001);
  SetConsoleTitleW(velm::utf8ToWide(velm::consoleTitle()).c_str());

  velm::LaunchOptions options;
  options.exeDir = velm::wideToUtf8(velm::exeFolder());
  options.arguments = velm::argumentTail(velm::wideToUtf8(GetCommandLineW()));
  options.version = velm::builtInVersion();
  options.now = static_cast<int64_t>(std::time(nullptr));
  options.fullCheck = readSwitch(L"VELM_COOP_VERIFY");

  auto io = velm::makeSystemAppIo(readSwitch(L"VELM_COOP_OFFLINE"));
  int result = velm::run(options, *io);
  io.reset();
  return result;
}

}  // namespace

// mingw-w64's delay-load helper asks this hook before each load (defined here, the library's
// null default is not linked).
PfnDliHook __pfnDliNotifyHook2 = loadDelayedFromSystem32;

__attribute__((no_stack_protector)) int main() {
  limitDllSearchToSystem32();
  drawStackCanary();
  return runLauncher();
}
