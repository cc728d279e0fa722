#include "package/package_url.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velm {
namespace {

TEST(PackageUrl, IsHttpsUrl) {
  struct Case {
    std::string url;
    bool https;
  };
  const std::vector<Case> cases = {
      {"https://cdn.test/g/manifest.json", true},
      {"HTTPS://cdn.test/m.json", true},
      {"HtTpS://x", true},
      {"https://", false},    // exactly eight bytes
      {"https:///x", false},  // a third slash where the host belongs
      {"http://cdn.test/m.json", false},
      {"https:/cdn.test/m.json", false},
      {" https://cdn.test/m.json", false},
      {"ftp://cdn.test/m.json", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isHttpsUrl(c.url), c.https) << c.url;
}

// What both platforms' clients will ask for; the self-update and velm-publish hold URLs to it.
TEST(PackageUrl, IsRequestableHttpsUrl) {
  struct Case {
    std::string url;
    bool requestable;
  };
  const Case cases[] = {
      {"https://updates.example/v.exe", true},
      {"HTTPS://updates.example/v.exe", true},
      {"https://updates.example:8443/v.exe?build=7#sha", true},
      {"https://user:pw@updates.example/v.exe", true},
      {"https://[::1]:8443/v.exe", true},
      {"https://[::1]/v.exe", true},
      {"https://updates.example:/v.exe", true},
      {"https://updates.example", true},
      {"https://127.0.0.1:65535/v.exe", true},
      {"https://build_host.example/v.exe", true},
      {"https://b%C3%BCcher.example/v.exe", true},
      {"https://[::ffff:1.2.3.4]/v.exe", true},
      {"https://[fe80::1%25eth0]:8443/v.exe", true},
      {"https:///v.exe", false},
      {"https://", false},
      {"https://:443/v.exe", false},
      {"https://user@/v.exe", false},
      {"https://user:secret@:8443/v.exe", false},
      {"https://updates.example:65536/v.exe", false},
      {"https://updates.example:443x/v.exe", false},
      {"https://[::1]:99999/v.exe", false},
      {"https://?x=1", false},
      // Hosts that the clients' URL parsers refuse.
      {"https://a<b>/v.exe", false},
      {"https://a^b/v.exe", false},
      {"https://a{b}/v.exe", false},
      {"https://a]b/v.exe", false},
      {"https://[zz]/v.exe", false},
      {"https://[1.2.3.4]/v.exe", false},
      {"https://[::1/v.exe", false},
      {"https://[::1]]/v.exe", false},
      {"https://a b/v.exe", false},
      {"https://updates.example/v 2.exe", false},
      {"https://updates.example/v.exe\t", false},
      {"https://#top", false},
      {"http://updates.example/v.exe", false},
      {"updates.example/v.exe", false},
      {"", false},
      {std::string("https://updates.example/v.exe\0.txt", 34), false},
  };
  for (const Case& c : cases) EXPECT_EQ(isRequestableHttpsUrl(c.url), c.requestable) << c.url;
}

TEST(PackageUrl, FileUrlSitsBesideTheManifest) {
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

TEST(PackageUrl, PercentEncodeKeepsOnlyUnreservedBytes) {
  EXPECT_EQ(percentEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(percentEncode("a b/c%d+e&f#g?h"), "a%20b%2Fc%25d%2Be%26f%23g%3Fh");
  EXPECT_EQ(percentEncode("\xE2\x82\xAC\x7F\xFF"), "%E2%82%AC%7F%FF");
  EXPECT_EQ(percentEncode(std::string("\0x", 2)), "%00x");
  EXPECT_EQ(percentEncode(""), "");
}

TEST(PackageUrl, SizeText) {
  struct Case {
    uint64_t bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {1, "0 KB"},
      {512, "0 KB"},
      {1023, "0 KB"},
      {1024, "1 KB"},
      {1048575, "1023 KB"},
      {1048576, "1.0 MB"},
      {1572864, "1.5 MB"},
      {5242880, "5.0 MB"},
      {10485759, "10.0 MB"},
      {10485760, "10 MB"},
      {11534335, "10 MB"},
      {1099511627776, "1048576 MB"},
      {UINT64_MAX, "17592186044415 MB"},
  };
  for (const Case& c : cases) EXPECT_EQ(sizeText(c.bytes), c.text) << c.bytes;
}

}  // namespace
}  // namespace velm
