#include "os/folder_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "core/launch.h"
#include "support/temp_dir.h"
#include "text/path_text.h"

namespace velm {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// Another spelling of the same folder must meet the same lock; a second launcher may well be
// started through one.
TEST(FolderLock, ASecondLauncherWaitsUntilTheFirstIsDone) {
  TempDir dir;
  std::vector<std::string> spellings = {dir.str(), dir.str() + kSeparator};
#ifdef _WIN32
  std::string upper = dir.str();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  spellings.push_back(upper);
#endif
  for (const std::string& spelling : spellings) {
    auto first = std::make_unique<FolderLock>(lockGameFolder(dir.path()));
    ASSERT_TRUE(first->held());
    std::atomic<bool> secondHeld{false};
    // A thread of its own: a Windows mutex is re-entered by the thread that owns it.
    std::thread second([&] {
      const FolderLock lock = lockGameFolder(pathFromUtf8(spelling));
      secondHeld = lock.held();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(secondHeld) << spelling << ": taken while the first launcher held it";
    first.reset();
    second.join();
    EXPECT_TRUE(secondHeld) << spelling << ": not taken once the first launcher was done";
  }
}

TEST(FolderLock, SaysWhyItWaitsOnlyWhenTheWaitIsLong) {
  TempDir dir;
  for (const auto held : {std::chrono::milliseconds(200), std::chrono::milliseconds(1800)}) {
    auto first = std::make_unique<FolderLock>(lockGameFolder(dir.path()));
    ASSERT_TRUE(first->held());
    std::atomic<int> notices{0};
    std::atomic<bool> secondHeld{false};
    std::thread second([&] {
      const FolderLock lock = lockGameFolder(dir.path(), [&] { ++notices; });
      secondHeld = lock.held();
    });
    std::this_thread::sleep_for(held);
    first.reset();
    second.join();
    EXPECT_TRUE(secondHeld) << held.count();
    EXPECT_EQ(notices, held > FolderLock::kQuietWait ? 1 : 0) << held.count() << " ms";
  }
}

TEST(FolderLock, AnotherGameFolderIsNotHeldUp) {
  TempDir one;
  TempDir two;
  const FolderLock first = lockGameFolder(one.path());
  ASSERT_TRUE(first.held());
  const FolderLock second =
      lockGameFolder(two.path());  // would wait forever if the two were one lock
  EXPECT_TRUE(second.held());
}

TEST(FolderLock, WithoutAFolderTheRunGoesOnUnlocked) {
  const FolderLock none = lockGameFolder("");
  EXPECT_FALSE(none.held());
}

}  // namespace
}  // namespace velm
