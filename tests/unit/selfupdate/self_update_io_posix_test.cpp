// The POSIX port's SelfUpdateIo where it has no Windows twin: the relaunch with the process's own
// argv, the execute bit and the mark for the child alone; the mark's length counted as Windows
// counts it.
#include "selfupdate/self_update_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <string>
#include <thread>

#include "support/temp_dir.h"
#include "system_hooks.h"
#include "text/text.h"

namespace velm {

void setVariable(const std::string& name, const char* value) {
  if (value == nullptr) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value, 1);
  }
}

bool readVariable(const std::string& name, std::string& value) {
  const char* found = std::getenv(name.c_str());
  if (found == nullptr) return false;
  value = found;
  return true;
}

void writeUnbuffered(const std::string& text) {
  ASSERT_EQ(write(STDOUT_FILENO, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::string captureOutput(const std::function<void()>& body) {
  TempDir dir;
  const std::string file = (dir.path() / "output").string();
  std::fflush(stdout);
  std::fflush(stderr);
  const int savedOut = dup(STDOUT_FILENO);
  const int savedErr = dup(STDERR_FILENO);
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, STDOUT_FILENO);
  dup2(fd, STDERR_FILENO);
  close(fd);
  body();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, STDOUT_FILENO);
  dup2(savedErr, STDERR_FILENO);
  close(savedOut);
  close(savedErr);
  return dir.read("output");
}

namespace {

const char kMark[] = "VELM_COOP_UPDATED";

std::string waitForFile(const TempDir& dir, const std::string& name) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!dir.exists(name) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return dir.read(name);
}

std::string ownArgumentsAfterTheFirst() {
  std::ifstream stream("/proc/self/cmdline", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  return text.substr(text.find('\0') + 1);
}

TEST(PosixSelfUpdateIo, StartsTheNewBuildWithOurArgumentsAndTheMarkForItAlone) {
  TempDir dir;
  const std::string out = (dir.path() / "record").string();
  // Writes each argument zero-terminated, then the mark it was given.
  const std::filesystem::path exe =
      dir.write("velm-coop",
                "#!/bin/sh\n{ for a in \"$@\"; do printf '%s\\0' \"$a\"; done; printf 'mark=%s' "
                "\"$VELM_COOP_UPDATED\"; } > '" +
                    out + ".part' && mv '" + out + ".part' '" + out + "'\n");
  ASSERT_EQ(chmod(exe.c_str(), 0640), 0);
  unsetenv(kMark);

  ASSERT_TRUE(systemSelfUpdateIo().startExe(utf8ToWide(exe.string())));
  EXPECT_EQ(std::getenv(kMark), nullptr) << "the mark is the new process's alone";
  EXPECT_EQ(waitForFile(dir, "record"), ownArgumentsAfterTheFirst() + "mark=1");
  struct stat info;
  ASSERT_EQ(stat(exe.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0740u) << "executable for its owner, nothing else changed";
}

TEST(PosixSelfUpdateIo, AFileThatCannotRunReportsErrno) {
  TempDir dir;
  const std::filesystem::path exe = dir.write("velm-coop", "neither a script nor a program");
  std::string output =
      captureOutput([&] { EXPECT_FALSE(systemSelfUpdateIo().startExe(utf8ToWide(exe.string()))); });
  EXPECT_EQ(output, "self-update: the new exe would not start (error 8)\n");  // ENOEXEC
  EXPECT_EQ(std::getenv(kMark), nullptr);
}

// The launcher's name must name a whole build at every moment of an update: a kill between
// setting the old build aside and moving the new one in must not leave the player without one.
TEST(PosixSelfUpdateIo, KeepingTheBuildAsideLeavesItInPlaceAndARollbackDropsIt) {
  TempDir dir;
  dir.write("velm-coop", "old build");
  ASSERT_TRUE(systemSelfUpdateIo().keepAside(utf8ToWide((dir.path() / "velm-coop").string()),
                                             utf8ToWide((dir.path() / "velm-coop.old").string())));
  EXPECT_EQ(dir.read("velm-coop"), "old build");
  EXPECT_EQ(dir.read("velm-coop.old"), "old build");

  // The rollback when the new build cannot be moved in: the kept name goes, the build stays.
  ASSERT_TRUE(systemSelfUpdateIo().moveFile(utf8ToWide((dir.path() / "velm-coop.old").string()),
                                            utf8ToWide((dir.path() / "velm-coop").string())));
  EXPECT_EQ(dir.read("velm-coop"), "old build");
  EXPECT_FALSE(dir.exists("velm-coop.old"));
}

// The new build can run before it takes the launcher's name, with the running one's permissions;
// a link in its place is not followed.
TEST(PosixSelfUpdateIo, ReadiesTheNewBuildToRunWithTheLaunchersPermissions) {
  struct Case {
    mode_t running;
    mode_t expected;
  };
  for (const Case c : {Case{0755, 0755}, Case{0700, 0700}, Case{0644, 0744}}) {
    TempDir dir;
    const std::filesystem::path exe = dir.write("velm-coop", "old build");
    const std::filesystem::path build = dir.write("velm-coop.new", "new build");
    ASSERT_EQ(chmod(exe.c_str(), c.running), 0);
    ASSERT_EQ(chmod(build.c_str(), 0600), 0);
    systemSelfUpdateIo().makeRunnable(utf8ToWide(build.string()), utf8ToWide(exe.string()));
    struct stat info;
    ASSERT_EQ(stat(build.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, c.expected) << std::oct << c.running;
  }

  TempDir dir;
  const std::filesystem::path exe = dir.write("velm-coop", "old build");
  const std::filesystem::path elsewhere = dir.write("someone's file", "data");
  ASSERT_EQ(chmod(elsewhere.c_str(), 0600), 0);
  std::filesystem::create_symlink(elsewhere, dir.path() / "velm-coop.new");
  systemSelfUpdateIo().makeRunnable(utf8ToWide((dir.path() / "velm-coop.new").string()),
                                    utf8ToWide(exe.string()));
  struct stat info;
  ASSERT_EQ(stat(elsewhere.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "the link was followed";
}

// Windows reads the mark into 8 UTF-16 units; the port counts a character beyond the Basic
// Multilingual Plane as two, so the same value means the same on both.
TEST(PosixSelfUpdateIo, MeasuresTheMarkInUtf16Units) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
  struct Case {
    std::string value;
    bool consumed;
  };
  const Case cases[] = {
      {"1" + emoji + emoji + emoji, true},                          // 7 units
      {"1" + emoji + emoji + emoji + "x", false},                   // 8 units
      {"1\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", true},  // 7 units in 13 bytes
  };
  for (const Case& c : cases) {
    setenv(kMark, c.value.c_str(), 1);
    EXPECT_EQ(systemSelfUpdateIo().consumeUpdatedMark(), c.consumed) << c.value;
    EXPECT_EQ(std::getenv(kMark) == nullptr, c.consumed) << c.value;
  }
  unsetenv(kMark);
}

}  // namespace
}  // namespace velm
