#include "os/read_only_file.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#endif

#include "support/temp_dir.h"

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

}  // namespace
}  // namespace velm
