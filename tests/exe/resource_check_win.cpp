// Reads the launcher exe's embedded resources as data: the application manifest must request
// asInvoker, and the version resource must be present.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc != 2) {
    std::fprintf(stderr, "usage: resource_check EXE\n");
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
  if (!FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16))) {
    std::fprintf(stderr, "no version resource\n");
    ++failures;
  }
  FreeLibrary(exe);
  std::printf("%s\n", failures == 0 ? "1 passed, 0 failed" : "0 passed, 1 failed");
  return failures == 0 ? 0 : 1;
}
