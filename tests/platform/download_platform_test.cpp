// The one streaming download over the platform's real Net, against the local HTTPS server (see
// make_site.py for the site and its faults): what reaches the ".new" file, what is left of it
// when the server misbehaves, and the per-request time-out the new launcher build asks for.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/net.h"
#include "net/sha256.h"
#include "package/download.h"
#include "platform_net.h"
#include "support/fake_retry_clock.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

const char kNew[] = "Velm Co-op.exe.new";

Sha256Digest digestOf(const std::string& body) {
  Sha256 hasher;
  hasher.update(body.data(), body.size());
  return hasher.finalDigest();
}

class PlatformDownload : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(httpsPort().empty() || httpPort().empty())
        << "run through tests/platform/run_platform_tests.sh (ctest does): no server ports";
  }

  // Downloads path, announced as the body of size bytes.
  Download fetch(const std::string& path, const std::string& body, uint64_t size,
                 uint32_t timeoutMs = 0) {
    RequestOptions options;
    options.transferTimeoutMs = timeoutMs;
    DownloadRequest request{httpsUrl(path), dir_.path() / kNew, size, digestOf(body), options};
    request.clock = &pauses_;
    return streamDownload(*net_, request);
  }

  TempDir dir_;
  // The pauses before a cut transfer goes on are the unit tests' to check; here they would only
  // add seconds to every broken body.
  FakeRetryClock pauses_;
  std::unique_ptr<Net> net_ = makeSystemNet(kTransferTimeoutMs);
};

TEST_F(PlatformDownload, WritesTheWholeBodyOverALeftover) {
  dir_.write(kNew, std::string(5000000, 'x'));  // a longer leftover is truncated
  const std::string body = patternBody(400000);
  const Download download = fetch("/big.bin", body, body.size());
  EXPECT_EQ(download.outcome, DownloadOutcome::Ok);
  EXPECT_EQ(download.received, body.size());
  EXPECT_TRUE(dir_.read(kNew) == body) << "the file differs from the served body";
}

TEST_F(PlatformDownload, StopsAtTheChunkThatPassesTheAnnouncedSize) {
  const std::string body = patternBody(400000);
  const Download download = fetch("/big.bin", body, 100000);
  EXPECT_EQ(download.outcome, DownloadOutcome::TooLarge);
  EXPECT_GT(download.received, 100000u) << "the caller must see the size is wrong";
  EXPECT_LE(download.received, 100000u + 65536u) << "not read past the chunk that passed";
  EXPECT_FALSE(dir_.exists(kNew));
}

TEST_F(PlatformDownload, AnEmptyBodyIsAnEmptyFile) {
  const Download download = fetch("/empty.txt", "", 0);
  EXPECT_EQ(download.outcome, DownloadOutcome::Ok);
  EXPECT_TRUE(dir_.exists(kNew));
  EXPECT_EQ(dir_.read(kNew), "");
}

TEST_F(PlatformDownload, LeavesNothingOfABodyThatBroke) {
  const std::string body = patternBody(131072);
  for (const char* path : {"/cut.bin", "/reset.bin"}) {
    const Download download = fetch(path, body, body.size());
    EXPECT_EQ(download.outcome, DownloadOutcome::NoAnswer) << path;
    EXPECT_LT(download.received, body.size()) << path;
    EXPECT_FALSE(dir_.exists(kNew)) << path;
  }
}

// The connection closes after the last byte, short of the declared length or the last chunk.
TEST_F(PlatformDownload, KeepsABodyThatBrokeAfterItsLastByte) {
  const std::string body = patternBody(131072);
  for (const char* path : {"/long.bin", "/chunks.bin"}) {
    const Download download = fetch(path, body, body.size());
    EXPECT_EQ(download.outcome, DownloadOutcome::Ok) << path << ": status " << download.status;
    EXPECT_EQ(download.received, body.size()) << path;
    EXPECT_TRUE(dir_.read(kNew) == body) << path << ": the file differs from the served body";
  }
}

TEST_F(PlatformDownload, LeavesNothingOfAnotherAnswer) {
  struct Case {
    const char* path;
    uint32_t status;
  };
  for (const Case& c : {Case{"/missing.txt", 404}, Case{"/error.txt", 500}, Case{"/teapot", 418},
                        Case{"/nocontent", 204}}) {
    const Download download = fetch(c.path, "hello\n", 6);
    EXPECT_EQ(download.outcome, DownloadOutcome::HttpStatus) << c.path;
    EXPECT_EQ(download.status, c.status) << c.path;
    EXPECT_FALSE(dir_.exists(kNew)) << c.path;
  }
}

TEST_F(PlatformDownload, FollowsAnHttpsRedirectButNeverDownToHttp) {
  EXPECT_EQ(fetch("/moved", "hello\n", 6).outcome, DownloadOutcome::Ok);
  EXPECT_EQ(dir_.read(kNew), "hello\n");
  EXPECT_NE(fetch("/down", "hello\n", 6).outcome, DownloadOutcome::Ok);
  EXPECT_FALSE(dir_.exists(kNew));
}

// The server pauses 6 s mid-body. A Net whose own time-out is 2 s gives up on it, unless the
// request asks for longer, as the new launcher build's does; and a request may ask for less.
TEST_F(PlatformDownload, TheRequestsTimeOutOutranksTheNets) {
  const std::string body = patternBody(131072);
  net_ = makeSystemNet(2000);
  EXPECT_EQ(fetch("/stall.bin", body, body.size()).outcome, DownloadOutcome::NoAnswer);
  const Download patient = fetch("/stall.bin", body, body.size(), 60000);
  EXPECT_EQ(patient.outcome, DownloadOutcome::Ok);
  EXPECT_EQ(patient.received, body.size());

  net_ = makeSystemNet(60000);
  EXPECT_EQ(fetch("/stall.bin", body, body.size(), 2000).outcome, DownloadOutcome::NoAnswer);
}

}  // namespace
}  // namespace velm
