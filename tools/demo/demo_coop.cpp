// The demo package's co-op launcher: says what the launcher started it with, so a person
// watching the demo sees the arguments, the folder and the Steam ids arrive.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "(not set)";
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("\n  [demo co-op launcher] started\n");
  for (int i = 0; i < argc; ++i) std::printf("  argv[%d]:      %s\n", i, argv[i]);
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::current_path(error);
  std::printf("  folder:       %s\n", error ? "?" : folder.u8string().c_str());
  std::printf("  SteamAppId:   %s\n", variable("SteamAppId").c_str());
  std::printf("  SteamGameId:  %s\n\n", variable("SteamGameId").c_str());
  return 0;
}
