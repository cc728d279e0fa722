// Real process starts. The child is this test program itself: when the record variable is set,
// it writes what it was started with and ends before any test runs.
#include "os/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "os/command_line.h"
#include "support/temp_dir.h"
#include "text/text.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace velm {
namespace {

constexpr char kRecordVariable[] = "VELM_TEST_CHILD_RECORD";

// What the child saw: its command line (POSIX: argv quoted back by the Windows rules), its
// folder and its environment.
struct ChildRecord {
  std::string commandLine;
  std::string folder;
  std::vector<std::string> environment;
};

#ifdef _WIN32
std::string variable(const char* name) {
  std::wstring wideName = utf8ToWide(name);
  wchar_t value[32768];
  DWORD length = GetEnvironmentVariableW(wideName.c_str(), value, 32768);
  return length > 0 && length < 32768 ? wideToUtf8(std::wstring(value, length)) : "";
}

void setVariable(const std::string& name, const std::string& value) {
  SetEnvironmentVariableW(utf8ToWide(name).c_str(), utf8ToWide(value).c_str());
}

void unsetVariable(const std::string& name) {
  SetEnvironmentVariableW(utf8ToWide(name).c_str(), nullptr);
}

std::vector<std::string> environmentList() {
  std::vector<std::string> list;
  wchar_t* block = GetEnvironmentStringsW();
  for (const std::wstring& entry : splitEnvironmentBlock<std::wstring>(block)) {
    list.push_back(wideToUtf8(entry));
  }
  if (block != nullptr) FreeEnvironmentStringsW(block);
  return list;
}

ChildRecord observeSelf() {
  ChildRecord record;
  record.commandLine = wideToUtf8(GetCommandLineW());
  wchar_t folder[32768];
  DWORD length = GetCurrentDirectoryW(32768, folder);
  record.folder = wideToUtf8(std::wstring(folder, length));
  record.environment = environmentList();
  return record;
}

std::string ownExe() {
  wchar_t path[32768];
  DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  return wideToUtf8(std::wstring(path, length));
}
#else
std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

void setVariable(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void unsetVariable(const std::string& name) { unsetenv(name.c_str()); }

std::vector<std::string> environmentList() {
  std::vector<std::string> list;
  for (char** entry = environ; *entry != nullptr; ++entry) list.push_back(*entry);
  return list;
}

ChildRecord observeSelf() {
  ChildRecord record;
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  for (size_t start = 0; start < raw.size();) {
    size_t end = raw.find('\0', start);
    if (start != 0) record.commandLine += ' ';
    record.commandLine += quoteArgument(raw.substr(start, end - start));
    start = end + 1;
  }
  record.folder = std::filesystem::current_path().string();
  record.environment = environmentList();
  return record;
}

std::string ownExe() { return std::filesystem::read_symlink("/proc/self/exe").string(); }
#endif

// The child's side, run while the test program starts up.
const bool kIsChild = [] {
  std::string out = variable(kRecordVariable);
  if (out.empty()) return false;
  ChildRecord record = observeSelf();
  std::string text = record.commandLine + '\0' + record.folder + '\0';
  for (const std::string& entry : record.environment) text += entry + '\0';
  {
    std::ofstream file(std::filesystem::u8path(out + ".part"), std::ios::binary);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  std::error_code error;
  std::filesystem::rename(std::filesystem::u8path(out + ".part"), std::filesystem::u8path(out),
                          error);
  std::_Exit(error ? 3 : 0);
}();

// The child's own arguments start with this, so that a child which missed the record variable
// (a broken environment) runs no test instead of the whole suite again.
const char kNoTests[] = "--gtest_filter=-*";

std::string childCommandLine() { return quoteArgument(ownExe()) + " " + kNoTests; }

// Sets a variable for the lifetime of the object; the child inherits it.
class ScopedVariable {
 public:
  ScopedVariable(std::string name, const std::string& value) : name_(std::move(name)) {
    setVariable(name_, value);
  }
  ~ScopedVariable() { unsetVariable(name_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::string name_;
};

// The start does not wait, so the record is awaited; the deadline only stops a hung run.
bool readRecord(const std::filesystem::path& path, ChildRecord& record) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  std::error_code error;
  while (!std::filesystem::exists(path, error)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream file(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> fields;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\0', start);
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (fields.size() < 2) return false;
  record.commandLine = fields[0];
  record.folder = fields[1];
  record.environment.assign(fields.begin() + 2, fields.end());
  return true;
}

std::vector<std::string> entriesNamedLike(const std::vector<std::string>& environment,
                                          const std::string& upperName) {
  std::vector<std::string> found;
  for (const std::string& entry : environment) {
    std::string name = environmentName(entry);
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (name == upperName) found.push_back(entry);
  }
  return found;
}

bool contains(const std::vector<std::string>& list, const std::string& entry) {
  for (const std::string& item : list) {
    if (item == entry) return true;
  }
  return false;
}

class ChildProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.path() / "work folder";
    std::filesystem::create_directory(folder_);
  }

  // Starts this program as the child and returns what it saw.
  ChildRecord startAndRead(const std::string& commandLine, uint64_t steamAppId) {
    std::filesystem::path out = dir_.path() / ("record" + std::to_string(++runs_));
    ChildRecord record;
    std::string error;
    {
      ScopedVariable marker(kRecordVariable, out.u8string());
      bool started =
          startChildProcess(ownExe(), commandLine, folder_.u8string(), steamAppId, error);
      EXPECT_TRUE(started) << error;
      if (!started) return record;
    }
    EXPECT_TRUE(readRecord(out, record)) << "no record from the child";
    return record;
  }

  TempDir dir_;
  std::filesystem::path folder_;
  int runs_ = 0;
};

TEST_F(ChildProcess, GetsTheCommandLineAndFolder) {
  std::string commandLine =
      buildCommandLine(ownExe(), kNoTests,
                       quoteArgument("C:\\My Games\\game.exe") + " " + quoteArgument("-windowed") +
                           " " + quoteArgument("two words") + " " + quoteArgument("say \"hi\"\\") +
                           " " + quoteArgument("") + " " + quoteArgument("\xC3\xA9t\xC3\xA9"));
  ChildRecord record = startAndRead(commandLine, 0);
  EXPECT_EQ(record.commandLine, commandLine);
  std::error_code error;
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(record.folder), folder_, error))
      << record.folder << " " << error.message();
}

TEST_F(ChildProcess, SteamIdReplacesEveryOtherSpelling) {
  ScopedVariable keep("VELM_TEST_KEEP", "kept value");
  ScopedVariable appId("SteamAppID", "1");
  ScopedVariable gameId("steamgameid", "2");
  ChildRecord record = startAndRead(childCommandLine(), 480);
  EXPECT_EQ(entriesNamedLike(record.environment, "STEAMAPPID"),
            std::vector<std::string>{"SteamAppId=480"});
  EXPECT_EQ(entriesNamedLike(record.environment, "STEAMGAMEID"),
            std::vector<std::string>{"SteamGameId=480"});
  EXPECT_TRUE(contains(record.environment, "VELM_TEST_KEEP=kept value"));
}

TEST_F(ChildProcess, ZeroSteamIdPassesTheEnvironmentOn) {
  ScopedVariable keep("VELM_TEST_KEEP", "kept value");
  ScopedVariable appId("SteamAppID", "1");
  std::vector<std::string> parent = environmentList();
  ChildRecord record = startAndRead(childCommandLine(), 0);
  EXPECT_EQ(entriesNamedLike(record.environment, "STEAMAPPID"),
            std::vector<std::string>{"SteamAppID=1"});
  EXPECT_TRUE(entriesNamedLike(record.environment, "STEAMGAMEID").empty());
  for (const std::string& entry : parent) {
    if (environmentName(entry) == kRecordVariable) continue;
    EXPECT_TRUE(contains(record.environment, entry)) << entry;
  }
}

TEST(Process, MissingFileIsError2) {
  TempDir dir;
  std::string missing = (dir.path() / "missing.exe").u8string();
  for (uint64_t steamAppId : {uint64_t(0), uint64_t(480)}) {
    std::string error;
    EXPECT_FALSE(startChildProcess(missing, quoteArgument(missing), dir.str(), steamAppId, error));
    EXPECT_EQ(error, "error 2") << steamAppId;
  }
}

}  // namespace
}  // namespace velm
