// Requests for a body from a byte on, and several requests at once, over the platform's real Net
// against the local HTTPS server (see make_site.py for the site and its faults): a 206 is
// delivered only when it starts where it was asked to, a server without ranges still gives the
// whole body, and threads sharing one Net each get their own.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "platform_net.h"

namespace velm {
namespace {

class PlatformNetRange : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(httpsPort().empty() || httpPort().empty())
        << "run through tests/platform/run_platform_tests.sh (ctest does): no server ports";
  }

  uint32_t fetch(const std::string& path, uint64_t firstByte, Received& received,
                 uint64_t lastByte = RequestOptions::kToTheEnd) {
    ByteSink sink = received.sink();
    return net_->get(httpsUrl(path), sink, received.options(firstByte, lastByte));
  }

  std::unique_ptr<Net> net_ = makeSystemNet(kTransferTimeoutMs);
};

TEST_F(PlatformNetRange, DeliversTheBodyFromWhereItStarts) {
  const std::string big = patternBody(400000);
  const std::string plain = patternBody(131072);
  struct Case {
    const char* path;
    uint64_t firstByte;
    uint32_t status;
    std::string body;
  };
  const Case cases[] = {
      {"/big.bin", 1000000, 206, big.substr(1000000)},
      {"/big.bin", big.size() - 1, 206, "\n"},
      {"/small.txt", 2, 206, "llo\n"},
      {"/moved", 2, 206, "llo\n"},  // the range goes along with the redirect
      {"/big.bin", 0, 200, big},
      {"/norange.bin", 1000, 200, plain},  // a server that ignores ranges: all of it, from byte 0
  };
  for (const Case& c : cases) {
    const std::string label = std::string(c.path) + " from " + std::to_string(c.firstByte);
    Received received;
    EXPECT_EQ(fetch(c.path, c.firstByte, received), c.status) << label;
    EXPECT_TRUE(received.body == c.body)
        << label << ": " << received.body.size() << " bytes, not the " << c.body.size() << " asked";
    EXPECT_EQ(received.statuses, std::vector<uint32_t>{c.status}) << label;
    EXPECT_FALSE(received.chunkBeforeStatus) << label;
    for (size_t length : received.chunks) EXPECT_LE(length, 65536u) << label;
  }
}

// Each case is a 206 for a request from byte 1000 of a 2000-byte file.
TEST_F(PlatformNetRange, DeliversA206OnlyWhenItsContentRangeStartsAtTheByteAsked) {
  struct Case {
    const char* path;
    uint32_t status;
  };
  const Case cases[] = {
      {"/range/good", 206},
      {"/range/unknown-length", 206},
      {"/range/unit-in-capitals", 206},
      {"/range/one-early", 0},
      {"/range/one-late", 0},
      {"/range/from-zero", 0},
      {"/range/unsatisfied", 0},
      {"/range/other-unit", 0},
      {"/range/no-end", 0},
      {"/range/backwards", 0},
      {"/range/past-length", 0},
      {"/range/trailing", 0},
      {"/range/twice", 0},
      {"/range/none", 0},
  };
  for (const Case& c : cases) {
    Received received;
    EXPECT_EQ(fetch(c.path, 1000, received), c.status) << c.path;
    if (c.status == 206) {
      EXPECT_EQ(received.body, "the rest\n") << c.path;
      EXPECT_EQ(received.statuses, std::vector<uint32_t>{206}) << c.path;
    } else {
      EXPECT_TRUE(received.chunks.empty()) << c.path << " delivered: " << received.body;
      EXPECT_TRUE(received.statuses.empty()) << c.path;
    }
  }
}

TEST_F(PlatformNetRange, DeliversThePartOfTheBodyBetweenTwoBytes) {
  const std::string big = patternBody(400000);
  const std::string plain = patternBody(131072);
  struct Case {
    const char* path;
    uint64_t firstByte;
    uint64_t lastByte;
    uint32_t status;
    std::string body;
  };
  const Case cases[] = {
      {"/big.bin", 1000000, 1999999, 206, big.substr(1000000, 1000000)},
      {"/big.bin", 0, 99, 206, big.substr(0, 100)},  // a range from byte 0
      {"/big.bin", 7, 7, 206, big.substr(7, 1)},
      {"/big.bin", 3000000, 9999999, 206, big.substr(3000000)},  // past the end: to the end
      {"/small.txt", 1, 3, 206, "ell"},
      {"/moved", 1, 3, 206, "ell"},              // the range goes along with the redirect
      {"/norange.bin", 1000, 1999, 200, plain},  // a server without ranges: all of it
      {"/norange.bin", 0, 1999, 200, plain},
      {"/offrange.bin", 1000, 1999, 0, ""},  // starts 8 bytes late
  };
  for (const Case& c : cases) {
    const std::string label = std::string(c.path) + " bytes " + std::to_string(c.firstByte) + "-" +
                              std::to_string(c.lastByte);
    Received received;
    EXPECT_EQ(fetch(c.path, c.firstByte, received, c.lastByte), c.status) << label;
    EXPECT_TRUE(received.body == c.body)
        << label << ": " << received.body.size() << " bytes, not the " << c.body.size() << " asked";
    EXPECT_EQ(received.statuses,
              c.status == 0 ? std::vector<uint32_t>{} : std::vector<uint32_t>{c.status})
        << label;
    EXPECT_FALSE(received.chunkBeforeStatus) << label;
  }
}

// Each case is a 206 for a request for bytes 1000-1499 of a 2000-byte file, or for 1000-4999.
TEST_F(PlatformNetRange, DeliversA206OnlyWhenItsContentRangeEndsAtTheByteAsked) {
  struct Case {
    const char* path;
    uint64_t lastByte;
    uint32_t status;
  };
  const Case cases[] = {
      {"/range/end/good", 1499, 206},
      {"/range/end/unknown-length", 1499, 206},
      {"/range/end/one-short", 1499, 0},
      {"/range/end/one-long", 1499, 0},
      {"/range/end/to-the-end", 1499, 0},
      {"/range/end/to-the-end", 4999, 206},       // the file ends before the byte asked
      {"/range/end/to-an-unknown-end", 4999, 0},  // nothing says the file ends there
      {"/range/end/short-of-the-end", 4999, 0},
      {"/range/end/good", 4999, 0},
      {"/range/one-late", 1499, 0},
      {"/range/twice", 1999, 0},
      {"/range/none", 1499, 0},
  };
  for (const Case& c : cases) {
    const std::string label = std::string(c.path) + " to " + std::to_string(c.lastByte);
    Received received;
    EXPECT_EQ(fetch(c.path, 1000, received, c.lastByte), c.status) << label;
    if (c.status == 206) {
      EXPECT_EQ(received.body, "the rest\n") << label;
      EXPECT_EQ(received.statuses, std::vector<uint32_t>{206}) << label;
    } else {
      EXPECT_TRUE(received.chunks.empty()) << label << " delivered: " << received.body;
      EXPECT_TRUE(received.statuses.empty()) << label;
    }
  }
}

// A 206 that answers another range than the one asked for is no answer; other statuses pass.
TEST_F(PlatformNetRange, DeliversNoBodyForAnyOtherAnswer) {
  struct Case {
    const char* path;
    uint64_t firstByte;
    uint32_t status;
  };
  const Case cases[] = {
      {"/offrange.bin", 1000, 0},  // a real range, 8 bytes later than asked
      {"/range/good", 0, 0},       // a range nobody asked for
      {"/big.bin", 3200000, 416},  // from the end on: nothing left to send
      {"/notfound.txt", 5, 404},
  };
  for (const Case& c : cases) {
    Received received;
    EXPECT_EQ(fetch(c.path, c.firstByte, received), c.status) << c.path;
    EXPECT_TRUE(received.chunks.empty()) << c.path << " delivered: " << received.body;
    EXPECT_TRUE(received.statuses.empty()) << c.path;
  }
}

TEST_F(PlatformNetRange, A416TellsTheWholeBodysLength) {
  struct Case {
    const char* path;
    uint64_t firstByte;
    std::vector<uint64_t> heard;
  };
  const Case cases[] = {
      {"/big.bin", 3200000, {3200000}},
      {"/big.bin", 5000000, {3200000}},
      {"/refused", 1000, {}},  // a 416 without a Content-Range
  };
  for (const Case& c : cases) {
    Received received;
    RequestOptions options = received.options(c.firstByte);
    std::vector<uint64_t> heard;
    options.onRangeNotSatisfiable = [&heard](uint64_t length) { heard.push_back(length); };
    ByteSink sink = received.sink();
    EXPECT_EQ(net_->get(httpsUrl(c.path), sink, options), 416u) << c.path;
    EXPECT_EQ(heard, c.heard) << c.path << " from " << c.firstByte;
    EXPECT_TRUE(received.chunks.empty()) << c.path << " delivered: " << received.body;
  }
}

// The request for the whole body comes last, on the connection the others used: nothing of an
// earlier request's range may stay with it.
TEST_F(PlatformNetRange, SendsTheRangeHeaderOnlyForAPartOfTheBody) {
  struct Case {
    uint64_t firstByte;
    uint64_t lastByte;
    const char* header;
  };
  const Case cases[] = {
      {1234, RequestOptions::kToTheEnd, "\r\nRange: bytes=1234-\r\n"},
      {1234, 5678, "\r\nRange: bytes=1234-5678\r\n"},
      {0, 99, "\r\nRange: bytes=0-99\r\n"},
  };
  for (const Case& c : cases) {
    Received tail;
    ASSERT_EQ(fetch("/__headers", c.firstByte, tail, c.lastByte), 200u);  // the route has no ranges
    EXPECT_NE(tail.body.find(c.header), std::string::npos) << tail.body;
    EXPECT_EQ(tail.statuses, std::vector<uint32_t>{200});
  }

  Received whole;
  ASSERT_EQ(fetch("/__headers", 0, whole), 200u);
  std::string lower = whole.body;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  EXPECT_EQ(lower.find("\nrange:"), std::string::npos) << whole.body;
}

TEST_F(PlatformNetRange, ABodyCutMidwayAnswersZero) {
  const std::string tail = patternBody(131072).substr(1000);
  Received received;
  EXPECT_EQ(fetch("/cut.bin", 1000, received), 0u);
  EXPECT_LE(received.body.size(), 100000u);
  EXPECT_EQ(received.body, tail.substr(0, received.body.size()));
}

TEST_F(PlatformNetRange, ASinkThatStopsKeeps206AndTheNetStaysUsable) {
  Received received;
  received.stopAfterChunks = 1;
  EXPECT_EQ(fetch("/big.bin", 1000, received), 206u);
  EXPECT_EQ(received.chunks.size(), 1u);

  Received next;
  EXPECT_EQ(fetch("/small.txt", 2, next), 206u);
  EXPECT_EQ(next.body, "llo\n");
}

TEST_F(PlatformNetRange, ExceptionsFromOnBodyReachTheCallerBeforeAnyChunk) {
  bool delivered = false;
  ByteSink sink = [&delivered](const char*, size_t) { return delivered = true; };
  RequestOptions options;
  options.firstByte = 1000;
  options.onBody = [](uint32_t) { throw std::runtime_error("disk full"); };
  EXPECT_THROW(net_->get(httpsUrl("/big.bin"), sink, options), std::runtime_error);
  EXPECT_FALSE(delivered);

  Received next;
  EXPECT_EQ(fetch("/small.txt", 2, next), 206u);
  EXPECT_EQ(next.body, "llo\n");
}

TEST(PlatformNetThreads, EightThreadsFetchTheirOwnFilesAtOnce) {
  ASSERT_FALSE(httpsPort().empty()) << "run through tests/platform/run_platform_tests.sh";
  std::unique_ptr<Net> net = makeSystemNet(kTransferTimeoutMs);
  for (const std::string& failure : fetchPartsAtOnce(*net, 4, "threads")) ADD_FAILURE() << failure;
}

// More transfers at once than kMaxTransfers, as a package's files go over HTTP/2: the curl Net
// gives those beyond it a small receive buffer, which each body's 240 KB must pass through in
// many turns, and every body still arrives whole and in order.
TEST(PlatformNetHttp2, ACrowdOfTransfersAtOnceDeliversEveryBodyWhole) {
  ASSERT_FALSE(http2Port().empty()) << "run through tests/platform/run_platform_tests.sh";
  std::unique_ptr<Net> net = makeSystemNet(kTransferTimeoutMs);
  const size_t crowds = 3;  // of kParts transfers each, all at once
  std::vector<std::vector<std::string>> failures(crowds);
  std::vector<std::thread> threads;
  for (size_t crowd = 0; crowd < crowds; ++crowd) {
    threads.emplace_back([&, crowd] {
      failures[crowd] = fetchPartsAtOnce(*net, 2, "crowd" + std::to_string(crowd), http2Port());
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::vector<std::string>& some : failures) {
    for (const std::string& failure : some) ADD_FAILURE() << failure;
  }
}

// The transfers at once against a server that offers HTTP/2: every body arrives whole, over one
// multiplexed connection where the platform's stack speaks HTTP/2 (libcurl), else over one
// keep-alive connection per transfer at most (Wine's WinHTTP speaks HTTP/1.1 only).
TEST(PlatformNetHttp2, TransfersAtOnceShareOneConnectionWhereHttp2IsSpoken) {
  ASSERT_FALSE(http2Port().empty()) << "run through tests/platform/run_platform_tests.sh";
  std::unique_ptr<Net> net = makeSystemNet(kTransferTimeoutMs);
  const size_t rounds = 2;
  for (const std::string& failure : fetchPartsAtOnce(*net, rounds, "h2", http2Port())) {
    ADD_FAILURE() << failure;
  }

  // nginx writes a request's line once it is done, which may be just after the client is.
  std::set<std::string> connections;
  std::set<std::string> protocols;
  size_t requests = 0;
  for (int attempt = 0; attempt < 50 && requests < kParts * rounds; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    connections.clear();
    protocols.clear();
    requests = 0;
    std::ifstream log(http2LogPath());
    std::string connection, perConnection, status, bytes, method, path, protocol;
    while (log >> connection >> perConnection >> status >> bytes >> method >> path >> protocol) {
      if (path.find("?h2") == std::string::npos) continue;
      ++requests;
      connections.insert(connection);
      protocols.insert(protocol);
    }
  }
  ASSERT_EQ(requests, kParts * rounds);
#ifdef _WIN32
  EXPECT_LE(connections.size(), kParts);
#else
  EXPECT_EQ(protocols, std::set<std::string>{"HTTP/2.0"});
  EXPECT_EQ(connections.size(), 1u);
#endif
}

}  // namespace
}  // namespace velm
