#include "platform/read_only_file.h"

#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include "support/temp_dir.h"

namespace velm {
namespace {

TEST(OpenReadOnly, IsNotInherited) {
  TempDir dir;
  dir.write("games.json", "{}");
  const ReadOnlyFile file = openReadOnly(dir.path() / "games.json");
  ASSERT_TRUE(file);
  DWORD flags = 0;
  ASSERT_TRUE(
      GetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get()))), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "a started program could inherit the handle";
}

}  // namespace
}  // namespace velm
