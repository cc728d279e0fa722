#include "package/manifest.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velm {
namespace {

const char kSha[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kShaUpper[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

// {"version": VERSION, "files": [ENTRIES]} with the JSON texts inserted as they stand.
std::string document(const std::string& version, const std::string& entries) {
  return "{\"version\": " + version + ", \"files\": [" + entries + "]}";
}

// A good entry for NAME with its members replaced or added by the given JSON members.
std::string entry(const std::string& name, const std::string& members = "") {
  return "{\"name\": \"" + name + "\", " +
         (members.empty() ? "\"size\": 3, \"sha256\": \"" + std::string(kSha) + "\"" : members) +
         "}";
}

std::string sized(const std::string& size) {
  return "\"size\": " + size + ", \"sha256\": \"" + kSha + "\"";
}

Manifest sentinel() {
  Manifest manifest;
  manifest.version = "9.9.9";
  manifest.files.push_back(ManifestFile{"old.dll", 42, Sha256Digest{}, false, {}, {}});
  return manifest;
}

void expectSentinel(const Manifest& manifest, const std::string& input) {
  EXPECT_EQ(manifest.version, "9.9.9") << input;
  ASSERT_EQ(manifest.files.size(), 1u) << input;
  EXPECT_EQ(manifest.files[0].name, "old.dll") << input;
  EXPECT_EQ(manifest.files[0].size, 42u) << input;
  EXPECT_FALSE(manifest.files[0].required) << input;
}

struct Refusal {
  std::string text;
  std::string message;
};

void expectRefusals(const std::vector<Refusal>& cases) {
  for (const Refusal& c : cases) {
    Manifest manifest = sentinel();
    std::string error = "untouched";
    EXPECT_FALSE(parseManifest(c.text, manifest, &error)) << c.text;
    EXPECT_EQ(error, c.message) << c.text;
    expectSentinel(manifest, c.text);
    EXPECT_FALSE(parseManifest(c.text, manifest, nullptr)) << c.text;
    expectSentinel(manifest, c.text);
  }
}

TEST(Manifest, ReadsEveryFieldInDocumentOrder) {
  const std::string text =
      "{\"extra\": [1, 2], \"files\": ["
      "{\"name\": \"coop.exe\", \"size\": 18446744073709551615, \"sha256\": \"" +
      std::string(kShaUpper) +
      "\", \"note\": null},"
      "{\"name\": \"Data.pak\", \"size\": 1, \"sha256\": \"" +
      kSha +
      "\", \"required\": false},"
      "{\"name\": \"b\xC3\xBC"
      "cher.txt\", \"size\": 7, \"sha256\": \"" +
      kSha +
      "\", \"required\": true}"
      "], \"version\": \"01.002.3\"}";
  Manifest manifest = sentinel();
  std::string error = "untouched";
  ASSERT_TRUE(parseManifest(text, manifest, &error)) << error;
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(manifest.version, "01.002.3");
  ASSERT_EQ(manifest.files.size(), 3u);
  EXPECT_EQ(manifest.files[0].name, "coop.exe");
  EXPECT_EQ(manifest.files[0].size, 18446744073709551615u);
  EXPECT_EQ(sha256Hex(manifest.files[0].sha256), kSha) << "either case reads as the same digest";
  EXPECT_TRUE(manifest.files[0].required) << "no \"required\" means required";
  EXPECT_EQ(manifest.files[1].name, "Data.pak");
  EXPECT_EQ(manifest.files[1].size, 1u);
  EXPECT_EQ(sha256Hex(manifest.files[1].sha256), kSha);
  EXPECT_FALSE(manifest.files[1].required);
  EXPECT_EQ(manifest.files[2].name,
            "b\xC3\xBC"
            "cher.txt");
  EXPECT_TRUE(manifest.files[2].required);
}

TEST(Manifest, AcceptsOneOrThreeGroupsOfDigits) {
  const std::vector<std::string> versions = {
      "1", "12", "1.2.3", "01.002.3", "0", "123456789012345678901234567890.0.0"};
  for (const std::string& version : versions) {
    Manifest manifest;
    std::string error;
    EXPECT_TRUE(parseManifest(document("\"" + version + "\"", entry("a")), manifest, &error))
        << version << ": " << error;
    EXPECT_EQ(manifest.version, version);
  }
}

TEST(Manifest, RefusesOtherVersions) {
  const char kPrefix[] = "\"version\" is neither N nor X.Y.Z: ";
  std::vector<Refusal> cases;
  for (const std::string version :
       {"1.2", "1.2.3.4", "1..2", ".1", "1.", "v1", " 1", "", "1.2.3 ", "1.-2.3", "1,2,3", "+1",
        "1.2.3.", "..", "\xEF\xBC\x91"}) {  // the last one is a full-width digit one
    cases.push_back({document("\"" + version + "\"", entry("a")), kPrefix + version});
  }
  cases.push_back({document("1", entry("a")), "\"version\" is missing or not a string"});
  cases.push_back({document("null", entry("a")), "\"version\" is missing or not a string"});
  cases.push_back({"{\"Version\": \"1\", \"files\": [" + entry("a") + "]}",
                   "\"version\" is missing or not a string"});
  expectRefusals(cases);
}

TEST(Manifest, RefusesDocumentsOfTheWrongShape) {
  const std::string good = document("\"1\"", entry("a"));
  expectRefusals({
      {"", "the manifest is not JSON"},
      {"{", "the manifest is not JSON"},
      {"/* signed */ " + good, "the manifest is not JSON"},
      {good + " // signed", "the manifest is not JSON"},
      {good + " x", "the manifest is not JSON"},
      {good + good, "the manifest is not JSON"},
      {good + std::string(1, '\0') + "trailing bytes", "the manifest is not JSON"},
      {"{\"version\": \"1\", \"files\": [" + entry("a\xFF") + "]}", "the manifest is not JSON"},
      {"[" + good + "]", "the manifest is not a JSON object"},
      {"\"text\"", "the manifest is not a JSON object"},
      {"12", "the manifest is not a JSON object"},
      {"null", "the manifest is not a JSON object"},
      {"{\"files\": [" + entry("a") + "]}", "\"version\" is missing or not a string"},
      {"{\"version\": \"1\"}", "\"files\" is missing or not an array"},
      {"{\"version\": \"1\", \"files\": {}}", "\"files\" is missing or not an array"},
      {"{\"version\": \"1\", \"Files\": [" + entry("a") + "]}",
       "\"files\" is missing or not an array"},
      {document("\"1\"", ""), "\"files\" is empty"},
      // The version is checked before the files are looked at.
      {"{\"version\": \"1.2\", \"files\": 3}", "\"version\" is neither N nor X.Y.Z: 1.2"},
  });
}

TEST(Manifest, SerialIsOptionalAndWithinRange) {
  const auto withSerial = [](const std::string& raw) {
    return "{\"version\": \"1\", \"serial\": " + raw + ", \"files\": [" + entry("a") + "]}";
  };
  Manifest manifest;
  ASSERT_TRUE(parseManifest(document("\"1\"", entry("a")), manifest, nullptr));
  EXPECT_FALSE(manifest.serial.has_value());
  for (const char* raw : {"1", "9007199254740991"}) {
    ASSERT_TRUE(parseManifest(withSerial(raw), manifest, nullptr)) << raw;
    EXPECT_EQ(manifest.serial, std::optional<uint64_t>(std::stoull(raw))) << raw;
  }
  expectRefusals({
      {withSerial("0"), "\"serial\" is less than 1"},
      {withSerial("-3"), "\"serial\" is less than 1"},
      {withSerial("9007199254740992"), "\"serial\" is more than 9007199254740991"},
      {withSerial("2.0"), "\"serial\" is not an integer"},
      {withSerial("\"2\""), "\"serial\" is not an integer"},
      {withSerial("true"), "\"serial\" is not an integer"},
  });
}

TEST(Manifest, RefusesBadEntries) {
  const std::string sha = std::string("\"sha256\": \"") + kSha + "\"";
  expectRefusals({
      {document("\"1\"", "[]"), "an entry in \"files\" is not an object"},
      {document("\"1\"", entry("a") + ", \"b\""), "an entry in \"files\" is not an object"},
      {document("\"1\"", "{\"size\": 3, " + sha + "}"), "a file has no \"name\" string"},
      {document("\"1\"", "{\"name\": 5, \"size\": 3, " + sha + "}"),
       "a file has no \"name\" string"},
      {document("\"1\"", "{\"Name\": \"a\", \"size\": 3, " + sha + "}"),
       "a file has no \"name\" string"},
      {document("\"1\"", entry("a/b")), "rejected file name \"a/b\": it contains /"},
      {document("\"1\"", entry("")), "rejected file name \"\": it is empty"},
      {document("\"1\"", entry("CON.txt")),
       "rejected file name \"CON.txt\": it is a Windows reserved device name"},
      {document("\"1\"", entry("..")), "rejected file name \"..\": it is . or .."},
      {document("\"1\"", entry("Mod.dll") + "," + entry("mod.DLL")),
       "file name \"mod.DLL\" is listed twice"},
      {document("\"1\"", entry("a") + "," + entry("b") + "," + entry("A")),
       "file name \"A\" is listed twice"},
      {document("\"1\"", entry("a", sha)), "a: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("a", sized("1.0"))), "a: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("a", sized("1e3"))), "a: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("a", sized("\"12\""))), "a: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("a", sized("true"))), "a: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("a", sized("null"))), "a: \"size\" is missing or not an integer"},
      // Past the unsigned 64-bit range the library holds the number as a fraction.
      {document("\"1\"", entry("a", sized("18446744073709551616"))),
       "a: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("a", sized("0"))), "a: \"size\" is less than 1"},
      {document("\"1\"", entry("a", sized("-0"))), "a: \"size\" is less than 1"},
      {document("\"1\"", entry("a", sized("-5"))), "a: \"size\" is less than 1"},
      {document("\"1\"", entry("a", sized("-9223372036854775808"))), "a: \"size\" is less than 1"},
      {document("\"1\"", entry("a", "\"size\": 3")), "a: \"sha256\" is missing or not a string"},
      {document("\"1\"", entry("a", "\"size\": 3, \"sha256\": 7")),
       "a: \"sha256\" is missing or not a string"},
      {document("\"1\"", entry("a", "\"size\": 3, \"sha256\": \"" + std::string(63, 'a') + "\"")),
       "a: \"sha256\" is not 64 hex digits"},
      {document("\"1\"", entry("a", "\"size\": 3, \"sha256\": \"" + std::string(65, 'a') + "\"")),
       "a: \"sha256\" is not 64 hex digits"},
      {document("\"1\"", entry("a", "\"size\": 3, \"sha256\": \"" + std::string(64, 'g') + "\"")),
       "a: \"sha256\" is not 64 hex digits"},
      {document("\"1\"", entry("a", sized("3") + ", \"required\": \"yes\"")),
       "a: \"required\" is not true or false"},
      {document("\"1\"", entry("a", sized("3") + ", \"required\": 1")),
       "a: \"required\" is not true or false"},
      {document("\"1\"", entry("a", sized("3") + ", \"required\": null")),
       "a: \"required\" is not true or false"},
  });
}

TEST(Manifest, ChecksAnEntryInOrderAndStopsAtTheFirstBadOne) {
  expectRefusals({
      // name rules before the duplicate test: a bad name is never remembered
      {document("\"1\"", entry("a/b") + "," + entry("a/b")),
       "rejected file name \"a/b\": it contains /"},
      // duplicate before size
      {document("\"1\"", entry("x") + "," + entry("X", "\"size\": \"big\"")),
       "file name \"X\" is listed twice"},
      // size before sha256
      {document("\"1\"", entry("a", "\"size\": 0, \"sha256\": \"short\"")),
       "a: \"size\" is less than 1"},
      // sha256 before required
      {document("\"1\"", entry("a", "\"size\": 3, \"sha256\": \"short\", \"required\": 2")),
       "a: \"sha256\" is not 64 hex digits"},
      // the first bad entry decides
      {document("\"1\"", entry("a", sized("0")) + "," + entry("b/c")),
       "a: \"size\" is less than 1"},
      {document("\"1\"", entry("a") + "," + entry("b", sized("-1")) + ", 7"),
       "b: \"size\" is less than 1"},
  });
}

}  // namespace
}  // namespace velm

namespace velm {
namespace {

// An index only saves bytes: whatever is wrong with it leaves the manifest good and the file to
// be downloaded whole, and the publisher hears why.
TEST(Manifest, ReadsAChunkIndexAndIgnoresAFaultyOne) {
  const std::string good =
      std::string("{\"name\": \"big.pak.chunks\", \"size\": 40, \"sha256\": \"") + kSha + "\"}";
  Manifest manifest;
  ASSERT_TRUE(
      parseManifest(document("\"1\"", entry("big.pak", sized("3") + ", \"chunks\": " + good)),
                    manifest, nullptr));
  ASSERT_TRUE(manifest.files[0].chunks.has_value());
  EXPECT_EQ(manifest.files[0].chunks->name, "big.pak.chunks");
  EXPECT_EQ(manifest.files[0].chunks->size, 40u);
  EXPECT_EQ(manifestJson(manifest).find("\"chunks\"") != std::string::npos, true);
  Manifest again;
  ASSERT_TRUE(parseManifest(manifestJson(manifest), again, nullptr));
  EXPECT_EQ(again.files[0].chunks->sha256, manifest.files[0].chunks->sha256);

  const std::string faulty[] = {
      "[]",
      "{\"size\": 40, \"sha256\": \"" + std::string(kSha) + "\"}",
      "{\"name\": \"a/b\", \"size\": 40, \"sha256\": \"" + std::string(kSha) + "\"}",
      "{\"name\": \"i\", \"size\": -1, \"sha256\": \"" + std::string(kSha) + "\"}",
      "{\"name\": \"i\", \"size\": 16777217, \"sha256\": \"" + std::string(kSha) + "\"}",
      "{\"name\": \"i\", \"size\": 40, \"sha256\": \"abc\"}",
  };
  for (const std::string& chunks : faulty) {
    SCOPED_TRACE(chunks);
    ASSERT_TRUE(
        parseManifest(document("\"1\"", entry("big.pak", sized("3") + ", \"chunks\": " + chunks)),
                      manifest, nullptr));
    EXPECT_FALSE(manifest.files[0].chunks.has_value());
    EXPECT_NE(manifest.files[0].chunksIgnored, "");
  }
}

}  // namespace
}  // namespace velm

namespace velm {
namespace {

// The verdict on a text in one line: the error, or every value read.
std::string verdict(const std::string& text) {
  Manifest manifest;
  std::string error;
  if (!parseManifest(text, manifest, &error)) return "refused: " + error;
  std::string out = manifest.version;
  if (manifest.serial) out += " #" + std::to_string(*manifest.serial);
  for (const ManifestFile& file : manifest.files) {
    out += " | " + file.name + " " + std::to_string(file.size) + " " +
           sha256Hex(file.sha256).substr(0, 4) + (file.required ? "" : " optional");
    if (file.chunks)
      out += " chunks " + file.chunks->name + " " + std::to_string(file.chunks->size);
    if (!file.chunksIgnored.empty()) out += " (" + file.chunksIgnored + ")";
  }
  return out;
}

// Documents whose reading depends on how the parser walks them: keys given twice (the last
// counts), members in any order, unknown members at any depth, numbers at the edges of their
// kinds. The verdicts were taken from the reader that built the whole document first.
TEST(Manifest, ReadsTrickyDocumentsAsTheWholeDocumentReaderDid) {
  const std::string sha = std::string("\"") + kSha + "\"";
  const std::string a = entry("a");
  const struct {
    std::string text;
    std::string verdict;
  } cases[] = {
      // the last of a repeated key counts, at every level
      {"{\"version\": 1, \"version\": \"2\", \"files\": [" + a + "]}", "2 | a 3 ba78"},
      {"{\"version\": \"2\", \"version\": 1, \"files\": [" + a + "]}",
       "refused: \"version\" is missing or not a string"},
      {"{\"version\": \"1\", \"files\": [7], \"files\": [" + a + "]}", "1 | a 3 ba78"},
      {"{\"version\": \"1\", \"files\": [" + a + "], \"files\": []}",
       "refused: \"files\" is empty"},
      {"{\"version\": \"1\", \"files\": [" + a + "], \"files\": {}}",
       "refused: \"files\" is missing or not an array"},
      {"{\"version\": \"1\", \"files\": [" + a + "," + a + "], \"files\": [" + a + "]}",
       "1 | a 3 ba78"},
      {"{\"version\": \"1\", \"serial\": 0, \"serial\": 5, \"files\": [" + a + "]}",
       "1 #5 | a 3 ba78"},
      {document("\"1\"",
                "{\"name\": \"x/y\", \"name\": \"b\", \"size\": \"3\", \"size\": 9, "
                "\"sha256\": 1, \"sha256\": " +
                    sha +
                    ", \"required\": 1, "
                    "\"required\": false}"),
       "1 | b 9 ba78 optional"},
      {document("\"1\"", entry("c", sized("3") +
                                        ", \"chunks\": {\"name\": \"i\", \"size\": 4, "
                                        "\"sha256\": " +
                                        sha + ", \"name\": \"j/k\"}")),
       "1 | c 3 ba78 (\"chunks\" has no plain file \"name\")"},
      {document("\"1\"", entry("c", sized("3") +
                                        ", \"chunks\": 5, \"chunks\": {\"name\": \"i\", "
                                        "\"size\": 4, \"sha256\": " +
                                        sha + "}")),
       "1 | c 3 ba78 chunks i 4"},
      {document("\"1\"", entry("c", sized("3") +
                                        ", \"chunks\": {\"name\": \"i\", \"size\": 4, "
                                        "\"sha256\": " +
                                        sha + "}, \"chunks\": null")),
       "1 | c 3 ba78 (\"chunks\" is not an object)"},
      // members in any order; the document's checks come before any entry's
      {"{\"files\": [" + a + "], \"serial\": 3, \"version\": \"4.5.6\"}", "4.5.6 #3 | a 3 ba78"},
      {"{\"files\": [7], \"serial\": 3.5, \"version\": \"4\"}",
       "refused: \"serial\" is not an integer"},
      {"{\"files\": [7], \"serial\": 0, \"version\": \"4.5\"}",
       "refused: \"version\" is neither N nor X.Y.Z: 4.5"},
      {"{\"files\": [], \"serial\": -2, \"version\": \"4\"}", "refused: \"serial\" is less than 1"},
      {"{\"files\": [{\"sha256\": " + sha + ", \"size\": 3, \"name\": \"z\"}], \"version\": \"4\"}",
       "4 | z 3 ba78"},
      // unknown members are skipped whatever they hold, known names inside them too
      {"{\"x\": {\"version\": 1, \"files\": [], \"y\": [[{\"files\": 3}]]}, \"version\": \"1\", "
       "\"files\": [{\"meta\": {\"name\": \"a/b\", \"size\": -1}, \"name\": \"d\", \"size\": 3, "
       "\"extra\": [1, {\"sha256\": 2}], \"sha256\": " +
           sha +
           ", \"chunks\": {\"more\": {\"name\": "
           "\"q\"}, \"name\": \"e\", \"size\": 2, \"sha256\": " +
           sha + "}}]}",
       "1 | d 3 ba78 chunks e 2"},
      {"{\"Version\": \"1\", \"version\": \"7\", \"files\": [" + entry("a", "\"Size\": 3") + "]}",
       "refused: a: \"size\" is missing or not an integer"},
      // numbers at the edges of their kinds
      {document("\"1\"", entry("n", sized("-0"))), "refused: n: \"size\" is less than 1"},
      {document("\"1\"", entry("n", sized("-9223372036854775808"))),
       "refused: n: \"size\" is less than 1"},
      {document("\"1\"", entry("n", sized("18446744073709551615"))),
       "1 | n 18446744073709551615 ba78"},
      {document("\"1\"", entry("n", sized("18446744073709551616"))),
       "refused: n: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("n", sized("3.0"))),
       "refused: n: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("n", sized("3e0"))),
       "refused: n: \"size\" is missing or not an integer"},
      {document("\"1\"", entry("n", sized("1e999"))), "refused: the manifest is not JSON"},
      {"{\"version\": \"1\", \"serial\": 9007199254740993, \"files\": [" + a + "]}",
       "refused: \"serial\" is more than 9007199254740991"},
      // entries are judged in order, whatever comes after the first bad one
      {document("\"1\"", a + ", [" + a + "], {\"name\": \"a\"}"),
       "refused: an entry in \"files\" is not an object"},
      {document("\"1\"", a + ", {\"name\": \"A\", \"size\": 0}, 7"),
       "refused: file name \"A\" is listed twice"},
      // a bad document after a good one is still no JSON
      {document("\"1\"", a) + " ]", "refused: the manifest is not JSON"},
      {document("\"1\"", a + ", [[[[{\"a\": [}]]]]"), "refused: the manifest is not JSON"},
      {document("\"1\"", a) + std::string(1, '\0'), "refused: the manifest is not JSON"},
  };
  for (const auto& c : cases) EXPECT_EQ(verdict(c.text), c.verdict) << c.text;
}

}  // namespace
}  // namespace velm
