// Stands in for a game's co-op launcher in end-to-end runs: writes what it was started with as
// one JSON object and ends with exit code 0.
//
//   commandLine    Windows: GetCommandLineW as UTF-8. POSIX: argv re-quoted by the Windows
//                  rules and joined with blanks, so both builds can be compared to one text.
//   argv           Windows: CommandLineToArgvW of the command line. POSIX: argv as received.
//   workingFolder  the current folder at start.
//   SteamAppId, SteamGameId   the value of the variable spelled exactly so, or null.
//   steamVariants  every NAME=value entry whose name equals one of the two ignoring ASCII case
//                  but is spelled otherwise (SteamAppID, steamgameid, ...).
//   environment    every NAME=value entry, in the order the process received them.
//   openDescriptors  POSIX: every file descriptor open at start, in increasing order (what the
//                  starting process let this one inherit). Windows: null.
//
// The file is VELM_RECORDER_OUT when that is set and not empty, otherwise recorder.json beside
// the program. It is written under a temporary name and renamed, so a reader that polls for it
// never sees half of it. VELM_RECORDER_HOLD (see main) makes it hold a file open afterwards.
//
// Started by a test instead of the launcher, it plays another program that holds a file:
//
//   velm_recorder --hold FILE HELD GO MS
//
// waits for FILE to exist and opens it for reading, letting others read and write it but not
// move or delete it (Windows; POSIX has no sharing modes, so there it holds nothing), creates
// the empty file HELD, and keeps FILE open until MS milliseconds after GO (a file or folder)
// exists. A test thereby starts the hold's time right before the launcher's first move, whatever
// a Wine program's start-up takes. No record is written. Exit code 3 when FILE or GO does not
// appear within a minute, 2 when HELD cannot be made.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// shellapi.h builds on windows.h.
#include <shellapi.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#endif

namespace {

struct Record {
  std::string commandLine;
  std::vector<std::string> argv;
  std::string workingFolder;
  std::vector<std::string> environment;
  std::string programFolder;
  std::string outputPath;                // from VELM_RECORDER_OUT
  std::string openDescriptors = "null";  // as JSON
};

#ifdef _WIN32
std::string utf8(const wchar_t* text, int length = -1) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
  if (length < 0) result.pop_back();  // the converted terminating zero
  return result;
}

std::wstring wide(const std::string& text) {
  int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
  return result;
}

Record gather(int, char**) {
  Record record;
  const wchar_t* commandLine = GetCommandLineW();
  record.commandLine = utf8(commandLine);
  int count = 0;
  if (wchar_t** arguments = CommandLineToArgvW(commandLine, &count)) {
    for (int i = 0; i < count; ++i) record.argv.push_back(utf8(arguments[i]));
    LocalFree(arguments);
  }
  wchar_t folder[32768];
  DWORD length = GetCurrentDirectoryW(32768, folder);
  if (length > 0 && length < 32768) record.workingFolder = utf8(folder, static_cast<int>(length));
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry != 0; entry += wcslen(entry) + 1) {
      record.environment.push_back(utf8(entry));
    }
    FreeEnvironmentStringsW(block);
  }
  wchar_t self[32768];
  length = GetModuleFileNameW(nullptr, self, 32768);
  std::string selfPath = utf8(self, static_cast<int>(length));
  record.programFolder = selfPath.substr(0, selfPath.find_last_of("\\/"));
  if (const wchar_t* out = _wgetenv(L"VELM_RECORDER_OUT")) record.outputPath = utf8(out);
  return record;
}

bool replaceFile(const std::string& from, const std::string& to) {
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::FILE* openForWriting(const std::string& path) { return _wfopen(wide(path).c_str(), L"wb"); }

// Holds a file open as a running game does: others may read it, not replace or delete it.
void holdFile(const std::string& name, unsigned milliseconds) {
  HANDLE file = CreateFileW(wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  Sleep(milliseconds);
  CloseHandle(file);
}

// A scanner's or a game's hold: readers and writers may share the file, a move or delete may not
// (no FILE_SHARE_DELETE), so the launcher can write beside it, as it does to a ".new".
using SharedFile = HANDLE;

bool openShared(const std::string& path, SharedFile& file) {
  file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file != INVALID_HANDLE_VALUE;
}

void closeShared(SharedFile file) { CloseHandle(file); }

bool fileExists(const std::string& path) {
  return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void pause(unsigned milliseconds) { Sleep(milliseconds); }

const char kSeparator[] = "\\";
#else
extern "C" char** environ;

// The Windows quoting rules, as the launcher applies them to its own arguments.
std::string quoteArgument(const std::string& text) {
  if (!text.empty() && text.find_first_of(" \t\n\v\"") == std::string::npos) return text;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

// Listed before this program opens anything; the listing's own descriptor is left out.
std::string openDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return "null";
  std::vector<int> found;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != dirfd(folder)) found.push_back(fd);
  }
  closedir(folder);
  std::sort(found.begin(), found.end());
  std::string json = "[";
  for (size_t i = 0; i < found.size(); ++i) json += (i == 0 ? "" : ", ") + std::to_string(found[i]);
  return json + "]";
}

Record gather(int argc, char** argv) {
  Record record;
  record.openDescriptors = openDescriptors();
  for (int i = 0; i < argc; ++i) {
    record.argv.push_back(argv[i]);
    record.commandLine += (i == 0 ? "" : " ") + quoteArgument(argv[i]);
  }
  std::vector<char> folder(65536);
  if (getcwd(folder.data(), folder.size()) != nullptr) record.workingFolder = folder.data();
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    record.environment.push_back(*entry);
  }
  std::vector<char> self(65536);
  ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  std::string selfPath(self.data(), length > 0 ? static_cast<size_t>(length) : 0);
  size_t slash = selfPath.find_last_of('/');
  record.programFolder = slash == std::string::npos ? "." : selfPath.substr(0, slash);
  if (record.programFolder.empty()) record.programFolder = "/";
  if (const char* out = std::getenv("VELM_RECORDER_OUT")) record.outputPath = out;
  return record;
}

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::FILE* openForWriting(const std::string& path) { return std::fopen(path.c_str(), "wb"); }

// POSIX has no sharing modes to hold a file with; the scenario that needs it is Windows-only.
void holdFile(const std::string&, unsigned milliseconds) { usleep(milliseconds * 1000u); }

using SharedFile = int;

bool openShared(const std::string& path, SharedFile& file) {
  file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return file >= 0;
}

void closeShared(SharedFile file) { close(file); }

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void pause(unsigned milliseconds) { usleep(milliseconds * 1000u); }

const char kSeparator[] = "/";
#endif

std::string jsonString(const std::string& text) {
  std::string json = "\"";
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      json += escape;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

std::string jsonList(const std::vector<std::string>& texts) {
  std::string json = "[";
  for (size_t i = 0; i < texts.size(); ++i) json += (i == 0 ? "" : ", ") + jsonString(texts[i]);
  return json + "]";
}

std::string upperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The name of NAME=value; the search starts at 1 so that =C:=C:\ keeps its name.
std::string nameOf(const std::string& entry) {
  size_t equals = entry.size() > 1 ? entry.find('=', 1) : std::string::npos;
  return equals == std::string::npos ? entry : entry.substr(0, equals);
}

std::string exactValue(const std::vector<std::string>& environment, const std::string& name) {
  for (const std::string& entry : environment) {
    if (nameOf(entry) == name) return jsonString(entry.substr(name.size() + 1));
  }
  return "null";
}

std::string json(const Record& record) {
  std::vector<std::string> variants;
  for (const std::string& entry : record.environment) {
    std::string name = nameOf(entry);
    std::string upper = upperAscii(name);
    bool steam = upper == "STEAMAPPID" || upper == "STEAMGAMEID";
    if (steam && name != "SteamAppId" && name != "SteamGameId") variants.push_back(entry);
  }
  return "{\n  \"commandLine\": " + jsonString(record.commandLine) +
         ",\n  \"argv\": " + jsonList(record.argv) +
         ",\n  \"workingFolder\": " + jsonString(record.workingFolder) +
         ",\n  \"SteamAppId\": " + exactValue(record.environment, "SteamAppId") +
         ",\n  \"SteamGameId\": " + exactValue(record.environment, "SteamGameId") +
         ",\n  \"steamVariants\": " + jsonList(variants) +
         ",\n  \"environment\": " + jsonList(record.environment) +
         ",\n  \"openDescriptors\": " + record.openDescriptors + "\n}\n";
}

// Polls every 10 ms for a minute; the cue files of a test appear within seconds.
bool waitFor(const std::function<bool()>& ready) {
  for (int tries = 0; tries < 6000; ++tries) {
    if (ready()) return true;
    pause(10);
  }
  return false;
}

// The --hold mode (see the top of this file).
int holdOnCue(const std::string& path, const std::string& held, const std::string& go,
              unsigned milliseconds) {
  SharedFile file{};
  if (!waitFor([&] { return openShared(path, file); })) return 3;
  std::FILE* signal = openForWriting(held);
  if (signal == nullptr || std::fclose(signal) != 0) return 2;
  const bool cued = waitFor([&] { return fileExists(go); });
  if (cued) pause(milliseconds);
  closeShared(file);
  return cued ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--hold") {
    return holdOnCue(argv[2], argv[3], argv[4],
                     static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)));
  }
  Record record = gather(argc, argv);
  std::string path = record.outputPath.empty() ? record.programFolder + kSeparator + "recorder.json"
                                               : record.outputPath;
  std::string temporary = path + ".tmp";
  std::FILE* file = openForWriting(temporary);
  if (file == nullptr) return 2;
  std::string text = json(record);
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = std::fclose(file) == 0 && written;
  if (!written || !replaceFile(temporary, path)) return 2;
  // VELM_RECORDER_HOLD=NAME keeps the file NAME (in the working folder) open for
  // VELM_RECORDER_HOLD_MS milliseconds after the record is written, like a running game.
  const char* hold = std::getenv("VELM_RECORDER_HOLD");
  const char* holdMs = std::getenv("VELM_RECORDER_HOLD_MS");
  if (hold != nullptr && *hold != '\0') {
    holdFile(hold, holdMs ? static_cast<unsigned>(std::strtoul(holdMs, nullptr, 10)) : 10000u);
  }
  return 0;
}
