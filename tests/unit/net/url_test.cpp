#include "net/url.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velm {
namespace {

// Every rule on the same inputs, so that where two rules part is written down: the scheme in any
// case, a catalogue field (absolute), a manifest's address (https), an address both clients ask
// for (request) and the launcher block's scheme as every launcher reads it (lower).
TEST(Url, EachRuleOnTheSameInputs) {
  struct Case {
    std::string url;
    bool scheme, absolute, https, request, lower;
  };
  // clang-format off
  const std::vector<Case> cases = {
      // url                                              scheme absolute https request lower
      {"https://cdn.test/g/manifest.json",                   1, 1, 1, 1, 1},
      {"HTTPS://cdn.test/m.json",                            1, 1, 1, 1, 0},
      {"HtTpS://x",                                          1, 1, 1, 1, 0},
      {"https://a",                                          1, 1, 1, 1, 1},
      {"hTtPs://h:8443/a?b#c",                               1, 1, 1, 1, 0},
      {"https://updates.example:8443/v.exe?build=7#sha",     1, 1, 1, 1, 1},
      {"https://user:pw@updates.example/v.exe",              1, 1, 1, 1, 1},
      {"https://updates.example",                            1, 1, 1, 1, 1},
      {"https://updates.example:/v.exe",                     1, 1, 1, 1, 1},
      {"https://127.0.0.1:65535/v.exe",                      1, 1, 1, 1, 1},
      {"https://build_host.example/v.exe",                   1, 1, 1, 1, 1},
      {"https://b%C3%BCcher.example/v.exe",                  1, 1, 1, 1, 1},
      {"https://b\xC3\xBC" "cher.example/",                  1, 1, 1, 1, 1},
      {"https://h/%zz/../",                                  1, 1, 1, 1, 1},
      {"https://[::1]/v.exe",                                1, 1, 1, 1, 1},
      {"https://[::1]:8443/v.exe",                           1, 1, 1, 1, 1},
      {"https://[::ffff:1.2.3.4]/v.exe",                     1, 1, 1, 1, 1},
      {"https://[fe80::1%25eth0]:8443/v.exe",                1, 1, 1, 1, 1},
      // No host, or no port that a client takes.
      {"https://",                                           1, 0, 0, 0, 1},
      {"https:///x",                                         1, 0, 0, 0, 1},
      {"https://?x=1",                                       1, 0, 1, 0, 1},
      {"https://#top",                                       1, 0, 1, 0, 1},
      {"https://:443/v.exe",                                 1, 1, 1, 0, 1},
      {"https://user@/v.exe",                                1, 1, 1, 0, 1},
      {"https://user:secret@:8443/v.exe",                    1, 1, 1, 0, 1},
      {"https://updates.example:65536/v.exe",                1, 1, 1, 0, 1},
      {"https://updates.example:443x/v.exe",                 1, 1, 1, 0, 1},
      {"https://[::1]:99999/v.exe",                          1, 1, 1, 0, 1},
      // Hosts that the clients' URL parsers refuse.
      {"https://a<b>/v.exe",                                 1, 1, 1, 0, 1},
      {"https://a^b/v.exe",                                  1, 1, 1, 0, 1},
      {"https://a{b}/v.exe",                                 1, 1, 1, 0, 1},
      {"https://a]b/v.exe",                                  1, 1, 1, 0, 1},
      {"https://[zz]/v.exe",                                 1, 1, 1, 0, 1},
      {"https://[1.2.3.4]/v.exe",                            1, 1, 1, 0, 1},
      {"https://[::1/v.exe",                                 1, 1, 1, 0, 1},
      {"https://[::1]]/v.exe",                               1, 1, 1, 0, 1},
      // Blanks, control characters and DEL anywhere.
      {"https://a b/v.exe",                                  1, 0, 1, 0, 1},
      {"https://updates.example/v 2.exe",                    1, 0, 1, 0, 1},
      {"https://updates.example/v.exe\t",                    1, 0, 1, 0, 1},
      {"https://a\tb",                                       1, 0, 1, 0, 1},
      {"https://a\x7F",                                      1, 0, 1, 0, 1},
      {"https://a\x01",                                      1, 0, 1, 0, 1},
      {std::string("https://a\0", 10),                       1, 0, 1, 0, 1},
      {std::string("https://updates.example/v.exe\0.txt", 34), 1, 0, 1, 0, 1},
      // Not the https scheme.
      {"http://cdn.test/m.json",                             0, 0, 0, 0, 0},
      {"https:/cdn.test/m.json",                             0, 0, 0, 0, 0},
      {"https:/",                                            0, 0, 0, 0, 0},
      {"https:\\\\cdn.example",                              0, 0, 0, 0, 0},
      {"httpsx//cdn.example",                                0, 0, 0, 0, 0},
      {" https://cdn.test/m.json",                           0, 0, 0, 0, 0},
      {"ftp://cdn.test/m.json",                              0, 0, 0, 0, 0},
      {"updates.example/v.exe",                              0, 0, 0, 0, 0},
      {"",                                                   0, 0, 0, 0, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(hasHttpsScheme(c.url), c.scheme) << c.url;
    EXPECT_EQ(hasHttpScheme(c.url), c.url.rfind("http://", 0) == 0) << c.url;
    EXPECT_EQ(isAbsoluteHttpsUrl(c.url), c.absolute) << c.url;
    EXPECT_EQ(isHttpsUrl(c.url), c.https) << c.url;
    EXPECT_EQ(isRequestableHttpsUrl(c.url), c.request) << c.url;
    EXPECT_EQ(hasLowerCaseHttpsScheme(c.url), c.lower) << c.url;
  }
}

TEST(Url, SignatureUrlDropsQueryAndFragment) {
  struct Case {
    const char* url;
    const char* expected;
  };
  const Case cases[] = {
      {"https://h.test/games.json", "https://h.test/games.json.sig"},
      {"https://h.test/games.json?x=1#top", "https://h.test/games.json.sig"},
      {"https://h.test/a/manifest.json#frag", "https://h.test/a/manifest.json.sig"},
      {"https://h.test/m.json#a?b", "https://h.test/m.json.sig"},
      {"https://h.test/m.json?", "https://h.test/m.json.sig"},
      {"", ".sig"},
  };
  for (const Case& c : cases) EXPECT_EQ(signatureUrl(c.url), c.expected) << c.url;
}

TEST(Url, FileUrlSitsBesideTheManifest) {
  struct Case {
    std::string manifest;
    std::string name;
    std::string url;
  };
  const std::vector<Case> cases = {
      {"https://cdn.test/p/manifest.json?v=3", "a.dll", "https://cdn.test/p/a.dll"},
      {"https://cdn.test/p/manifest.json#top", "a.dll", "https://cdn.test/p/a.dll"},
      {"https://cdn.test/p/q/manifest.json?x=/y/z", "a.dll", "https://cdn.test/p/q/a.dll"},
      {"https://cdn.test", "a.dll", "https://cdn.test/a.dll"},
      {"https://cdn.test?v=/x/y", "a.dll", "https://cdn.test/a.dll"},
      {"https://cdn.test/", "a.dll", "https://cdn.test/a.dll"},
      {"https://cdn.test/p/", "a.dll", "https://cdn.test/p/a.dll"},
      {"https://cdn.test/p/m.json", "two words.txt", "https://cdn.test/p/two%20words.txt"},
      {"https://cdn.test/p/m.json",
       "b\xC3\xBC"
       "cher.dll",
       "https://cdn.test/p/b%C3%BCcher.dll"},
      // Without "://" the host is taken to start at the front.
      {"cdn.test/p/m.json", "a.dll", "cdn.test/p/a.dll"},
      {"cdn.test", "a.dll", "cdn.test/a.dll"},
  };
  for (const Case& c : cases) EXPECT_EQ(fileUrl(c.manifest, c.name), c.url) << c.manifest;
}

TEST(Url, PercentEncodeKeepsOnlyUnreservedBytes) {
  EXPECT_EQ(percentEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(percentEncode("a b/c%d+e&f#g?h"), "a%20b%2Fc%25d%2Be%26f%23g%3Fh");
  EXPECT_EQ(percentEncode("\xE2\x82\xAC\x7F\xFF"), "%E2%82%AC%7F%FF");
  EXPECT_EQ(percentEncode(std::string("\0x", 2)), "%00x");
  EXPECT_EQ(percentEncode(""), "");
}

}  // namespace
}  // namespace velm
