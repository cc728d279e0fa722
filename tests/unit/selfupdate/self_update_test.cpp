// The self-update flow against FakeSelfUpdateIo: which announcements start an update, what each
// failure says, and that every failure puts the running build back on disk.
#include "selfupdate/self_update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_self_update_io.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

using Lines = std::vector<std::string>;

const std::string kOldBuild = "the running build";
const std::string kNewBuild = "the announced build, a little longer";
const std::string kDigest = "3f0a9c2b7d4e5f60718293a4b5c6d7e8f9a0b1c2d3e4f5061728394a5b6c7d8e";
const char kExe[] = "Velm Co-op.exe";
const char kNew[] = "Velm Co-op.exe.new";
const char kAside[] = "Velm Co-op.old.exe";

class SelfUpdate : public testing::Test {
 protected:
  SelfUpdate() {
    dir_.write(kExe, kOldBuild);
    io_.exe = widePath(kExe);
    io_.downloadBody = kNewBuild;
    io_.downloadDigest = kDigest;
    launcher_.version = "2.1.0";
    launcher_.url = "https://updates.example/velm/2.1.0/Velm%20Co-op.exe";
    launcher_.sha256 = kDigest;
    launcher_.size = kNewBuild.size();
  }

  std::wstring widePath(const std::string& name) const {
    return utf8ToWide((dir_.path() / name).u8string());
  }
  std::string path(const std::string& name) const { return wideToUtf8(widePath(name)); }

  SelfUpdateResult run() { return runSelfUpdate(launcher_, running_, io_); }

  // The state every failure after the download must return to.
  void expectRunningBuildBack() const {
    EXPECT_EQ(dir_.read(kExe), kOldBuild);
    EXPECT_FALSE(dir_.exists(kNew));
    EXPECT_FALSE(dir_.exists(kAside));
  }

  std::string moveFailure(const std::string& from, const std::string& to) const {
    return "self-update: could not move " + path(from) + " to " + path(to) + " (error 5)";
  }

  TempDir dir_;
  FakeSelfUpdateIo io_;
  LauncherInfo launcher_;
  Version running_{1, 9, 3};
};

const std::string kStarting = "self-update: 2.1.0 is out, this is 1.9.3 -- downloading";

TEST_F(SelfUpdate, ARelaunchedBuildLooksAtNothing) {
  io_.updatedMark = true;
  launcher_.version = "99.0.0";
  launcher_.url = "";
  EXPECT_EQ(run(), SelfUpdateResult::Skipped);
  EXPECT_FALSE(io_.updatedMark) << "the mark is consumed";
  EXPECT_TRUE(io_.calls.empty());
  EXPECT_TRUE(io_.out.empty());
  EXPECT_TRUE(io_.err.empty());

  launcher_.version = "not a version";
  io_.updatedMark = true;
  EXPECT_EQ(run(), SelfUpdateResult::Skipped);
  EXPECT_TRUE(io_.err.empty());
}

TEST_F(SelfUpdate, NoNewerVersionIsSilentEvenWithAnUnusableBlock) {
  struct Case {
    const char* announced;
    Version running;
  };
  const Case cases[] = {
      {"2.0.0", {2, 0, 0}},   {"1.9.9", {2, 0, 0}},       {"2.0.0", {2, 0, 1}},
      {"1.10.0", {1, 10, 0}}, {"0002.00.000", {2, 0, 0}}, {"2147483647.0.0", {2147483647, 0, 0}},
      {"0.0.0", {0, 0, 0}},
  };
  for (const Case& c : cases) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    LauncherInfo launcher;
    launcher.version = c.announced;
    EXPECT_EQ(runSelfUpdate(launcher, c.running, io), SelfUpdateResult::UpToDate) << c.announced;
    EXPECT_TRUE(io.out.empty()) << c.announced;
    EXPECT_TRUE(io.err.empty()) << c.announced;
    EXPECT_TRUE(io.calls.empty()) << c.announced;
  }
}

TEST_F(SelfUpdate, AVersionThatDoesNotParseIsQuotedAsWritten) {
  const char* versions[] = {"2147483648.0.0", "2.1",    "2.1.0.0", "v2.1.0", "2.1.0 ", "",
                            "2..1",           "-2.1.0", "2.1.x"};
  for (const char* version : versions) {
    FakeSelfUpdateIo io;
    LauncherInfo launcher;  // incomplete too: the version is looked at first
    launcher.version = version;
    EXPECT_EQ(runSelfUpdate(launcher, running_, io), SelfUpdateResult::CarryOn) << version;
    EXPECT_EQ(io.err, Lines{"self-update: the server's launcher version \"" + std::string(version) +
                            "\" is not MAJOR.MINOR.PATCH -- carrying on as 1.9.3"})
        << version;
    EXPECT_TRUE(io.out.empty()) << version;
    EXPECT_TRUE(io.calls.empty()) << version;
  }
}

TEST_F(SelfUpdate, AnIncompleteBlockDownloadsNothing) {
  struct Case {
    const char* what;
    std::string sha256;
    uint64_t size;
    std::string url;
  };
  const std::string url = launcher_.url;
  const Case cases[] = {
      {"63 digits", kDigest.substr(1), 10, url},
      {"65 digits", kDigest + "0", 10, url},
      {"not hex", kDigest.substr(1) + "g", 10, url},
      {"a space", kDigest.substr(1) + " ", 10, url},
      {"no digest", "", 10, url},
      {"size 0", kDigest, 0, url},
      {"capital scheme", kDigest, 10, "HTTPS://updates.example/v.exe"},
      {"plain http", kDigest, 10, "http://updates.example/v.exe"},
      {"one slash", kDigest, 10, "https:/updates.example/v.exe"},
      {"cut scheme", kDigest, 10, "https:/"},
      {"no url", kDigest, 10, ""},
  };
  for (const Case& c : cases) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    LauncherInfo launcher{"2.1.0", c.url, c.sha256, c.size};
    EXPECT_EQ(runSelfUpdate(launcher, running_, io), SelfUpdateResult::CarryOn) << c.what;
    EXPECT_EQ(io.err, Lines{"self-update: the server's launcher block is incomplete -- carrying "
                            "on as 1.9.3"})
        << c.what;
    EXPECT_TRUE(io.out.empty()) << c.what;
    EXPECT_TRUE(io.calls.empty()) << c.what;
  }
}

TEST_F(SelfUpdate, PutsTheNewBuildInPlaceAndStartsIt) {
  dir_.write(kAside, "left by an earlier update");
  EXPECT_EQ(run(), SelfUpdateResult::Restarting);
  EXPECT_EQ(io_.out, (Lines{kStarting, "self-update: updated to 2.1.0 -- restarting"}));
  EXPECT_TRUE(io_.err.empty());
  EXPECT_EQ(dir_.read(kExe), kNewBuild);
  EXPECT_EQ(dir_.read(kAside), kOldBuild) << "the old build waits for the new process";
  EXPECT_FALSE(dir_.exists(kNew));
  EXPECT_EQ(io_.calls.front(), "download " + launcher_.url);
  EXPECT_EQ(io_.calls.back(), "start " + path(kExe));
}

TEST_F(SelfUpdate, ShowsTheAnnouncedVersionWrittenAnew) {
  launcher_.version = "02.1.0";
  running_ = Version{2, 0, 0};
  EXPECT_EQ(run(), SelfUpdateResult::Restarting);
  EXPECT_EQ(io_.out, (Lines{"self-update: 2.1.0 is out, this is 2.0.0 -- downloading",
                            "self-update: updated to 2.1.0 -- restarting"}));
}

TEST_F(SelfUpdate, ComparesTheDigestWithoutRegardToCase) {
  std::string upper = kDigest;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  launcher_.sha256 = upper;
  EXPECT_EQ(run(), SelfUpdateResult::Restarting);
  EXPECT_EQ(dir_.read(kExe), kNewBuild);
}

TEST_F(SelfUpdate, AFailedDownloadIsDiscarded) {
  io_.downloadOk = false;  // half the body stays in the file
  dir_.write(kAside, "left by an earlier update");
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.out, Lines{kStarting});
  EXPECT_EQ(io_.err, Lines{"self-update: the download failed -- carrying on as 1.9.3"});
  EXPECT_EQ(dir_.read(kExe), kOldBuild);
  EXPECT_FALSE(dir_.exists(kNew));
}

TEST_F(SelfUpdate, WithoutItsOwnPathTheLauncherDownloadsNothing) {
  io_.exe.clear();
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.out, Lines{kStarting});
  EXPECT_EQ(io_.err, Lines{"self-update: the download failed -- carrying on as 1.9.3"});
  EXPECT_TRUE(io_.calls.empty());
  EXPECT_EQ(dir_.read(kExe), kOldBuild);
}

TEST_F(SelfUpdate, ADownloadOfAnotherSizeIsDiscardedBeforeItsDigestIsRead) {
  struct Case {
    size_t downloaded;
    uint64_t announced;
    const char* message;
  };
  const Case cases[] = {
      {1000, 1001,
       "self-update: the download is 1000 bytes, games.json says 1001 -- discarded, "
       "carrying on as 1.9.3"},
      {1001, 1000,
       "self-update: the download is 1001 bytes, games.json says 1000 -- discarded, "
       "carrying on as 1.9.3"},
      {0, 18446744073709551615u,
       "self-update: the download is 0 bytes, games.json says 18446744073709551615 -- "
       "discarded, carrying on as 1.9.3"},
      // An endless body is cut right after the announced size: the disk never fills.
      {50000000, 1000,
       "self-update: the download is 1001 bytes, games.json says 1000 -- discarded, "
       "carrying on as 1.9.3"},
  };
  for (const Case& c : cases) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    io.downloadBody = std::string(c.downloaded, 'x');
    io.downloadDigest = "";  // would fail the digest test, which must not come first
    launcher_.size = c.announced;
    EXPECT_EQ(runSelfUpdate(launcher_, running_, io), SelfUpdateResult::CarryOn) << c.message;
    EXPECT_EQ(io.lastMaxBytes, c.announced) << "the download is bounded by the announced size";
    EXPECT_EQ(io.err, Lines{c.message});
    expectRunningBuildBack();
  }
}

TEST_F(SelfUpdate, ADownloadWithAnotherDigestIsDiscarded) {
  const std::string digests[] = {kDigest.substr(0, 63) + "f", "", kDigest + "0",
                                 kDigest.substr(0, 63)};
  for (const std::string& digest : digests) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    io.downloadBody = kNewBuild;
    io.downloadDigest = digest;
    EXPECT_EQ(runSelfUpdate(launcher_, running_, io), SelfUpdateResult::CarryOn) << digest;
    EXPECT_EQ(io.err, Lines{"self-update: the download does not match its sha256 -- discarded, "
                            "carrying on as 1.9.3"})
        << digest;
    expectRunningBuildBack();
  }
}

TEST_F(SelfUpdate, AnExeThatCannotBeMovedAsideStays) {
  dir_.write(kAside, "left by an earlier update");
  io_.failingMoves = {1};
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.err, (Lines{moveFailure(kExe, kAside),
                            "self-update: could not move the running exe aside -- carrying on as "
                            "1.9.3"}));
  expectRunningBuildBack();
}

TEST_F(SelfUpdate, ANewExeThatCannotBePutInPlaceGivesWayToTheOldOne) {
  io_.failingMoves = {2};
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.err, (Lines{moveFailure(kNew, kExe),
                            "self-update: could not put the new exe in place -- carrying on as "
                            "1.9.3"}));
  expectRunningBuildBack();
}

TEST_F(SelfUpdate, WhenTheOldExeCannotComeBackTheNewOneIsKept) {
  io_.failingMoves = {2, 3};
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.err, (Lines{moveFailure(kNew, kExe), moveFailure(kAside, kExe),
                            "self-update: could not put the new exe in place -- carrying on as "
                            "1.9.3"}));
  EXPECT_FALSE(dir_.exists(kExe));
  EXPECT_EQ(dir_.read(kAside), kOldBuild);
  EXPECT_EQ(dir_.read(kNew), kNewBuild) << "the verified build is kept to recover with";
}

TEST_F(SelfUpdate, ANewExeThatWillNotStartIsReplacedByTheOldOne) {
  io_.startOk = false;
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.out, Lines{kStarting});
  EXPECT_EQ(io_.err, (Lines{"self-update: the new exe would not start (error 2)",
                            "self-update: the new exe would not start -- the old one is back, "
                            "carrying on as 1.9.3"}));
  expectRunningBuildBack();
}

TEST_F(SelfUpdate, AFailedStartWhoseRestoreFailsLeavesTheNewExe) {
  io_.startOk = false;
  io_.failingMoves = {3};
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.err,
            (Lines{"self-update: the new exe would not start (error 2)", moveFailure(kAside, kExe),
                   "self-update: the new exe would not start -- the old one is back, "
                   "carrying on as 1.9.3"}));
  EXPECT_EQ(dir_.read(kExe), kNewBuild);
  EXPECT_EQ(dir_.read(kAside), kOldBuild);
  EXPECT_FALSE(dir_.exists(kNew));
}

TEST(UpdateLeftover, DeletesTheCopyMovedAside) {
  struct Case {
    const char* exe;
    const char* aside;
  };
  const Case cases[] = {{"Velm Co-op.exe", "Velm Co-op.old.exe"}, {"velm-coop", "velm-coop.old"}};
  for (const Case& c : cases) {
    TempDir dir;
    dir.write(c.exe, "new build");
    dir.write(c.aside, "old build");
    FakeSelfUpdateIo io;
    io.exe = utf8ToWide((dir.path() / c.exe).u8string());
    removeUpdateLeftover(io);
    EXPECT_FALSE(dir.exists(c.aside)) << c.exe;
    EXPECT_EQ(dir.read(c.exe), "new build") << c.exe;
    EXPECT_TRUE(io.err.empty()) << c.exe;
  }
}

TEST(UpdateLeftover, WithoutAnExePathTouchesNothing) {
  FakeSelfUpdateIo io;
  removeUpdateLeftover(io);
  EXPECT_TRUE(io.calls.empty());
}

TEST(AsidePath, KeepsAnExeAnExe) {
  struct Case {
    std::wstring path;
    std::wstring aside;
  };
  const Case cases[] = {
      {L"C:\\G\\Velm Co-op.exe", L"C:\\G\\Velm Co-op.old.exe"},
      {L"C:\\G\\Velm Co-op.EXE", L"C:\\G\\Velm Co-op.old.exe"},
      {L"/g/a.ExE", L"/g/a.old.exe"},
      {L"a.exe", L"a.old.exe"},
      {L".exe", L".exe.old"},  // nothing before the extension
      {L"/g/launcher", L"/g/launcher.old"},
      {L"/g/launcher.exe.bak", L"/g/launcher.exe.bak.old"},
      {L"/g/launcher.exf", L"/g/launcher.exf.old"},
      {L"", L".old"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(asidePath(c.path), c.aside) << wideToUtf8(c.path);
  }
}

}  // namespace
}  // namespace velm
