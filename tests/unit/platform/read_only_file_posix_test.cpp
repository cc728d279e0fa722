#include "platform/read_only_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace velm {
namespace {

TEST(OpenReadOnly, IsClosedOnExec) {
  TempDir dir;
  dir.write("games.json", "{}");
  const ReadOnlyFile file = openReadOnly(dir.path() / "games.json");
  ASSERT_TRUE(file);
  const int flags = fcntl(fileno(file.get()), F_GETFD);
  ASSERT_NE(flags, -1);
  EXPECT_NE(flags & FD_CLOEXEC, 0) << "a started program would inherit the descriptor";
}

}  // namespace
}  // namespace velm
