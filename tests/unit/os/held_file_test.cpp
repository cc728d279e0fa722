#include "os/held_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <system_error>
#include <vector>

#include "os/file_move.h"
#include "os/os_error.h"
#include "support/fake_retry_clock.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

namespace velm {
namespace {

using std::chrono::milliseconds;

#ifdef _WIN32
const std::error_code kHeld(ERROR_SHARING_VIOLATION, std::system_category());
const std::error_code kOtherFailure(ERROR_PATH_NOT_FOUND, std::system_category());
#else
const std::error_code kHeld(EBUSY, std::generic_category());
const std::error_code kOtherFailure(ENOENT, std::generic_category());
#endif

TEST(HeldFile, KnowsTheErrorsOfAHeldFile) {
#ifdef _WIN32
  const std::vector<int> held = {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION,
                                 ERROR_ACCESS_DENIED};
  const std::vector<int> other = {ERROR_FILE_NOT_FOUND, ERROR_DISK_FULL, ERROR_ALREADY_EXISTS};
#else
  const std::vector<int> held = {EBUSY, ETXTBSY};
  const std::vector<int> other = {ENOENT, EACCES, ENOSPC, EISDIR};
#endif
  for (int code : held) {
    EXPECT_TRUE(isHeldError(std::error_code(code, std::system_category()))) << code;
  }
  for (int code : other) {
    EXPECT_FALSE(isHeldError(std::error_code(code, std::system_category()))) << code;
  }
  EXPECT_FALSE(isHeldError(std::error_code()));
}

// An operation that fails with `failure` until the clock reaches `until`, counting its tries.
struct Holder {
  FakeRetryClock& clock;
  milliseconds until;
  std::error_code failure = kHeld;
  int tries = 0;

  bool operator()(std::error_code& error) {
    ++tries;
    if (clock.elapsed() >= until) {
      error.clear();
      return true;
    }
    error = failure;
    return false;
  }
};

TEST(HeldFile, WaitsUpToFiveSecondsAndNamesALongWaitOnce) {
  struct Case {
    const char* label;
    milliseconds heldFor;
    std::error_code failure;
    bool succeeds;
    bool named;
    milliseconds waited;
  };
  const std::vector<Case> cases = {
      {"free", milliseconds(0), kHeld, true, false, milliseconds(0)},
      {"a scanner's moment", milliseconds(300), kHeld, true, false, milliseconds(300)},
      // The try at one second finds the file free: nothing to tell.
      {"released at the notice", milliseconds(1000), kHeld, true, false, milliseconds(1000)},
      {"held past a second", milliseconds(1500), kHeld, true, true, milliseconds(0)},
      {"held just under the limit", milliseconds(4990), kHeld, true, true, milliseconds(0)},
      {"held for good", milliseconds(60000), kHeld, false, true, milliseconds(5000)},
      {"another failure", milliseconds(60000), kOtherFailure, false, false, milliseconds(0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeRetryClock clock;
    std::vector<std::string> named;
    HeldFiles held([&](const std::string& name) { named.push_back(name); }, clock);
    Holder holder{clock, c.heldFor, c.failure};
    std::error_code error;
    EXPECT_EQ(held.retry("data.pak", std::ref(holder), error), c.succeeds);
    EXPECT_EQ(named, c.named ? std::vector<std::string>{"data.pak"} : std::vector<std::string>());
    if (c.succeeds) {
      EXPECT_FALSE(error);
      EXPECT_GE(clock.elapsed(), c.heldFor);
      // Pauses grow but stay short: a released file is noticed within a second.
      EXPECT_LT(clock.elapsed(), c.heldFor + HeldFiles::kLongestPause);
    } else {
      EXPECT_EQ(error, c.failure);
      EXPECT_EQ(clock.elapsed(), c.waited);
    }
    if (c.waited > milliseconds(0)) {
      EXPECT_EQ(clock.elapsed(), c.waited);
    }
    for (size_t i = 1; i < clock.pauses.size(); ++i) {
      EXPECT_LE(clock.pauses[i], HeldFiles::kLongestPause);
    }
    if (!clock.pauses.empty()) {
      EXPECT_EQ(clock.pauses.front(), HeldFiles::kFirstPause);
    }
  }
}

TEST(HeldFile, NamesEachFileOnceInARun) {
  FakeRetryClock clock;
  std::vector<std::string> named;
  HeldFiles held([&](const std::string& name) { named.push_back(name); }, clock);
  std::error_code error;
  for (const char* name : {"a.pak", "a.pak", "b.pak"}) {
    Holder holder{clock, clock.elapsed() + milliseconds(2000)};
    EXPECT_TRUE(held.retry(name, std::ref(holder), error)) << name;
  }
  EXPECT_EQ(named, (std::vector<std::string>{"a.pak", "b.pak"}));
  EXPECT_EQ(HeldFiles::waitingLine("a.pak"), "[*] waiting for a.pak, which another program holds");
}

TEST(HeldFile, AFilesOperationsShareOneWait) {
  FakeRetryClock clock;
  HeldFiles held(nullptr, clock);
  std::error_code error;
  const auto heldFor = [&](milliseconds length) { return Holder{clock, clock.elapsed() + length}; };
  Holder first = heldFor(milliseconds(3000));
  EXPECT_TRUE(held.retry("a.pak", std::ref(first), error));
  const milliseconds start = clock.elapsed();
  Holder second = heldFor(milliseconds(60000));
  EXPECT_FALSE(held.retry("a.pak", std::ref(second), error));
  EXPECT_LE(clock.elapsed() - start, milliseconds(2000)) << "more than five seconds in all";
  Holder third = heldFor(milliseconds(60000));
  const milliseconds before = clock.elapsed();
  EXPECT_FALSE(held.retry("a.pak", std::ref(third), error));
  EXPECT_EQ(clock.elapsed(), before) << "a file whose wait is used up is tried once";
  Holder other = heldFor(milliseconds(3000));
  EXPECT_TRUE(held.retry("b.pak", std::ref(other), error)) << "each file has its own wait";

  held.renewWaits();
  Holder again = heldFor(milliseconds(3000));
  EXPECT_TRUE(held.retry("a.pak", std::ref(again), error));
}

TEST(HeldFile, MovesAndRemovesRealFiles) {
  TempDir dir;
  dir.write("a.dll.new", "new");
  dir.write("a.dll", "old");
  FakeRetryClock clock;
  HeldFiles held(nullptr, clock);
  std::error_code error;
  EXPECT_TRUE(held.move("a.dll", dir.path() / "a.dll.new", dir.path() / "a.dll", error));
  EXPECT_EQ(dir.read("a.dll"), "new");
  EXPECT_TRUE(held.remove("a.dll", dir.path() / "a.dll", error));
  EXPECT_FALSE(dir.exists("a.dll"));
  // Gone already is no failure; a missing source is one, and no reason to wait.
  EXPECT_TRUE(held.remove("a.dll", dir.path() / "a.dll", error));
  EXPECT_FALSE(held.move("a.dll", dir.path() / "a.dll.new", dir.path() / "a.dll", error));
  EXPECT_TRUE(clock.pauses.empty());
}

}  // namespace
}  // namespace velm
