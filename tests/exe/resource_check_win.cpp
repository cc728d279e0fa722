// Reads the launcher exe's embedded resources as data: the application manifest must request
// asInvoker, and the version resource must give the version the build was configured with, in
// its numbers and in the texts Explorer shows.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The failures of the version resource against "X.Y.Z"; 0 when it matches.
int checkVersion(const wchar_t* exe, const std::wstring& expected) {
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeW(exe, &ignored));
  if (info.empty() || !GetFileVersionInfoW(exe, 0, static_cast<DWORD>(info.size()), info.data())) {
    std::fprintf(stderr, "no version resource\n");
    return 1;
  }
  int failures = 0;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  unsigned major = 0, minor = 0, patch = 0;
  swscanf(expected.c_str(), L"%u.%u.%u", &major, &minor, &patch);
  const DWORD high = MAKELONG(minor, major), low = MAKELONG(0, patch);
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed->dwFileVersionMS != high || fixed->dwFileVersionLS != low ||
      fixed->dwProductVersionMS != high || fixed->dwProductVersionLS != low) {
    std::fprintf(stderr, "the version numbers are not %ls,0\n", expected.c_str());
    ++failures;
  }
  for (const wchar_t* name : {L"FileVersion", L"ProductVersion"}) {
    wchar_t* text = nullptr;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&text), &length) ||
        expected != text) {
      std::fprintf(stderr, "%ls is not %ls\n", name, expected.c_str());
      ++failures;
    }
  }
  return failures;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc != 3) {
    std::fprintf(stderr, "usage: resource_check EXE VERSION\n");
    return 2;
  }
  HMODULE exe = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!exe) {
    std::fprintf(stderr, "cannot load the exe (error %lu)\n", GetLastError());
    return 1;
  }
  int failures = 0;
  HRSRC manifest = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  if (!manifest) {
    std::fprintf(stderr, "no application manifest\n");
    ++failures;
  } else {
    auto* data = static_cast<const char*>(LockResource(LoadResource(exe, manifest)));
    std::string text(data, SizeofResource(exe, manifest));
    if (text.find("level=\"asInvoker\"") == std::string::npos) {
      std::fprintf(stderr, "the manifest does not request asInvoker\n");
      ++failures;
    }
  }
  FreeLibrary(exe);
  failures += checkVersion(argv[1], argv[2]);
  std::printf("%s\n", failures == 0 ? "1 passed, 0 failed" : "0 passed, 1 failed");
  return failures == 0 ? 0 : 1;
}
