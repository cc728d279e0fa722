// The self-update flow against FakeSelfUpdateIo and a FakeNet that serves the build: which
// announcements start an update, what each failure says, and that every failure puts the running
// build back on disk.
#include "selfupdate/self_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/build_image.h"
#include "support/fake_net.h"
#include "support/fake_self_update_io.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "support/test_signer.h"

namespace velm {
namespace {

using Lines = std::vector<std::string>;

const std::string kOldBuild = "the running build";
const std::string kNewBuild = "the announced build, a little longer";
const char kExe[] = "Velm Co-op.exe";
const char kNew[] = "Velm Co-op.exe.new";
const char kAside[] = "Velm Co-op.old.exe";

class SelfUpdate : public testing::Test {
 protected:
  SelfUpdate() {
    dir_.write(kExe, kOldBuild);
    io_.exe = widePath(kExe);
    launcher_.version = "2.1.0";
    launcher_.url = "https://updates.example/velm/2.1.0/Velm%20Co-op.exe";
    launcher_.sha256 = sha256Of(kNewBuild);
    launcher_.size = kNewBuild.size();
    net_.serve(launcher_.url, kNewBuild);
  }

  std::wstring widePath(const std::string& name) const {
    return utf8ToWide((dir_.path() / name).u8string());
  }
  std::string path(const std::string& name) const { return wideToUtf8(widePath(name)); }

  SelfUpdateResult run() { return runSelfUpdate(launcher_, running_, origin_, io_, net_); }

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
  FakeNet net_;
  LauncherInfo launcher_;
  Version running_{1, 9, 3};
  CatalogueOrigin origin_{trustedTestKey(), "updates.example"};
};

const std::string kStarting = "self-update: 2.1.0 is out, this is 1.9.3 -- downloading";

TEST_F(SelfUpdate, ARelaunchedBuildLooksAtNothing) {
  io_.updatedMark = true;
  launcher_.version = "99.0.0";
  launcher_.url = "";
  EXPECT_EQ(run(), SelfUpdateResult::Skipped);
  EXPECT_FALSE(io_.updatedMark) << "the mark is consumed";
  EXPECT_TRUE(io_.calls.empty());
  EXPECT_TRUE(net_.requested.empty());
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
    EXPECT_EQ(runSelfUpdate(launcher, c.running, origin_, io, net_), SelfUpdateResult::UpToDate)
        << c.announced;
    EXPECT_TRUE(io.out.empty()) << c.announced;
    EXPECT_TRUE(io.err.empty()) << c.announced;
    EXPECT_TRUE(io.calls.empty()) << c.announced;
    EXPECT_TRUE(net_.requested.empty()) << c.announced;
  }
}

TEST_F(SelfUpdate, AVersionThatDoesNotParseIsQuotedAsWritten) {
  const char* versions[] = {"2147483648.0.0", "2.1",    "2.1.0.0", "v2.1.0", "2.1.0 ", "",
                            "2..1",           "-2.1.0", "2.1.x"};
  for (const char* version : versions) {
    FakeSelfUpdateIo io;
    LauncherInfo launcher;  // incomplete too: the version is looked at first
    launcher.version = version;
    EXPECT_EQ(runSelfUpdate(launcher, running_, origin_, io, net_), SelfUpdateResult::CarryOn)
        << version;
    EXPECT_EQ(io.err, Lines{"self-update: the server's launcher version \"" + std::string(version) +
                            "\" is not MAJOR.MINOR.PATCH -- carrying on as 1.9.3"})
        << version;
    EXPECT_TRUE(io.out.empty()) << version;
    EXPECT_TRUE(io.calls.empty()) << version;
  }
}

// The digest is 32 bytes by the time the flow sees it (the catalogue refuses anything else);
// the size and the URL's scheme are the flow's to judge.
TEST_F(SelfUpdate, AnIncompleteBlockDownloadsNothing) {
  struct Case {
    const char* what;
    uint64_t size;
    std::string url;
  };
  const std::string url = launcher_.url;
  const Case cases[] = {
      {"size 0", 0, url},
      {"capital scheme", 10, "HTTPS://updates.example/v.exe"},
      {"mixed-case scheme", 10, "Https://updates.example/v.exe"},
      {"plain http", 10, "http://updates.example/v.exe"},
      {"one slash", 10, "https:/updates.example/v.exe"},
      {"cut scheme", 10, "https:/"},
      {"no url", 10, ""},
  };
  for (const Case& c : cases) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    LauncherInfo launcher{"2.1.0", c.url, launcher_.sha256, c.size};
    EXPECT_EQ(runSelfUpdate(launcher, running_, origin_, io, net_), SelfUpdateResult::CarryOn)
        << c.what;
    EXPECT_EQ(io.err, Lines{"self-update: the server's launcher block is incomplete -- carrying "
                            "on as 1.9.3"})
        << c.what;
    EXPECT_TRUE(io.out.empty()) << c.what;
    EXPECT_TRUE(io.calls.empty()) << c.what;
    EXPECT_TRUE(net_.requested.empty()) << c.what;
  }
}

// Addresses that begin "https://" but name no host, or no valid port, are never asked for; the
// line names the URL before the flow's own.
TEST_F(SelfUpdate, AUrlWithoutAHostIsNeverAsked) {
  const std::string cases[] = {
      "https:///Velm%20Co-op.exe",
      "https://:443/Velm%20Co-op.exe",
      "https://user@/Velm%20Co-op.exe",
      "https://user:secret@:8443/v.exe",
      "https://updates.example:99999/v.exe",
      "https://updates.example:443x/v.exe",
      "https://[::1]:65536/v.exe",
      "https://?x=1",
      "https://#top",
      "https://updates<example>/v.exe",
      "https://[zz]/v.exe",
      std::string("https://updates.example/v.exe\0.txt", 34),
  };
  for (const std::string& url : cases) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    launcher_.url = url;
    EXPECT_EQ(runSelfUpdate(launcher_, running_, origin_, io, net_), SelfUpdateResult::CarryOn)
        << url;
    EXPECT_EQ(io.out, Lines{kStarting}) << url;
    EXPECT_EQ(io.err, (Lines{"self-update: not an https URL: " + url,
                             "self-update: the download failed -- carrying on as 1.9.3"}))
        << url;
    EXPECT_TRUE(net_.requested.empty()) << url;
    expectRunningBuildBack();
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
  EXPECT_EQ(net_.requested, Lines{launcher_.url});
  EXPECT_EQ(net_.timeouts, std::vector<uint32_t>{60000}) << "a build gets a minute to stall";
  EXPECT_EQ(io_.calls.back(), "start " + path(kExe));
  // Runnable before it takes the launcher's name: a kill after the move must leave a launcher
  // that starts.
  const auto runnable = std::find(io_.calls.begin(), io_.calls.end(), "runnable " + path(kNew));
  const auto movedIn =
      std::find(io_.calls.begin(), io_.calls.end(), "move " + path(kNew) + " -> " + path(kExe));
  EXPECT_TRUE(runnable < movedIn && movedIn != io_.calls.end());
}

// A build that says what it trusts is moved in only when it could read this catalogue; one whose
// identity cannot be read says nothing, and takes the road of every build before identities.
TEST_F(SelfUpdate, ABuildThatCouldNotReadThisCatalogueIsDiscarded) {
  const std::vector<TrustedKey> both = {testPublicKey(untrustedSeed()), trustedTestKey()};
  const std::string discarded = " -- discarded, carrying on as 1.9.3";
  const std::pair<std::string, std::string> cases[] = {
      // the build, the refusal
      {identifiedBuild(ImageFormat::Pe, "UPDATES.example", both), ""},
      {makeTestImage(ImageFormat::Elf, {{".velmid", "VLID\2, a later format"}}).bytes, ""},
      {identifiedBuild(ImageFormat::Elf, "updates.example", {both[0]}),
       "self-update: the new build does not trust the key that signed games.json" + discarded},
      {identifiedBuild(ImageFormat::Pe, "updates.example:8443", both),
       "self-update: the new build fetches its catalogue from updates.example:8443, not "
       "updates.example" +
           discarded},
  };
  for (const auto& [build, refusal] : cases) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    dir_.write(kExe, kOldBuild);
    std::filesystem::remove(dir_.path() / kAside);  // left by the case before
    net_.serve(launcher_.url, build);
    launcher_.sha256 = sha256Of(build);
    launcher_.size = build.size();
    const SelfUpdateResult result = runSelfUpdate(launcher_, running_, origin_, io, net_);
    if (refusal.empty()) {
      EXPECT_EQ(result, SelfUpdateResult::Restarting);
      EXPECT_EQ(dir_.read(kExe), build);
      continue;
    }
    EXPECT_EQ(result, SelfUpdateResult::CarryOn) << refusal;
    EXPECT_EQ(io.err, Lines{refusal});
    EXPECT_EQ(io.calls, Lines{"delete " + path(kNew)}) << "nothing moved or started";
    expectRunningBuildBack();
  }
}

TEST_F(SelfUpdate, ShowsTheAnnouncedVersionWrittenAnew) {
  launcher_.version = "02.1.0";
  running_ = Version{2, 0, 0};
  EXPECT_EQ(run(), SelfUpdateResult::Restarting);
  EXPECT_EQ(io_.out, (Lines{"self-update: 2.1.0 is out, this is 2.0.0 -- downloading",
                            "self-update: updated to 2.1.0 -- restarting"}));
}

TEST_F(SelfUpdate, AFailedDownloadIsDiscarded) {
  struct Case {
    const char* what;
    uint32_t status;  // 200 with a transfer that breaks half-way
    Lines err;
  };
  const std::string failed = "self-update: the download failed -- carrying on as 1.9.3";
  const Case cases[] = {
      {"a broken transfer", 200, {failed}},
      {"no answer", 0, {failed}},
      {"404", 404, {"self-update: the server answered HTTP 404", failed}},
      {"500", 500, {"self-update: the server answered HTTP 500", failed}},
  };
  for (const Case& c : cases) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    if (c.status == 200) {
      net_.serve(launcher_.url, kNewBuild);
      net_.chunkSize = 4;
      net_.breakAfter(launcher_.url, kNewBuild.size() / 2);
    } else {
      net_.answer(launcher_.url, c.status);
    }
    dir_.write(kAside, "left by an earlier update");
    EXPECT_EQ(runSelfUpdate(launcher_, running_, origin_, io, net_), SelfUpdateResult::CarryOn)
        << c.what;
    EXPECT_EQ(io.out, Lines{kStarting}) << c.what;
    EXPECT_EQ(io.err, c.err) << c.what;
    EXPECT_EQ(dir_.read(kExe), kOldBuild) << c.what;
    EXPECT_FALSE(dir_.exists(kNew)) << c.what << ": half a build must not stay";
  }
}

TEST_F(SelfUpdate, ABuildThatCannotBeWrittenIsNotAsked) {
  std::filesystem::create_directory(dir_.path() / kNew);  // a folder in the way of the ".new"
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.err, Lines{"self-update: the download failed -- carrying on as 1.9.3"});
  EXPECT_TRUE(net_.requested.empty());
  EXPECT_EQ(dir_.read(kExe), kOldBuild);
}

TEST_F(SelfUpdate, WithoutItsOwnPathTheLauncherDownloadsNothing) {
  io_.exe.clear();
  EXPECT_EQ(run(), SelfUpdateResult::CarryOn);
  EXPECT_EQ(io_.out, Lines{kStarting});
  EXPECT_EQ(io_.err, Lines{"self-update: the download failed -- carrying on as 1.9.3"});
  EXPECT_TRUE(io_.calls.empty());
  EXPECT_TRUE(net_.requested.empty());
  EXPECT_EQ(dir_.read(kExe), kOldBuild);
}

TEST_F(SelfUpdate, ADownloadOfAnotherSizeIsDiscardedBeforeItsDigestIsRead) {
  struct Case {
    size_t downloaded;
    uint64_t announced;
    size_t chunk;
    const char* message;
  };
  const Case cases[] = {
      {1000, 1001, 65536,
       "self-update: the download is 1000 bytes, games.json says 1001 -- discarded, "
       "carrying on as 1.9.3"},
      {1001, 1000, 65536,
       "self-update: the download is 1001 bytes, games.json says 1000 -- discarded, "
       "carrying on as 1.9.3"},
      {0, 18446744073709551615u, 65536,
       "self-update: the download is 0 bytes, games.json says 18446744073709551615 -- "
       "discarded, carrying on as 1.9.3"},
      // An endless body is cut at the chunk that passes the announced size: the disk never fills.
      {50000000, 1000, 600,
       "self-update: the download is 1200 bytes, games.json says 1000 -- discarded, "
       "carrying on as 1.9.3"},
  };
  for (const Case& c : cases) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    // Its digest would fail the digest test too, which must not come first.
    net_.serve(launcher_.url, std::string(c.downloaded, 'x'));
    net_.chunkSize = c.chunk;
    launcher_.size = c.announced;
    EXPECT_EQ(runSelfUpdate(launcher_, running_, origin_, io, net_), SelfUpdateResult::CarryOn)
        << c.message;
    EXPECT_EQ(io.err, Lines{c.message});
    expectRunningBuildBack();
  }
}

TEST_F(SelfUpdate, ADownloadWithAnotherDigestIsDiscarded) {
  for (size_t at : {size_t{0}, kNewBuild.size() / 2, kNewBuild.size() - 1}) {
    FakeSelfUpdateIo io;
    io.exe = io_.exe;
    std::string tampered = kNewBuild;
    tampered[at] = static_cast<char>(tampered[at] ^ 1);
    net_.serve(launcher_.url, tampered);
    EXPECT_EQ(runSelfUpdate(launcher_, running_, origin_, io, net_), SelfUpdateResult::CarryOn)
        << at;
    EXPECT_EQ(io.err, Lines{"self-update: the download does not match its sha256 -- discarded, "
                            "carrying on as 1.9.3"})
        << at;
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

TEST(UpdateLeftover, DeletesTheCopyMovedAsideAndAnUnfinishedDownload) {
  struct Case {
    const char* exe;
    const char* aside;
    const char* download;
  };
  const Case cases[] = {{"Velm Co-op.exe", "Velm Co-op.old.exe", "Velm Co-op.exe.new"},
                        {"velm-coop", "velm-coop.old", "velm-coop.new"}};
  for (const Case& c : cases) {
    TempDir dir;
    dir.write(c.exe, "new build");
    dir.write(c.aside, "old build");
    dir.write(c.download, "half a build");
    dir.write("coop.exe.new", "not the launcher's");
    FakeSelfUpdateIo io;
    io.exe = utf8ToWide((dir.path() / c.exe).u8string());
    removeUpdateLeftover(io);
    EXPECT_FALSE(dir.exists(c.aside)) << c.exe;
    EXPECT_FALSE(dir.exists(c.download)) << c.exe;
    EXPECT_EQ(dir.read(c.exe), "new build") << c.exe;
    EXPECT_EQ(dir.read("coop.exe.new"), "not the launcher's") << c.exe;
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
