// The platform's real SelfUpdateIo downloading from the local HTTPS server (see make_site.py for
// the site and its faults). Run through run_platform_tests.sh, which ctest does.
#include "selfupdate/self_update_io.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "../platform_net.h"
#include "net/sha256.h"
#include "support/temp_dir.h"
#include "text/text.h"

namespace velm {
namespace {

const char kNew[] = "Velm Co-op.exe.new";

std::string sha256Of(const std::string& body) {
  Sha256 hasher;
  hasher.update(body.data(), body.size());
  return hasher.finalHex();
}

// The io's lines go to standard error; a failure the io did not name must leave it silent.
class PlatformSelfUpdateIo : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(httpsPort().empty() || httpPort().empty())
        << "run through tests/platform/run_platform_tests.sh (ctest does): no server ports";
  }

  bool download(const std::string& url, uint64_t maxBytes = UINT64_MAX) {
    digest_ = "untouched";
    byteCount_ = 12345;
    testing::internal::CaptureStderr();
    const bool ok = io_.download(url, target_, digest_, byteCount_, maxBytes);
    lines_ = testing::internal::GetCapturedStderr();
    return ok;
  }

  SelfUpdateIo& io_ = systemSelfUpdateIo();
  TempDir dir_;
  std::wstring target_ = utf8ToWide((dir_.path() / kNew).u8string());
  std::string digest_;
  uint64_t byteCount_ = 0;
  std::string lines_;
};

TEST_F(PlatformSelfUpdateIo, WritesCountsAndHashesTheWholeBody) {
  dir_.write(kNew, std::string(5000000, 'x'));  // a longer leftover is truncated
  ASSERT_TRUE(download(httpsUrl("/big.bin"))) << lines_;
  const std::string body = patternBody(400000);
  EXPECT_EQ(byteCount_, body.size());
  EXPECT_EQ(digest_, sha256Of(body));
  EXPECT_TRUE(dir_.read(kNew) == body) << "the file differs from the served body";
  EXPECT_EQ(lines_, "");
}

TEST_F(PlatformSelfUpdateIo, StopsReadingOnceTheBodyPassesItsLimit) {
  ASSERT_TRUE(download(httpsUrl("/big.bin"), 100000)) << lines_;
  EXPECT_GT(byteCount_, 100000u) << "the caller must see the size is wrong";
  EXPECT_LE(byteCount_, 100000u + 65536u) << "not read past the chunk that passed the limit";
  EXPECT_EQ(dir_.read(kNew).size(), byteCount_);
  EXPECT_EQ(lines_, "");
  const uint64_t whole = patternBody(400000).size();
  ASSERT_TRUE(download(httpsUrl("/big.bin"), whole)) << "a body of exactly the limit is whole";
  EXPECT_EQ(byteCount_, whole);
}

TEST_F(PlatformSelfUpdateIo, AnEmptyBodyGivesAnEmptyFile) {
  ASSERT_TRUE(download(httpsUrl("/empty.txt"))) << lines_;
  EXPECT_EQ(byteCount_, 0u);
  EXPECT_EQ(digest_, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_TRUE(dir_.exists(kNew));
  EXPECT_EQ(dir_.read(kNew), "");
}

TEST_F(PlatformSelfUpdateIo, AnotherAnswerIsNamedAndLeavesNoFile) {
  struct Case {
    const char* path;
    const char* status;
  };
  const Case cases[] = {{"/missing.txt", "404"},
                        {"/notfound.txt", "404"},
                        {"/error.txt", "500"},
                        {"/teapot", "418"},
                        {"/nocontent", "204"}};
  for (const Case& c : cases) {
    EXPECT_FALSE(download(httpsUrl(c.path))) << c.path;
    EXPECT_EQ(lines_, std::string("self-update: the server answered HTTP ") + c.status + "\n")
        << c.path;
    EXPECT_FALSE(dir_.exists(kNew)) << c.path;
    EXPECT_EQ(digest_, "untouched") << c.path;
  }
}

// A redirect that is not followed (one without a target, or a step down from https to http) is
// named as the 3xx, or left to the flow's own line where the client gives no answer at all (Wine).
TEST_F(PlatformSelfUpdateIo, ARedirectNotFollowedLeavesNoFile) {
  for (const char* path : {"/nowhere", "/down"}) {
    EXPECT_FALSE(download(httpsUrl(path))) << path;
    EXPECT_TRUE(lines_.empty() || lines_ == "self-update: the server answered HTTP 302\n")
        << path << ": " << lines_;
    EXPECT_FALSE(dir_.exists(kNew)) << path;
  }
}

TEST_F(PlatformSelfUpdateIo, ABrokenBodyLeavesWhatArrivedAndItsCount) {
  for (const char* path : {"/cut.bin", "/reset.bin"}) {
    EXPECT_FALSE(download(httpsUrl(path))) << path;
    EXPECT_EQ(lines_, "") << path;
    const std::string written = dir_.read(kNew);
    EXPECT_EQ(byteCount_, written.size()) << path;
    EXPECT_LT(written.size(), patternBody(131072).size()) << path;
    EXPECT_TRUE(written == patternBody(131072).substr(0, written.size())) << path;
    std::remove((dir_.path() / kNew).string().c_str());
  }
}

TEST_F(PlatformSelfUpdateIo, RequestsPathAndQueryButNeverTheFragment) {
  struct Case {
    const char* asked;
    const char* requested;
  };
  const Case cases[] = {
      {"/__echo/v/Velm%20Co-op.exe?build=7", "/__echo/v/Velm%20Co-op.exe?build=7"},
      {"/__echo/v/Velm%20Co-op.exe?build=7#sha", "/__echo/v/Velm%20Co-op.exe?build=7"},
      {"/__echo/c#part?y=2", "/__echo/c"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(download(httpsUrl(c.asked))) << c.asked << ": " << lines_;
    EXPECT_EQ(dir_.read(kNew), c.requested) << c.asked;
  }
}

TEST_F(PlatformSelfUpdateIo, SendsTheLauncherUserAgentAndFollowsHttpsRedirects) {
  ASSERT_TRUE(download(httpsUrl("/__headers"))) << lines_;
  EXPECT_NE(dir_.read(kNew).find("\r\nUser-Agent: VelmCoop/1\r\n"), std::string::npos)
      << dir_.read(kNew);
  ASSERT_TRUE(download(httpsUrl("/moved"))) << lines_;
  EXPECT_EQ(dir_.read(kNew), "hello\n");
  EXPECT_EQ(byteCount_, 6u);
}

// The server sleeps 6 s mid-body: well within the minute a stalled download is given.
TEST_F(PlatformSelfUpdateIo, WaitsOutAShortPause) {
  ASSERT_TRUE(download(httpsUrl("/stall.bin"))) << lines_;
  EXPECT_EQ(byteCount_, patternBody(131072).size());
  EXPECT_EQ(digest_, sha256Of(patternBody(131072)));
}

TEST_F(PlatformSelfUpdateIo, PlainHttpIsNeverAsked) {
  const std::string url = httpUrl("/small.txt");
  EXPECT_FALSE(download(url));
  EXPECT_EQ(lines_, "self-update: not an https URL: " + url + "\n");
  EXPECT_FALSE(dir_.exists(kNew));
}

}  // namespace
}  // namespace velm
