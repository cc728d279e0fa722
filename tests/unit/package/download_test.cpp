#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "net/sha256.h"
#include "package/pending_file.h"
#include "package/progress_line.h"
#include "support/fake_net.h"
#include "support/fake_retry_clock.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "unit/os/link_maker.h"

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

namespace velm {
namespace {

const char kUrl[] = "https://cdn.example/p/mod.dll";
const std::string kBlank = "\r" + std::string(40, ' ') + "\r";

std::string body(size_t length) {
  std::string text(length, '\0');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(i * 7 + i / 251);
  return text;
}

// A progress stream whose text the test reads back.
class Captured {
 public:
  Captured() : file_(std::tmpfile()) {}
  ~Captured() {
    if (file_) std::fclose(file_);
  }
  Captured(const Captured&) = delete;
  Captured& operator=(const Captured&) = delete;

  FILE* stream() const { return file_; }
  std::string text() const {
    std::fflush(file_);
    std::string result;
    std::rewind(file_);
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file_)) > 0) result.append(buffer, got);
    std::fseek(file_, 0, SEEK_END);
    return result;
  }

 private:
  FILE* file_;
};

// The progress line with the percentage right-aligned in three columns.
std::string percentLine(const std::string& name, int percent) {
  std::string number = std::to_string(percent);
  return "\r[*] " + name + "  " + std::string(3 - number.size(), ' ') + number + "%";
}

// One package file as the download phase fetches it, with its percentage line on progress (which
// may be null), the line blanked at the end: empty on success, else the reason.
std::string downloadFile(Net& net, const std::string& url, const PendingFile& pending,
                         FILE* progress, RetryClock* clock) {
  ProgressLine line(progress, pending.file);
  const Download download = fetchPackageFile(
      net, url, pending, [&line](uint64_t received) { line.update(received); }, nullptr, clock);
  if (download.outcome != DownloadOutcome::NotOpened) {
    line.finish(download.outcome == DownloadOutcome::Ok);
  }
  return downloadReason(download, pending.file);
}

class DownloadFile : public ::testing::Test {
 protected:
  // Announces NAME with the size and digest of CONTENT, which the server serves.
  void announce(const std::string& name, const std::string& content) {
    file_.name = name;
    file_.size = content.size();
    file_.sha256 = sha256Of(content);
    net_.serve(kUrl, content);
  }
  PendingFile pending() const {
    return PendingFile{file_, dir_.path() / std::filesystem::u8path(file_.name),
                       dir_.path() / std::filesystem::u8path(file_.name + ".new")};
  }
  std::string download(FILE* progress = nullptr) {
    return downloadFile(net_, kUrl, pending(), progress, &clock_);
  }
  bool temporaryExists() const { return dir_.exists(file_.name + ".new"); }

  TempDir dir_;
  FakeNet net_;
  FakeRetryClock clock_;
  ManifestFile file_;
};

TEST_F(DownloadFile, WritesTheAnnouncedBytesIntoTheTemporary) {
  const std::string name =
      "m\xC3\xB6"
      "d.dll";  // möd.dll: the path must go to the system as UTF-8
  const std::string content = body(200000);
  announce(name, content);
  net_.chunkSize = 65536;
  dir_.write(name + ".new", body(300000));  // left by an interrupted run: must be truncated
  Captured progress;
  EXPECT_EQ(download(progress.stream()), "");
  EXPECT_EQ(dir_.read(name + ".new"), content);
  EXPECT_FALSE(dir_.exists(name)) << "the target is the caller's to replace";
  EXPECT_EQ(progress.text(), "") << "no progress line for a small file";
  EXPECT_EQ(net_.requested, std::vector<std::string>{kUrl});
}

TEST_F(DownloadFile, ShowsProgressOnlyPastFourMebibytes) {
  announce("big.pak", body(4194304));
  Captured atLimit;
  EXPECT_EQ(download(atLimit.stream()), "");
  EXPECT_EQ(atLimit.text(), "");

  announce("big.pak", body(4194305));
  Captured pastLimit;
  EXPECT_EQ(download(pastLimit.stream()), "");
  const std::string text = pastLimit.text();
  const std::string ending = percentLine("big.pak", 100) + kBlank;
  ASSERT_GE(text.size(), ending.size()) << text;
  EXPECT_EQ(text.substr(text.size() - ending.size()), ending) << text;
  EXPECT_EQ(text.find(percentLine("big.pak", 0)), std::string::npos)
      << "the first 64 KiB chunk is already 1%";

  EXPECT_EQ(download(nullptr), "") << "no stream, no progress";
  EXPECT_EQ(dir_.read("big.pak.new").size(), 4194305u);
}

TEST_F(DownloadFile, PrintsEveryFifthPercentWhenChunksAreSmall) {
  announce("big.pak", body(5000000));
  net_.chunkSize = 30000;  // 0.6 % a chunk: every whole percent is reached once
  Captured progress;
  EXPECT_EQ(download(progress.stream()), "");
  std::string expected;
  for (int percent = 0; percent <= 100; percent += 5) expected += percentLine("big.pak", percent);
  EXPECT_EQ(progress.text(), expected + kBlank);
}

TEST_F(DownloadFile, SkipsPercentagesThatAChunkJumpsOver) {
  announce("big.pak", body(5000000));
  net_.chunkSize = 75000;  // 1.5 % a chunk: 1, 3, 4, 6, 7, 9, 10, ... so 5, 20, 35 ... never show
  Captured progress;
  EXPECT_EQ(download(progress.stream()), "");
  std::string expected;
  for (int percent : {10, 15, 25, 30, 40, 45, 55, 60, 70, 75, 85, 90, 100}) {
    expected += percentLine("big.pak", percent);
  }
  EXPECT_EQ(progress.text(), expected + kBlank);
}

// Hands each chunk on and then records what the progress file holds on disk at that moment.
struct WatchingNet final : Net {
  WatchingNet(Net& inner, std::filesystem::path watched) : inner(inner), watched(watched) {}
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override {
    ByteSink watching = [&](const char* data, size_t length) {
      const bool more = sink(data, length);
      std::error_code error;
      seen.push_back(std::filesystem::file_size(watched, error));
      return more;
    };
    return inner.get(url, watching, options);
  }
  Net& inner;
  std::filesystem::path watched;
  std::vector<uintmax_t> seen;
};

TEST_F(DownloadFile, FlushesTheProgressLineAsItChanges) {
  announce("big.pak", body(5000000));
  net_.chunkSize = 1000000;
  const std::filesystem::path path = dir_.path() / "progress.txt";
  FILE* progress = std::fopen(path.string().c_str(), "wb");
  ASSERT_NE(progress, nullptr);
  std::setvbuf(progress, nullptr, _IOFBF, 65536);  // would hold every line back until the close
  WatchingNet watching(net_, path);
  EXPECT_EQ(downloadFile(watching, kUrl, pending(), progress, &clock_), "");
  std::fclose(progress);
  const uintmax_t line = percentLine("big.pak", 20).size();
  EXPECT_EQ(watching.seen, (std::vector<uintmax_t>{line, 2 * line, 3 * line, 4 * line, 5 * line}));
}

TEST_F(DownloadFile, StopsAtTheFirstChunkPastTheAnnouncedSize) {
  announce("mod.dll", body(101));
  file_.size = 100;
  net_.chunkSize = 64;
  EXPECT_EQ(download(), "is larger than the 100 bytes the manifest says");
  EXPECT_FALSE(temporaryExists());

  net_.chunkSize = 65536;  // the whole body in one chunk: nothing is written at all
  EXPECT_EQ(download(), "is larger than the 100 bytes the manifest says");
  EXPECT_FALSE(temporaryExists());
}

TEST_F(DownloadFile, BlanksTheProgressLineWhateverTheOutcome) {
  announce("big.pak", body(5000000));
  file_.size = 4999999;
  net_.chunkSize = 1000000;
  Captured tooLarge;
  EXPECT_EQ(download(tooLarge.stream()), "is larger than the 4999999 bytes the manifest says");
  EXPECT_EQ(tooLarge.text(), percentLine("big.pak", 20) + percentLine("big.pak", 40) +
                                 percentLine("big.pak", 60) + percentLine("big.pak", 80) + kBlank);

  net_.answer(kUrl, 403);
  Captured refused;
  EXPECT_EQ(download(refused.stream()), "the server said HTTP 403");
  EXPECT_EQ(refused.text(), kBlank);
}

TEST_F(DownloadFile, ReportsABodyThatEndsEarly) {
  announce("mod.dll", body(10));
  file_.size = 20;
  EXPECT_EQ(download(), "is 10 bytes, the manifest says 20");
  EXPECT_FALSE(temporaryExists());

  net_.serve(kUrl, "");
  EXPECT_EQ(download(), "is 0 bytes, the manifest says 20");
  EXPECT_FALSE(temporaryExists());
}

TEST_F(DownloadFile, ReportsContentThatDoesNotMatchItsDigest) {
  announce("mod.dll", "abc");
  net_.serve(kUrl, "abd");
  EXPECT_EQ(download(), "does not match its sha256");
  EXPECT_FALSE(temporaryExists());
}

TEST_F(DownloadFile, ReportsServerAnswersAndRemovesTheEmptyTemporary) {
  struct Case {
    uint32_t status;
    std::string reason;
  };
  for (const Case& c :
       {Case{403, "the server said HTTP 403"}, Case{404, "the server said HTTP 404"},
        Case{500, "the server said HTTP 500"}, Case{0, "no answer from the server"}}) {
    announce("mod.dll", "abc");
    net_.answer(kUrl, c.status);
    EXPECT_EQ(download(), c.reason) << c.status;
    EXPECT_FALSE(temporaryExists()) << c.status;
  }
}

TEST_F(DownloadFile, ReportsABrokenTransferAsNoAnswerOnceItsRetriesAreUsedUp) {
  announce("mod.dll", body(1000));
  net_.chunkSize = 100;
  net_.breakAfter(kUrl, 500);
  EXPECT_EQ(download(), "no answer from the server");
  EXPECT_FALSE(temporaryExists()) << "half a file must not stay behind";
  // The first request and three that go on from the byte the cut left, 1, 2 and 4 s apart.
  EXPECT_EQ(net_.firstBytes, (std::vector<uint64_t>{0, 500, 500, 500}));
  EXPECT_EQ(clock_.elapsed(), std::chrono::milliseconds(7000));
}

TEST_F(DownloadFile, ContinuesACutTransferFromTheBytesItHas) {
  struct Case {
    const char* label;
    size_t cuts;  // requests that are cut at byte 400
    bool ranges;  // the server answers a Range request with 206
    std::vector<uint64_t> firstBytes;
    uint64_t sent;  // body bytes the server sent in all
  };
  const std::vector<Case> cases = {
      {"one cut", 1, true, {0, 400}, 1000},
      {"three cuts", 3, true, {0, 400, 400, 400}, 1000},
      {"a server without ranges", 1, false, {0, 400}, 1400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    net_.reset();
    clock_.pauses.clear();
    std::filesystem::remove(dir_.path() / "mod.dll.new");  // the last case's complete file
    const std::string content = body(1000);
    announce("mod.dll", content);
    net_.chunkSize = 100;
    net_.breakAfter(kUrl, 400, c.cuts);
    if (!c.ranges) net_.ignoreRange(kUrl);
    EXPECT_EQ(download(), "");
    EXPECT_EQ(dir_.read("mod.dll.new"), content);
    EXPECT_EQ(net_.firstBytes, c.firstBytes);
    EXPECT_EQ(net_.sent[kUrl], c.sent);
  }
}

TEST_F(DownloadFile, ContinuesWhatAnInterruptedRunLeft) {
  struct Case {
    const char* label;
    std::string left;  // the ".new" before the run
    std::vector<uint64_t> firstBytes;
    uint64_t sent;
  };
  const std::string content = body(1000);
  const std::vector<Case> cases = {
      {"the start of the file", content.substr(0, 600), {600}, 400},
      // Bytes of another version: the digest is wrong, and the file comes once more whole.
      {"other bytes", std::string(600, 'x'), {600, 0}, 1400},
      {"the whole file", content, {}, 0},  // judged by its digest: nothing to ask for
      {"as long as the file", std::string(1000, 'x'), {0}, 1000},
      {"longer than the file", content + "more", {0}, 1000},
      {"empty", "", {0}, 1000},
  };
  for (const Case& c : cases) {
    for (const bool recorded : {true, false}) {
      SCOPED_TRACE(std::string(c.label) + (recorded ? ", recorded" : ", never recorded"));
      net_.reset();
      announce("mod.dll", content);
      std::filesystem::remove(dir_.path() / "..downloads");
      dir_.write("mod.dll.new", c.left);
      DownloadRecord record(dir_.path());
      FileIdentity identity;
      ASSERT_TRUE(plainFileIdentity(dir_.path() / "mod.dll.new", identity));
      if (recorded) record.made("mod.dll", identity);
      PendingFile entry = pending();
      entry.record = &record;
      EXPECT_EQ(downloadFile(net_, kUrl, entry, nullptr, &clock_), "");
      EXPECT_EQ(dir_.read("mod.dll.new"), content);
      // A file the launcher cannot prove its own is never continued.
      EXPECT_EQ(net_.firstBytes, recorded ? c.firstBytes : std::vector<uint64_t>{0});
      EXPECT_EQ(net_.sent[kUrl], recorded ? c.sent : 1000);
      ASSERT_TRUE(plainFileIdentity(dir_.path() / "mod.dll.new", identity));
      EXPECT_EQ(DownloadRecord(dir_.path()).known("mod.dll"), identity) << "not recorded";
    }
  }
}

// Each transfer delivers every byte and then breaks, as a chunked body without its last chunk
// does: the digest judges the bytes, and a Range from the end (a 416) is never asked.
TEST_F(DownloadFile, JudgesABodyThatBrokeAfterItsLastByteByItsDigest) {
  struct Case {
    const char* label;
    std::string served;
    std::string reason;
  };
  const std::string content = body(1000);
  const std::vector<Case> cases = {
      {"the announced bytes", content, ""},
      {"other bytes", std::string(1000, 'x'), "does not match its sha256"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    net_.reset();
    clock_.pauses.clear();
    std::filesystem::remove(dir_.path() / "mod.dll.new");
    announce("mod.dll", content);
    net_.serve(kUrl, c.served);
    net_.chunkSize = 300;
    net_.breakAfter(kUrl, c.served.size());
    EXPECT_EQ(download(), c.reason);
    EXPECT_EQ(temporaryExists(), c.reason.empty());
    EXPECT_EQ(net_.firstBytes, std::vector<uint64_t>{0});
    EXPECT_TRUE(clock_.pauses.empty());
  }
}

// The first transfer breaks after 600 bytes, all that the server's file then holds (the manifest
// says 1000); by the Range request from byte 600 the file holds `served` bytes.
TEST_F(DownloadFile, TakesA416ThatGivesTheBytesHeldAsTheWholeBody) {
  struct Case {
    size_t served;
    std::string reason;
  };
  const std::string content = body(1000);
  for (const Case& c :
       {Case{600, "is 600 bytes, the manifest says 1000"}, Case{500, "the server said HTTP 416"}}) {
    net_.reset();
    announce("mod.dll", content);
    net_.serve(kUrl, content.substr(0, 600));
    net_.breakAfter(kUrl, 600, 1);
    size_t requests = 0;
    net_.onRequest = [&](const std::string& url) {
      if (++requests == 2) net_.serve(url, content.substr(0, c.served));
    };
    EXPECT_EQ(download(), c.reason) << c.served;
    EXPECT_EQ(net_.firstBytes, (std::vector<uint64_t>{0, 600})) << c.served;
    EXPECT_FALSE(temporaryExists()) << c.served;
  }
  net_.onRequest = nullptr;
}

TEST_F(DownloadFile, DoesNotAskTheServerWhenTheTemporaryCannotBeOpened) {
  announce("mod.dll", "abc");
  const PendingFile inMissingFolder{file_, dir_.path() / "gone" / "mod.dll",
                                    dir_.path() / "gone" / "mod.dll.new"};
  EXPECT_EQ(downloadFile(net_, kUrl, inMissingFolder, nullptr, &clock_),
            "could not write mod.dll.new");
  EXPECT_TRUE(net_.requested.empty());

  std::filesystem::create_directory(dir_.path() / "mod.dll.new");  // a folder in the way
  EXPECT_EQ(download(), "could not write mod.dll.new");
  EXPECT_TRUE(net_.requested.empty());
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "mod.dll.new"))
      << "what could not be opened is not ours to delete";
}

TEST_F(DownloadFile, RefusesALinkedTemporaryBeforeAskingTheServer) {
  announce("mod.dll", "abc");
  const std::filesystem::path victim = dir_.write("elsewhere/victim.dll", "the player's file");
  if (!makeFileLink(pending().temporary, victim)) GTEST_SKIP() << kNoLinksHere;
  EXPECT_EQ(download(), "could not write mod.dll.new");
  EXPECT_TRUE(net_.requested.empty());
  EXPECT_EQ(dir_.read("elsewhere/victim.dll"), "the player's file");
  EXPECT_TRUE(isLinkOnDisk(pending().temporary)) << "what could not be opened is not ours";
}

#ifndef _WIN32
// A file size limit of nothing stands in for a full disk: every write fails with EFBIG (its
// signal ignored). A small body fails only when the stream flushes at the close, a large one at
// its first write.
TEST_F(DownloadFile, ReportsAFailedWrite) {
  for (size_t length : {10u, 200000u}) {
    announce("mod.dll", body(length));
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit none = old;
    none.rlim_cur = 0;
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
    const std::string reason = download();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(reason, "could not write mod.dll.new") << length;
    EXPECT_FALSE(temporaryExists()) << length;
  }
}
#endif

}  // namespace
}  // namespace velm
