#include "net/net.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "support/fake_net.h"

namespace velm {
namespace {

TEST(GetText, CollectsTheWholeBodyInChunks) {
  FakeNet net;
  net.chunkSize = 7;
  std::string body(1000, 'x');
  body[999] = 'y';
  net.serve("https://h/a", body);
  std::string text = "old";
  EXPECT_EQ(getText(net, "https://h/a", text), 200u);
  EXPECT_EQ(text, body);
}

TEST(GetText, PassesOtherStatusesOn) {
  FakeNet net;
  net.answer("https://h/gone", 404);
  net.answer("https://h/none", 0);
  std::string text = "old";
  EXPECT_EQ(getText(net, "https://h/gone", text), 404u);
  EXPECT_EQ(text, "");
  EXPECT_EQ(getText(net, "https://h/none", text), 0u);
}

TEST(GetText, StopsAtSixteenMebibytes) {
  FakeNet net;
  net.serve("https://h/exact", std::string(kMaxTextBody, 'a'));
  net.serve("https://h/over", std::string(kMaxTextBody + 1, 'a'));
  std::string text;
  EXPECT_EQ(getText(net, "https://h/exact", text), 200u);
  EXPECT_EQ(text.size(), kMaxTextBody);
  EXPECT_EQ(getText(net, "https://h/over", text), 0u) << "too large must read as no answer";
  EXPECT_TRUE(text.empty());
}

// Over a multiplexed connection the two are in flight together: neither request is answered
// until both were asked (or 5 s passed, so a pair fetched one after the other fails, not hangs).
TEST(GetTextPair, FetchesBothAtOnceWhereTheNetMultiplexes) {
  FakeNet net;
  net.inFlight = kMaxStreams;
  net.serve("https://h/doc", "document");
  net.answer("https://h/doc.sig", 404);
  std::mutex mutex;
  std::condition_variable asked;
  size_t waiting = 0;
  bool together = false;
  net.onRequest = [&](const std::string&) {
    std::unique_lock<std::mutex> lock(mutex);
    if (++waiting == 2) together = true;
    asked.notify_all();
    asked.wait_for(lock, std::chrono::seconds(5), [&] { return together; });
  };
  const TextPair pair = getTextPair(net, "https://h/doc", "https://h/doc.sig");
  EXPECT_TRUE(together);
  EXPECT_EQ(pair.firstStatus, 200u);
  EXPECT_EQ(pair.first, "document");
  EXPECT_EQ(pair.secondStatus, 404u);
}

// Elsewhere the second waits for the first, and is not asked for after a failed first.
TEST(GetTextPair, FetchesTheSecondOnlyAfterAGoodFirstElsewhere) {
  struct Case {
    uint32_t first;
    std::vector<std::string> requested;
    uint32_t secondStatus;
  };
  const Case cases[] = {
      {200, {"https://h/doc", "https://h/doc.sig"}, 200},
      {404, {"https://h/doc"}, 0},
      {0, {"https://h/doc"}, 0},
  };
  for (const Case& c : cases) {
    FakeNet net;
    if (c.first == 200) {
      net.serve("https://h/doc", "document");
    } else {
      net.answer("https://h/doc", c.first);
    }
    net.serve("https://h/doc.sig", "signature");
    const TextPair pair = getTextPair(net, "https://h/doc", "https://h/doc.sig");
    EXPECT_EQ(pair.firstStatus, c.first);
    EXPECT_EQ(pair.secondStatus, c.secondStatus) << c.first;
    EXPECT_EQ(pair.second, c.secondStatus == 200 ? "signature" : "") << c.first;
    EXPECT_EQ(net.requested, c.requested) << c.first;
  }
}

TEST(NoNet, NeverAnswersNorCallsTheSink) {
  NoNet net;
  bool called = false;
  ByteSink sink = [&called](const char*, size_t) { return called = true; };
  EXPECT_EQ(net.get("https://example.invalid/games.json", sink), 0u);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace velm
