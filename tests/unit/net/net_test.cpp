#include "net/net.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(NoNet, NeverAnswersNorCallsTheSink) {
  NoNet net;
  bool called = false;
  ByteSink sink = [&called](const char*, size_t) { return called = true; };
  EXPECT_EQ(net.get("https://example.invalid/games.json", sink), 0u);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace velm
