// The demo package's co-op launcher: says what the launcher started it with, so a person
// watching the demo sees the command line, the folder and the Steam ids arrive.
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "(not set)";
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("\n  [demo co-op launcher] started\n");
#ifdef _WIN32
  (void)argc;
  (void)argv;
  std::wprintf(L"  command line: %ls\n", GetCommandLineW());
  wchar_t folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder);
  std::wprintf(L"  folder:       %ls\n", folder);
#else
  for (int i = 0; i < argc; ++i) std::printf("  argv[%d]:      %s\n", i, argv[i]);
  char folder[4096] = {};
  std::printf("  folder:       %s\n", getcwd(folder, sizeof folder) ? folder : "?");
#endif
  std::printf("  SteamAppId:   %s\n", variable("SteamAppId").c_str());
  std::printf("  SteamGameId:  %s\n\n", variable("SteamGameId").c_str());
  return 0;
}
