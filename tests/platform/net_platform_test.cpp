// The platform's real Net against the local HTTPS server (see make_site.py for the site and its
// faults). Run through run_platform_tests.sh, which ctest does.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "platform_net.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <winhttp.h>
#endif

namespace velm {
namespace {

constexpr uint32_t kLauncherTimeoutMs = 30000;

class PlatformNet : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(httpsPort().empty() || httpPort().empty())
        << "run through tests/platform/run_platform_tests.sh (ctest does): no server ports";
  }

  uint32_t fetch(const std::string& url, Received& received) {
    ByteSink sink = received.sink();
    return net_->get(url, sink);
  }

  std::unique_ptr<Net> net_ = makeSystemNet(kLauncherTimeoutMs);
};

#ifdef _WIN32
// The status of GET /small.txt through WinHTTP left to the system's own protocols, 0 for none:
// whether this system would reach the server without the launcher's floor.
DWORD fetchWithTheSystemsProtocols(INTERNET_PORT port) {
  DWORD status = 0;
  HINTERNET session = WinHttpOpen(L"Velm Co-op floor check", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? WinHttpConnect(session, L"localhost", port, 0) : nullptr;
  HINTERNET request =
      connection
          ? WinHttpOpenRequest(connection, L"GET", L"/small.txt", nullptr, WINHTTP_NO_REFERER,
                               WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
          : nullptr;
  DWORD size = sizeof status;
  if (request &&
      WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                         0) &&
      WinHttpReceiveResponse(request, nullptr) &&
      !WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    status = 0;
  }
  for (HINTERNET handle : {request, connection, session}) {
    if (handle) WinHttpCloseHandle(handle);
  }
  return status;
}
#endif

// TLS 1.2 is the floor: a server that offers nothing newer is no answer, whatever the system
// would allow (the runner lets OpenSSL speak 1.0; Wine's schannel does by default).
TEST_F(PlatformNet, SpeaksTls12OrLaterOnly) {
  ASSERT_FALSE(oldTlsPort().empty() || tls12Port().empty()) << "no TLS-limited servers";
#ifdef _WIN32
  // Else the refusal below would show nothing of the floor.
  ASSERT_EQ(fetchWithTheSystemsProtocols(static_cast<INTERNET_PORT>(std::stoi(oldTlsPort()))), 200u)
      << "this system does not reach a TLS 1.0 server even without the floor";
#endif
  struct Case {
    const char* offered;
    std::string port;
    uint32_t status;
  };
  const Case cases[] = {
      {"TLS 1.0 and 1.1", oldTlsPort(), 0},
      {"TLS 1.2 alone", tls12Port(), 200},
      {"TLS 1.2 and 1.3", httpsPort(), 200},
  };
  for (const Case& c : cases) {
    Received received;
    EXPECT_EQ(fetch("https://localhost:" + c.port + "/small.txt", received), c.status) << c.offered;
    EXPECT_EQ(received.body, c.status == 200 ? "hello\n" : "") << c.offered;
  }
}

// A certificate that no trusted CA signed is no answer, for the first request and for every one
// of several at once (each connection checks against the one store the Net reads).
TEST_F(PlatformNet, RefusesAServerWhoseCertificateNoTrustedAuthoritySigned) {
  ASSERT_FALSE(untrustedPort().empty()) << "no server with an untrusted certificate";
  const std::string url = "https://localhost:" + untrustedPort() + "/small.txt";
  Received first;
  EXPECT_EQ(fetch(url, first), 0u);
  EXPECT_EQ(first.body, "");
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (size_t i = 0; i < kMaxTransfers; ++i) {
    threads.emplace_back([&] {
      Received received;
      if (fetch(url, received) != 0 || !received.body.empty()) ++answered;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), 0);
  Received trusted;
  EXPECT_EQ(fetch(httpsUrl("/small.txt"), trusted), 200u) << "the trusted server still answers";
}

TEST_F(PlatformNet, StreamsALargeBodyIntactInChunksOfAtMost64KiB) {
  Received received;
  ASSERT_EQ(fetch(httpsUrl("/big.bin"), received), 200u);
  EXPECT_TRUE(received.body == patternBody(400000)) << "the body differs from the file";
  ASSERT_FALSE(received.chunks.empty());
  for (size_t length : received.chunks) {
    EXPECT_GT(length, 0u);
    EXPECT_LE(length, 65536u);
  }
}

TEST_F(PlatformNet, ReachesTheServerByNameAddressAndPlainHttp) {
  const std::string cases[] = {
      httpsUrl("/small.txt"),
      "https://127.0.0.1:" + httpsPort() + "/small.txt",
      "HTTPS://LOCALHOST:" + httpsPort() + "/small.txt",
      httpUrl("/small.txt"),
      httpsUrl("/moved"),  // a redirect within https is followed
  };
  for (const std::string& url : cases) {
    Received received;
    EXPECT_EQ(fetch(url, received), 200u) << url;
    EXPECT_EQ(received.body, "hello\n") << url;
  }
}

TEST_F(PlatformNet, RequestsTheRootForABareHost) {
  Received received;
  EXPECT_EQ(fetch("https://localhost:" + httpsPort(), received), 200u);
  EXPECT_EQ(received.body, "index page\n");
}

TEST_F(PlatformNet, SendsPathAndQueryButNeverTheFragment) {
  struct Case {
    const char* asked;
    const char* requested;
  };
  const Case cases[] = {
      {"/__echo/a/b.json?x=1", "/__echo/a/b.json?x=1"},
      {"/__echo/a/b.json?x=1#part", "/__echo/a/b.json?x=1"},
      {"/__echo/c#part", "/__echo/c"},
      {"/__echo/d#part?y=2", "/__echo/d"},
      {"/__echo/e?x=%20&y=2#", "/__echo/e?x=%20&y=2"},
  };
  for (const Case& c : cases) {
    Received received;
    EXPECT_EQ(fetch(httpsUrl(c.asked), received), 200u) << c.asked;
    EXPECT_EQ(received.body, c.requested) << c.asked;
  }
}

TEST_F(PlatformNet, SendsTheLauncherUserAgent) {
  Received received;
  ASSERT_EQ(fetch(httpsUrl("/__headers"), received), 200u);
  EXPECT_NE(received.body.find("\r\nUser-Agent: VelmCoop/1\r\n"), std::string::npos)
      << received.body;
}

TEST_F(PlatformNet, AnswersOtherStatusesWithoutTheBody) {
  struct Case {
    const char* path;
    uint32_t status;
  };
  const Case cases[] = {
      {"/missing.txt", 404}, {"/notfound.txt", 404}, {"/error.txt", 500},
      {"/teapot", 418},      {"/nocontent", 204},
  };
  for (const Case& c : cases) {
    Received received;
    EXPECT_EQ(fetch(httpsUrl(c.path), received), c.status) << c.path;
    EXPECT_TRUE(received.chunks.empty()) << c.path << " delivered: " << received.body;
  }
}

TEST_F(PlatformNet, AnEmptyBodyNeverCallsTheSink) {
  Received received;
  EXPECT_EQ(fetch(httpsUrl("/empty.txt"), received), 200u);
  EXPECT_TRUE(received.chunks.empty());
}

TEST_F(PlatformNet, ABodyBrokenMidwayAnswersZero) {
  struct Case {
    const char* path;
    size_t cutAt;
  };
  const Case cases[] = {{"/cut.bin", 100000}, {"/reset.bin", 50000}};
  for (const Case& c : cases) {
    Received received;
    EXPECT_EQ(fetch(httpsUrl(c.path), received), 0u) << c.path;
    EXPECT_LE(received.body.size(), c.cutAt) << c.path;
    EXPECT_EQ(received.body, patternBody(131072).substr(0, received.body.size())) << c.path;
  }
}

TEST_F(PlatformNet, DeliversOnlyTheDeclaredLength) {
  Received received;
  EXPECT_EQ(fetch(httpsUrl("/extra.txt"), received), 200u);
  EXPECT_EQ(received.body, "declared body\n");
}

TEST_F(PlatformNet, ASinkThatStopsKeeps200AndTheNetStaysUsable) {
  Received received;
  received.stopAfterChunks = 1;
  EXPECT_EQ(fetch(httpsUrl("/big.bin"), received), 200u);
  EXPECT_EQ(received.chunks.size(), 1u);

  Received next;
  EXPECT_EQ(fetch(httpsUrl("/small.txt"), next), 200u);
  EXPECT_EQ(next.body, "hello\n");
}

// The sink's own failures are the caller's to handle, and leave the Net usable.
TEST_F(PlatformNet, ExceptionsFromTheSinkReachTheCaller) {
  ByteSink empty;
  EXPECT_THROW(net_->get(httpsUrl("/big.bin"), empty), std::bad_function_call);
  ByteSink throwing = [](const char*, size_t) -> bool { throw std::runtime_error("disk full"); };
  EXPECT_THROW(net_->get(httpsUrl("/big.bin"), throwing), std::runtime_error);

  Received next;
  EXPECT_EQ(fetch(httpsUrl("/small.txt"), next), 200u);
  EXPECT_EQ(next.body, "hello\n");
}

TEST_F(PlatformNet, UnusableUrlsAnswerZero) {
  const std::string cases[] = {
      "",
      "not a url",
      "localhost:" + httpPort() + "/small.txt",  // no scheme: nothing may guess one
      "ftp://localhost:" + httpPort() + "/small.txt",
      "file:///etc/hostname",
      "https://",
      "https:///small.txt",
      std::string("http://localhost:") + httpPort() + "/small.txt" + std::string(1, '\0') + "x",
      "https://127.0.0.1:1/small.txt",  // nothing listens there
  };
  for (const std::string& url : cases) {
    Received received;
    EXPECT_EQ(fetch(url, received), 0u) << url;
    EXPECT_TRUE(received.chunks.empty()) << url;
  }
}

// A redirect that is not followed (a step down from https to http, or one without a target)
// delivers no body. The status is the 3xx or 0 (no answer), as the platform's client decides;
// neither is a 200 that the caller would trust.
TEST_F(PlatformNet, ARedirectNotFollowedDeliversNoBody) {
  for (const char* path : {"/down", "/nowhere"}) {
    Received received;
    uint32_t status = fetch(httpsUrl(path), received);
    EXPECT_TRUE(status == 0 || (status >= 300 && status < 400)) << path << ": " << status;
    EXPECT_TRUE(received.chunks.empty()) << path << " delivered: " << received.body;
  }
}

TEST_F(PlatformNet, KeepsTheConnectionForTheNextRequest) {
  Received first;
  Received second;
  ASSERT_EQ(fetch(httpsUrl("/__conn"), first), 200u);
  ASSERT_EQ(fetch(httpsUrl("/__conn"), second), 200u);
  const std::string connection = first.body.substr(0, first.body.find(" request "));
  EXPECT_EQ(second.body, connection + " request 2") << first.body;
}

TEST_F(PlatformNet, AStalledBodyAnswersZero) {
  std::unique_ptr<Net> net = makeSystemNet(1000);
  Received received;
  ByteSink sink = received.sink();
  EXPECT_EQ(net->get(httpsUrl("/stall.bin"), sink), 0u);
  EXPECT_LE(received.body.size(), 1000u);
}

// The slow server with a short stall time and deadline, so that they show in seconds: a byte
// now and then stalls any transfer; a steady body passes the deadline of a document, not of a
// file.
TEST_F(PlatformNet, SlowBodiesEndAtTheStallTimeOrADocumentsDeadline) {
  std::unique_ptr<Net> net = makeSystemNet(2000, 1500);
  Received drip;
  ByteSink sink = drip.sink();
  EXPECT_EQ(net->get(httpsUrl("/drip.bin"), sink), 0u) << "a byte every quarter second";
  EXPECT_LT(drip.body.size(), 200u);
  std::string text;
  EXPECT_EQ(getText(*net, httpsUrl("/steady.bin"), text), 0u) << "a steady document";
  Received steady;
  ByteSink steadySink = steady.sink();
  EXPECT_EQ(net->get(httpsUrl("/steady.bin"), steadySink), 200u) << "a steady file";
  EXPECT_TRUE(steady.body == patternBody(4096)) << "the body differs from the file";
}

TEST_F(PlatformNet, GetTextCollectsRealBodies) {
  std::string text;
  EXPECT_EQ(getText(*net_, httpsUrl("/big.bin"), text), 200u);
  EXPECT_TRUE(text == patternBody(400000)) << "the text differs from the file";
  EXPECT_EQ(getText(*net_, httpsUrl("/notfound.txt"), text), 404u);
  EXPECT_EQ(text, "");
  EXPECT_EQ(getText(*net_, httpsUrl("/cut.bin"), text), 0u);
}

}  // namespace
}  // namespace velm
