#include "site_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "net/sha256.h"
#include "net/url.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

Sha256Digest sha256Of(const std::string& text) {
  Sha256 hasher;
  hasher.update(text.data(), text.size());
  return hasher.finalDigest();
}

TEST(SiteTree, MapsUrlsToTheFilesAStaticServerServes) {
  struct Case {
    std::string url;
    std::string path;  // empty: refused
  };
  const std::vector<Case> cases = {
      {"https://cdn.test/games.json", "cdn.test/games.json"},
      {"HTTPS://CDN.Test:8443/a/b.json?v=1#top", "cdn.test:8443/a/b.json"},
      {"https://[::1]:8443/m.json", "[::1]:8443/m.json"},
      {"https://cdn.test/a%20b/c%2Bd%c3%bc", "cdn.test/a b/c+d\xC3\xBC"},
      {"https://cdn.test/%2e%2e.x", "cdn.test/...x"},
      {"http://cdn.test/m.json", ""},
      {"https://cdn.test", ""},
      {"https://cdn.test?x=/a/b", ""},
      {"https://cdn.test/", ""},
      {"https://cdn.test/p/", ""},
      {"https://cdn.test/a//b", ""},
      {"https://cdn.test/a/../b", ""},
      {"https://cdn.test/a/%2E%2E/b", ""},
      {"https://cdn.test/./b", ""},
      {"https://cdn.test/a%2Fb", ""},
      {"https://cdn.test/a%00b", ""},
      {"https://cdn.test/a%zz", ""},
      {"https://cdn.test/a%2", ""},
      {"https://user@cdn.test/m.json", ""},
      {"https://../m.json", ""},
      {"https:///m.json", ""},
  };
  for (const Case& c : cases) {
    std::string path = "untouched", error;
    EXPECT_EQ(siteFilePath(c.url, path, &error), !c.path.empty()) << c.url;
    if (c.path.empty()) {
      EXPECT_EQ(path, "untouched") << c.url;
      EXPECT_EQ(error.find("\"" + c.url + "\" cannot be published as a file: "), 0u) << error;
    } else {
      EXPECT_EQ(path, c.path) << c.url;
    }
  }
}

TEST(SiteTree, EveryPlainNameLandsBesideItsManifest) {
  // The launcher requests fileUrl(manifest, name); the server must find the name itself there.
  const std::vector<std::string> names = {"a.dll",
                                          "two words.txt",
                                          "100%.txt",
                                          "a#b.dll",
                                          "a?b=c.ini",
                                          "plus+sign",
                                          "~tilde",
                                          "b\xC3\xBC"
                                          "cher.dll",
                                          "%41.txt",
                                          "semi;colon"};
  for (const std::string& name : names) {
    std::string path, error;
    ASSERT_TRUE(siteFilePath(fileUrl("https://cdn.test/p/manifest.json?v=3", name), path, &error))
        << name << ": " << error;
    EXPECT_EQ(path, "cdn.test/p/" + name);
  }
}

TEST(SiteTree, RefusesTwoFilesAtOnePath) {
  TempDir dir;
  const std::string source = dir.write("source.bin", "abc").string();
  SiteTree tree;
  std::string error;
  ASSERT_TRUE(tree.addText("h/p/a.dll", "abc", "a.dll of game one", &error));
  // The same bytes again, as text or as a copy: one file serves both.
  EXPECT_TRUE(tree.addText("h/p/a.dll", "abc", "a.dll of game two", &error));
  EXPECT_TRUE(tree.addCopy("h/p/a.dll", source, sha256Of("abc"), 3, "a copy", &error));

  EXPECT_FALSE(tree.addText("h/p/a.dll", "abd", "a.dll of game three", &error));
  EXPECT_EQ(error,
            "h/p/a.dll: both a.dll of game one and a.dll of game three would be "
            "published there");
  EXPECT_FALSE(tree.addText("h/p/a.dll/x", "x", "x of game four", &error));
  EXPECT_EQ(error,
            "h/p/a.dll: a.dll of game one would be published there, but x of game four "
            "needs it as a folder");
  EXPECT_FALSE(tree.addText("h/p", "x", "p of game five", &error));
  EXPECT_EQ(error,
            "h/p: p of game five would be published there, but a.dll of game one needs "
            "it as a folder");
  // A sibling whose name merely starts with the same text is no clash.
  EXPECT_TRUE(tree.addText("h/p.d", "x", "p.d", &error)) << error;
  EXPECT_TRUE(tree.addText("h/p/a.dl", "x", "a.dl", &error)) << error;
}

TEST(SiteTree, WritesTheWholeTreeOrNothing) {
  TempDir dir;
  const std::string source = dir.write("source.bin", "abc").string();
  SiteTree tree;
  std::string error;
  ASSERT_TRUE(tree.addText("h/games.json", "{}\n", "games.json", &error));
  ASSERT_TRUE(tree.addCopy("h/p/a b.dll", source, sha256Of("abc"), 3, "a b.dll", &error));

  const std::string out = (dir.path() / "site").string();
  ASSERT_TRUE(tree.write(out, &error)) << error;
  EXPECT_EQ(dir.read("site/h/games.json"), "{}\n");
  EXPECT_EQ(dir.read("site/h/p/a b.dll"), "abc");

  // An empty folder may be the target; a folder that holds anything may not.
  fs::create_directory(dir.path() / "empty");
  EXPECT_TRUE(tree.write((dir.path() / "empty").string(), &error)) << error;
  EXPECT_EQ(dir.read("empty/h/p/a b.dll"), "abc");
  EXPECT_FALSE(tree.write(out, &error));
  EXPECT_EQ(error, out + " exists and is not an empty folder");

  // The source changed after it was planned: nothing is left behind.
  dir.write("source.bin", "abd");
  const std::string second = (dir.path() / "second").string();
  EXPECT_FALSE(tree.write(second, &error));
  EXPECT_EQ(error, source + " changed or could not be read while it was copied");
  EXPECT_FALSE(fs::exists(second));
  for (const auto& item : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(item.path().filename().string().find(".partial-"), std::string::npos) << item.path();
  }
}

}  // namespace
}  // namespace velm
