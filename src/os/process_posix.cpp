// POSIX port: the co-op launcher is started with posix_spawn, argv split by the Windows rules.
#include "os/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "os/command_line.h"
#include "os/file_descriptor_posix.h"
#include "os/os_error.h"
#include "os/read_only_file.h"

extern char** environ;

namespace velm {
namespace {

// Owner of one posix_spawn_file_actions_t.
class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

// The child changes folder before exec, so a relative exe path must be fixed against ours first.
std::string absolutePath(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.string();
}

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> list;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    list.push_back(*entry);
  }
  return list;
}

// The argv/envp form of texts; the pointers live as long as the texts are left unchanged.
std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The process's own argv, as the kernel keeps it; empty when it cannot be read.
std::vector<std::string> ownArguments() {
  std::string text;
  if (!readWholeFile("/proc/self/cmdline", text)) return {};
  std::vector<std::string> arguments;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    arguments.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

}  // namespace

void makeOwnerExecutable(const std::string& path) {
  struct stat info;
  // A link is left as it is: chmod would change whatever file it leads to.
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  if ((info.st_mode & S_IXUSR) == 0) chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR);
}

int spawnProgram(const std::string& program, char* const argv[], char* const envp[],
                 const std::string& workingFolder) {
  SpawnActions actions;
  if (!actions.ok()) return ENOMEM;
  int result = posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  if (result == 0 && !workingFolder.empty()) {
    result = posix_spawn_file_actions_addchdir_np(actions.get(), workingFolder.c_str());
  }
  if (result != 0) return result;
  // glibc reports a failed chdir or exec of the child through the result, not errno.
  pid_t child = 0;
  return posix_spawn(&child, program.c_str(), actions.get(), nullptr, argv, envp);
}

bool startChildProcess(const std::string& exePath, const std::string& commandLine,
                       const std::string& workingFolder, uint64_t steamAppId, std::string& error) {
  std::string program = absolutePath(exePath);
  makeOwnerExecutable(program);

  std::vector<std::string> arguments = splitCommandLine(commandLine);
  if (arguments.empty()) arguments.push_back(exePath);
  std::vector<char*> argv = pointersTo(arguments);

  std::vector<std::string> environment;
  std::vector<char*> envp;
  char** childEnvironment = environ;
  if (steamAppId != 0) {
    environment = buildEnvironment(currentEnvironment(), steamAppId);
    envp = pointersTo(environment);
    childEnvironment = envp.data();
  }

  const int result = spawnProgram(program, argv.data(), childEnvironment, workingFolder);
  if (result != 0) {
    error = errorCodeText(static_cast<uint32_t>(result));
    return false;
  }
  return true;
}

void makeRunnableLike(const std::filesystem::path& build, const std::filesystem::path& exe) {
  // Whoever could start the running launcher can start the new one.
  const FileDescriptor file(open(build.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  struct stat running;
  const mode_t modes =
      stat(exe.c_str(), &running) == 0 ? (running.st_mode & 0777) : (info.st_mode & 0777);
  (void)fchmod(file.get(), modes | S_IXUSR);
}

bool startWithOwnCommandLine(const std::filesystem::path& exe, uint32_t& code) {
  const std::string program = exe.string();
  makeOwnerExecutable(program);
  std::vector<std::string> arguments = ownArguments();
  if (arguments.empty()) arguments.push_back(program);
  std::vector<char*> argv = pointersTo(arguments);
  const int result = spawnProgram(program, argv.data(), environ, std::string());
  code = static_cast<uint32_t>(result);
  return result == 0;
}

}  // namespace velm
