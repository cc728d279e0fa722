#include "os/folder_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/launch.h"
#include "support/temp_dir.h"
#include "text/path_text.h"
#include "unit/os/link_maker.h"

namespace velm {
namespace {

using std::chrono::milliseconds;

// Long enough that a lock wait shows, short enough for a test.
constexpr milliseconds kShortLimit(1500);

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

// Another program holds the lock file past the limit: the wait ends, said once, without it.
TEST(FolderLock, GivesUpOnALockHeldPastTheLimit) {
  TempDir dir;
  const FolderLock first = lockGameFolder(dir.path());
  ASSERT_TRUE(std::filesystem::is_regular_file(dir.path() / "Velm Co-op" / "..lock"));
  int notices = 0;
  const FolderLock second = lockGameFolder(
      dir.path(), [&] { ++notices; }, kShortLimit);
  EXPECT_TRUE(second.timedOut() && !second.held());
  EXPECT_EQ(notices, 1);
}

// No lock can be had through a link, nor on anything but a plain file: the run goes on unlocked
// at once, and nothing is made where a link points.
TEST(FolderLock, TakesNothingButAPlainFileInThePlainPackageFolder) {
  TempDir dir;
  const std::filesystem::path folder = dir.path() / "Velm Co-op";
  const std::filesystem::path lock = folder / "..lock";
  const std::vector<std::pair<const char*, std::function<bool()>>> places = {
      {"a folder", [&] { return std::filesystem::create_directories(lock / "in"); }},
      {"a linked package folder", [&] { return makeFolderLink(folder, dir.path() / "nowhere"); }},
      {"a dangling link", [&] { return makeFileLink(lock, dir.path() / "nowhere"); }},
#ifndef _WIN32
      {"a FIFO", [&] { return mkfifo(lock.c_str(), 0600) == 0; }},
      // Only the superuser can give a file away.
      {"another account's file",
       [&] {
         return geteuid() == 0 && ::close(::creat(lock.c_str(), 0600)) == 0 &&
                chown(lock.c_str(), 65534, 65534) == 0;
       }},
#endif
  };
  for (const auto& [what, place] : places) {
    isLinkOnDisk(folder) ? std::filesystem::remove(folder) : std::filesystem::remove_all(folder);
    if (std::string(what) != "a linked package folder") std::filesystem::create_directory(folder);
    if (!place()) continue;  // Wine makes no links
    const FolderLock none = lockGameFolder(dir.path(), nullptr, kShortLimit);
    EXPECT_FALSE(none.held() || none.timedOut()) << what;
    EXPECT_FALSE(dir.exists("nowhere")) << what << ": made where the link points";
  }
}

#ifndef _WIN32

// Any account that can read the game folder could flock it, and can open a lock file that is not
// its owner's alone: neither holds a launcher up.
TEST(FolderLock, NoOtherAccountCanHoldItsLauncherUp) {
  TempDir dir;
  const int game = ::open(dir.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(game, LOCK_EX), 0);
  const std::filesystem::path lockFile = dir.path() / "Velm Co-op" / "..lock";
  for (const mode_t found : {0, 0666}) {
    if (found != 0) {
      ASSERT_EQ(chmod(lockFile.c_str(), found), 0);
    }
    const FolderLock lock = lockGameFolder(dir.path(), nullptr, kShortLimit);
    EXPECT_TRUE(lock.held()) << found;
    struct stat info;
    ASSERT_EQ(stat(lockFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << found;
  }
  ::close(game);
}

#endif

}  // namespace
}  // namespace velm
