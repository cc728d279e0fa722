// What the POSIX port adds to a start: the execute bit, argv from the Windows command line, exec
// failures reported with their errno, and no descriptor of ours in the child.
#include "os/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "os/command_line.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

// Writes its folder and then each argument after the first, zero-terminated, to the file that
// the first argument names.
const char kScript[] =
    "#!/bin/sh\n"
    "out=$1\n"
    "shift\n"
    "{ pwd -P; printf '%s\\0' \"$@\"; } > \"$out.part\" && mv \"$out.part\" \"$out\"\n";

std::string waitForFile(const TempDir& dir, const std::string& name) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!dir.exists(name) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return dir.read(name);
}

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(ProcessPosix, MakesTheLauncherExecutableAndSplitsArguments) {
  TempDir dir;
  std::filesystem::path script = dir.write("coop.exe", kScript);
  ASSERT_EQ(chmod(script.c_str(), 0640), 0);
  std::filesystem::create_directory(dir.path() / "work");
  std::string out = (dir.path() / "out").string();
  std::string commandLine = quoteArgument(script.string()) + " " + quoteArgument(out) +
                            " \"two words\" \"\" a\\\\\"b c\" tail\\";
  std::string error;
  ASSERT_TRUE(
      startChildProcess(script.string(), commandLine, (dir.path() / "work").string(), 0, error))
      << error;
  std::string record = waitForFile(dir, "out");
  std::string folder = std::filesystem::canonical(dir.path() / "work").string();
  EXPECT_EQ(record, folder + "\ntwo words" + '\0' + '\0' + "a\\b c" + '\0' + "tail\\" + '\0');
  EXPECT_EQ(modeOf(script), 0740u);
}

TEST(ProcessPosix, RelativeExeIsFoundFromTheLaunchersFolder) {
  TempDir dir;
  std::filesystem::path script = dir.write("bin/coop.exe", kScript);
  std::filesystem::create_directory(dir.path() / "work");
  std::string out = (dir.path() / "out").string();
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  std::string error;
  bool started = startChildProcess("bin/coop.exe", "coop " + quoteArgument(out) + " x",
                                   (dir.path() / "work").string(), 0, error);
  std::filesystem::current_path(before);
  ASSERT_TRUE(started) << error;
  EXPECT_EQ(waitForFile(dir, "out"),
            std::filesystem::canonical(dir.path() / "work").string() + "\nx" + '\0');
}

TEST(ProcessPosix, ReportsErrnoOfAFailedStart) {
  TempDir dir;
  std::filesystem::path script = dir.write("coop.exe", kScript);
  std::filesystem::path text = dir.write("notes.exe", "just text\n");
  struct Case {
    std::string exe;
    std::string folder;
    const char* error;
  } cases[] = {
      {script.string(), (dir.path() / "missing").string(), "error 2"},  // folder gone
      {(dir.path() / "none" / "coop.exe").string(), dir.str(), "error 2"},
      {text.string(), dir.str(), "error 8"},  // no #! line: not something exec can run
      {dir.str(), dir.str(), "error 13"},     // a folder
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(startChildProcess(c.exe, quoteArgument(c.exe), c.folder, 480, error)) << c.exe;
    EXPECT_EQ(error, c.error) << c.exe << " in " << c.folder;
  }
}

TEST(ProcessPosix, ExecuteBitIsNotAddedThroughALink) {
  TempDir dir;
  std::filesystem::path victim = dir.write("notes.txt", "a player's file\n");
  ASSERT_EQ(chmod(victim.c_str(), 0640), 0);
  std::filesystem::create_symlink(victim, dir.path() / "coop.exe");
  makeOwnerExecutable((dir.path() / "coop.exe").string());
  EXPECT_EQ(modeOf(victim), 0640u);
}

TEST(ProcessPosix, TheChildGetsNoDescriptorBeyondTheStandardThree) {
  // A library's socket or file opened without close-on-exec, as a kept-alive connection is.
  TempDir dir;
  std::filesystem::path script = dir.write("coop.exe",
                                           "#!/bin/sh\n"
                                           "state=closed\n"
                                           "[ -e /proc/self/fd/$2 ] && state=open\n"
                                           "echo $state > \"$1.part\" && mv \"$1.part\" \"$1\"\n");
  const int leaked = open(script.c_str(), O_RDONLY);
  ASSERT_GE(leaked, 3);
  std::string out = (dir.path() / "out").string();
  std::string error;
  const bool started = startChildProcess(
      script.string(), "coop " + quoteArgument(out) + " " + std::to_string(leaked), "", 0, error);
  close(leaked);
  ASSERT_TRUE(started) << error;
  EXPECT_EQ(waitForFile(dir, "out"), "closed\n");
}

}  // namespace
}  // namespace velm
