#include "os/read_only_file.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

#include "support/temp_dir.h"
#include "unit/os/link_maker.h"

namespace velm {
namespace {

// Whether a program started now would get the file's handle or descriptor.
bool isInherited(std::FILE* file) {
#ifdef _WIN32
  DWORD flags = 0;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return !GetHandleInformation(handle, &flags) || (flags & HANDLE_FLAG_INHERIT) != 0;
#else
  const int flags = fcntl(fileno(file), F_GETFD);
  return flags == -1 || (flags & FD_CLOEXEC) == 0;
#endif
}

TEST(OpenReadOnly, IsNotInheritedByAStartedProgram) {
  TempDir dir;
  dir.write("games.json", "{}");
  const ReadOnlyFile file = openReadOnly(dir.path() / "games.json");
  ASSERT_TRUE(file);
  EXPECT_FALSE(isInherited(file.get()));
}

TEST(ReadWholeFile, GivesBackEveryByte) {
  TempDir dir;
  const std::string bytes("{\r\n\"a\": 1}\0\xFF\n", 13);
  dir.write("manifest.json", bytes);
  std::string text = "old";
  ASSERT_TRUE(readWholeFile(dir.path() / "manifest.json", text));
  EXPECT_EQ(text, bytes);
  dir.write("empty.json", "");
  ASSERT_TRUE(readWholeFile(dir.path() / "empty.json", text));
  EXPECT_EQ(text, "");
  text = "kept";
  EXPECT_FALSE(readWholeFile(dir.path() / "missing.json", text));
  EXPECT_EQ(text, "kept");
  // A folder in a saved copy's place is no copy, and no reason to end the run.
  dir.write("games.json/keep", "");
  EXPECT_FALSE(readWholeFile(dir.path() / "games.json", text));
  EXPECT_EQ(text, "kept");
  const std::string large(200000, 'x');  // more than one read
  dir.write("large.json", large);
  ASSERT_TRUE(readWholeFile(dir.path() / "large.json", text));
  EXPECT_EQ(text, large);
}

#ifndef _WIN32

// A FIFO would hold the open until another program opened it to write, and the reads for as long
// as that one kept it open; a device may never end; a link at a saved copy's name is no saved
// copy (a package file's hash follows one). (Under Wine: the e2e scenario with a FIFO.)
TEST(ReadWholeFile, ReadsAPlainFileAloneAndNeverWaits) {
  TempDir dir;
  const std::filesystem::path fifo = dir.path() / "games.json";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A writer that wrote and stays a while: the old read waited for it, then had its bytes.
  const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_EQ(::write(writer, "{}", 2), 2);
  std::thread stays([writer] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ::close(writer);
  });
  std::string text = "kept";
  EXPECT_FALSE(openReadOnly(fifo));
  EXPECT_FALSE(readWholeFile(fifo, text));
  stays.join();
  ASSERT_TRUE(makeFileLink(dir.path() / "zero", "/dev/zero"));
  EXPECT_FALSE(openReadOnly(dir.path() / "zero"));
  dir.write("elsewhere.json", "{}");
  ASSERT_TRUE(makeFileLink(dir.path() / "manifest.json", dir.path() / "elsewhere.json"));
  EXPECT_FALSE(readWholeFile(dir.path() / "manifest.json", text));
  EXPECT_TRUE(openReadOnly(dir.path() / "manifest.json"));
  EXPECT_EQ(text, "kept");
}

#endif

}  // namespace
}  // namespace velm
