#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velm {
namespace {

// Raw JSON text for each field; kAbsent leaves the key out of the document.
const char kAbsent[] = "<absent>";
const char kSha[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string member(const std::string& key, const std::string& raw) {
  return raw == kAbsent ? "" : "\"" + key + "\":" + raw;
}

std::string object(const std::vector<std::string>& members) {
  std::string text = "{";
  for (const std::string& m : members) {
    if (m.empty()) continue;
    if (text.size() > 1) text += ",";
    text += m;
  }
  return text + "}";
}

std::string str(const std::string& value) { return "\"" + value + "\""; }

struct GameDoc {
  std::string id = str("alpha");
  std::string name = str("Alpha Quest");
  std::string exe = str("alpha.exe");
  std::string steam_appid = "480";
  std::string manifest = str("https://cdn.example/alpha/manifest.json");
  std::string launcher = str("coop.exe");
  std::string manifest_sha256 = kAbsent;

  std::string text() const {
    return object({member("id", id), member("name", name), member("exe", exe),
                   member("steam_appid", steam_appid), member("manifest", manifest),
                   member("launcher", launcher), member("manifest_sha256", manifest_sha256)});
  }
};

struct LauncherDoc {
  std::string version = str("2.1.0");
  std::string url = str("https://cdn.example/Velm%20Co-op.exe");
  std::string sha256 = str(kSha);
  std::string size = "1048576";

  std::string text() const {
    return object({member("version", version), member("url", url), member("sha256", sha256),
                   member("size", size)});
  }
};

struct CatalogueDoc {
  std::string schema = "1";
  LauncherDoc launcher;
  std::vector<GameDoc> games{GameDoc{}};
  std::string launcherRaw;  // when set, replaces the launcher block
  std::string gamesRaw;     // when set, replaces the games array
  std::string serial = kAbsent;
  std::string expires = kAbsent;

  std::string text() const {
    std::string list = "[";
    for (const GameDoc& game : games) list += (list.size() > 1 ? "," : "") + game.text();
    list += "]";
    return object({member("schema", schema), member("serial", serial), member("expires", expires),
                   member("launcher", launcherRaw.empty() ? launcher.text() : launcherRaw),
                   member("games", gamesRaw.empty() ? list : gamesRaw)});
  }
};

GameDoc secondGame() {
  GameDoc game;
  game.id = str("beta-2");
  game.name = str("Beta");
  game.exe = str("Beta.EXE");
  game.steam_appid = "0";
  game.manifest = str("HTTPS://cdn.example/beta/manifest.json?v=3");
  return game;
}

void expectFailure(const std::string& text, const std::string& error) {
  const CatalogueResult result = parseCatalogue(text);
  EXPECT_FALSE(result.ok) << text;
  EXPECT_EQ(result.error, error) << text;
  EXPECT_TRUE(result.catalogue.games.empty()) << text;
  EXPECT_EQ(result.catalogue.launcher.version, "") << text;
  EXPECT_EQ(result.catalogue.launcher.size, 0u) << text;
}

CatalogueResult expectSuccess(const std::string& text) {
  CatalogueResult result = parseCatalogue(text);
  EXPECT_TRUE(result.ok) << text << "\n" << result.error;
  EXPECT_EQ(result.error, "") << text;
  return result;
}

// One field of the launcher block set to a raw value, and the expected error ("" for success).
struct LauncherCase {
  std::string LauncherDoc::*field;
  std::string raw;
  std::string error;
};

void runLauncherCases(const std::vector<LauncherCase>& cases) {
  for (const LauncherCase& c : cases) {
    CatalogueDoc doc;
    doc.launcher.*c.field = c.raw;
    if (c.error.empty()) {
      expectSuccess(doc.text());
    } else {
      expectFailure(doc.text(), c.error);
    }
  }
}

// One field of the second game entry (games[1]) set to a raw value.
struct GameCase {
  std::string GameDoc::*field;
  std::string raw;
  std::string error;
};

void runGameCases(const std::vector<GameCase>& cases) {
  for (const GameCase& c : cases) {
    CatalogueDoc doc;
    doc.games.push_back(secondGame());
    doc.games[1].*c.field = c.raw;
    if (c.error.empty()) {
      expectSuccess(doc.text());
    } else {
      expectFailure(doc.text(), c.error);
    }
  }
}

TEST(Catalogue, ReadsEveryField) {
  CatalogueDoc doc;
  doc.launcher.sha256 = str("0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789ABCDEF");
  doc.launcher.version = str("01.2.3");
  doc.games.push_back(secondGame());
  const CatalogueResult result = expectSuccess(doc.text());
  const Catalogue& catalogue = result.catalogue;
  EXPECT_EQ(catalogue.launcher.version, "01.2.3");
  EXPECT_EQ(catalogue.launcher.url, "https://cdn.example/Velm%20Co-op.exe");
  EXPECT_EQ(sha256Hex(catalogue.launcher.sha256),
            "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef")
      << "either case reads as the same digest";
  EXPECT_EQ(catalogue.launcher.size, 1048576u);
  ASSERT_EQ(catalogue.games.size(), 2u);
  const Game& alpha = catalogue.games[0];
  EXPECT_EQ(alpha.id, "alpha");
  EXPECT_EQ(alpha.name, "Alpha Quest");
  EXPECT_EQ(alpha.exe, "alpha.exe");
  EXPECT_EQ(alpha.steam_appid, 480u);
  EXPECT_EQ(alpha.manifest, "https://cdn.example/alpha/manifest.json");
  EXPECT_EQ(alpha.launcher, "coop.exe");
  const Game& beta = catalogue.games[1];
  EXPECT_EQ(beta.id, "beta-2");
  EXPECT_EQ(beta.exe, "Beta.EXE");
  EXPECT_EQ(beta.steam_appid, 0u);
  EXPECT_EQ(beta.manifest, "HTTPS://cdn.example/beta/manifest.json?v=3");
  EXPECT_EQ(beta.launcher, "coop.exe");  // a shared launcher name is allowed
}

TEST(Catalogue, KeepsValuesVerbatim) {
  CatalogueDoc doc;
  doc.games[0].name = str("Caf\\u00e9 \\\"Deluxe\\\" \xE2\x84\xA2");
  doc.games[0].steam_appid = "18446744073709551615";
  doc.launcher.size = "18446744073709551615";
  const CatalogueResult result = expectSuccess(doc.text());
  ASSERT_EQ(result.catalogue.games.size(), 1u);
  EXPECT_EQ(result.catalogue.games[0].name, "Caf\xC3\xA9 \"Deluxe\" \xE2\x84\xA2");
  EXPECT_EQ(result.catalogue.games[0].steam_appid, 18446744073709551615u);
  EXPECT_EQ(result.catalogue.launcher.size, 18446744073709551615u);
}

TEST(Catalogue, IgnoresUnknownKeysAtEveryLevel) {
  CatalogueDoc doc;
  doc.launcherRaw = "{\"version\":\"1.0.0\",\"url\":\"https://h/x\",\"sha256\":\"" +
                    std::string(kSha) + "\",\"size\":1,\"notes\":[1,{\"a\":null}]}";
  std::string text = doc.text();
  text.insert(1, "\"comment\":\"hi\",\"Schema\":7,");
  const std::string game = doc.games[0].text();
  text.replace(text.find(game), game.size(),
               game.substr(0, game.size() - 1) + ",\"ID\":\"BAD\",\"extra\":{}}");
  const CatalogueResult result = expectSuccess(text);
  ASSERT_EQ(result.catalogue.games.size(), 1u);
  EXPECT_EQ(result.catalogue.games[0].id, "alpha");
}

TEST(Catalogue, NotValidJson) {
  const std::string valid = CatalogueDoc{}.text();
  const std::vector<std::string> texts = {
      "",
      "   \n",
      valid + " x",
      valid + valid,
      valid + "//comment",
      "/* comment */" + valid,
      valid.substr(0, valid.size() - 1),
      "{\"schema\":1,}",
      "{'schema':1}",
      valid + std::string(1, '\0'),
      valid + std::string("\0{}", 3),
      "{\"schema\":1,\"x\":\"\xFF\"}",  // invalid UTF-8 inside a string
      valid + "\xEF\xBB\xBF",           // a byte-order mark only counts in front
      "\xEF\xBB" + valid,
  };
  for (const std::string& text : texts) expectFailure(text, "not valid JSON");
}

TEST(Catalogue, AcceptsByteOrderMarkAndWhitespace) {
  expectSuccess("\xEF\xBB\xBF" + CatalogueDoc{}.text());
  expectSuccess(" \t\r\n" + CatalogueDoc{}.text() + " \t\r\n");
}

TEST(Catalogue, TopLevelMustBeObject) {
  for (const std::string text : {"[]", "[{}]", "1", "\"games\"", "null", "true"}) {
    expectFailure(text, "(top level): must be an object");
  }
}

TEST(Catalogue, Schema) {
  const std::string unknown = " is not a format this launcher knows (only 1)";
  struct Case {
    std::string raw;
    std::string error;
  };
  const std::vector<Case> cases = {
      {kAbsent, "schema: missing"},
      {"1.0", "schema: must be an integer"},
      {"1e0", "schema: must be an integer"},
      {"\"1\"", "schema: must be an integer"},
      {"true", "schema: must be an integer"},
      {"null", "schema: must be an integer"},
      {"[1]", "schema: must be an integer"},
      {"18446744073709551616", "schema: must be an integer"},
      {"-9223372036854775809", "schema: must be an integer"},
      {"-1", "schema: -1" + unknown},
      {"-0", "schema: 0" + unknown},
      {"-9223372036854775808", "schema: -9223372036854775808" + unknown},
      {"0", "schema: 0" + unknown},
      {"2", "schema: 2" + unknown},
      {"18446744073709551615", "schema: 18446744073709551615" + unknown},
  };
  for (const Case& c : cases) {
    CatalogueDoc doc;
    doc.schema = c.raw;
    expectFailure(doc.text(), c.error);
  }
}

TEST(Catalogue, KeysAreCaseSensitive) {
  CatalogueDoc doc;
  doc.schema = kAbsent;
  std::string text = doc.text();
  text.insert(1, "\"Schema\":1,");
  expectFailure(text, "schema: missing");

  CatalogueDoc lower;
  lower.games[0].steam_appid = kAbsent;
  text = lower.text();
  text.insert(text.find("\"id\""), "\"Steam_AppID\":1,");
  expectFailure(text, "games[0].steam_appid: missing");
}

TEST(Catalogue, LaterDuplicateKeyCounts) {
  const std::string valid = CatalogueDoc{}.text();
  expectSuccess("{\"schema\":2," + valid.substr(1));
  expectFailure(valid.substr(0, valid.size() - 1) + ",\"schema\":2}",
                "schema: 2 is not a format this launcher knows (only 1)");
  expectSuccess("{\"games\":7," + valid.substr(1));
  expectFailure(valid.substr(0, valid.size() - 1) + ",\"games\":[]}", "games: has no entries");

  GameDoc game;
  std::string entry = game.text();
  entry = entry.substr(0, entry.size() - 1) + ",\"exe\":\"other.exe\"}";
  CatalogueDoc doc;
  doc.gamesRaw = "[" + entry + "]";
  const CatalogueResult result = expectSuccess(doc.text());
  ASSERT_EQ(result.catalogue.games.size(), 1u);
  EXPECT_EQ(result.catalogue.games[0].exe, "other.exe");
}

TEST(Catalogue, LauncherBlock) {
  const std::vector<std::string> notObjects = {"[]", "\"x\"", "null", "1"};
  for (const std::string& raw : notObjects) {
    CatalogueDoc doc;
    doc.launcherRaw = raw;
    expectFailure(doc.text(), "launcher: must be an object");
  }
  CatalogueDoc missing;
  missing.launcherRaw = kAbsent;
  expectFailure(missing.text(), "launcher: missing");
}

TEST(Catalogue, LauncherVersion) {
  const auto bad = [](const std::string& version) {
    return "launcher.version: \"" + version + "\" is not MAJOR.MINOR.PATCH";
  };
  const std::string max = "18446744073709551615";
  runLauncherCases({
      {&LauncherDoc::version, str("01.2.3"), ""},
      {&LauncherDoc::version, str("0.0.0"), ""},
      {&LauncherDoc::version, str(max + "." + max + "." + max), ""},
      {&LauncherDoc::version, str("000000000000000000000000001.2.3"), ""},
      {&LauncherDoc::version, str("1.2"), bad("1.2")},
      {&LauncherDoc::version, str("1.2.3.4"), bad("1.2.3.4")},
      {&LauncherDoc::version, str("1..3"), bad("1..3")},
      {&LauncherDoc::version, str("v1.2.3"), bad("v1.2.3")},
      {&LauncherDoc::version, str(" 1.2.3"), bad(" 1.2.3")},
      {&LauncherDoc::version, str("1.2.3 "), bad("1.2.3 ")},
      {&LauncherDoc::version, str("1.2.3-beta"), bad("1.2.3-beta")},
      {&LauncherDoc::version, str(".1.2"), bad(".1.2")},
      {&LauncherDoc::version, str("1.2."), bad("1.2.")},
      {&LauncherDoc::version, str("1.+2.3"), bad("1.+2.3")},
      {&LauncherDoc::version, str(""), bad("")},
      {&LauncherDoc::version, str("1.2.18446744073709551616"), bad("1.2.18446744073709551616")},
      {&LauncherDoc::version, str("18446744073709551616.0.0"), bad("18446744073709551616.0.0")},
      {&LauncherDoc::version, str("99999999999999999999.0.0"), bad("99999999999999999999.0.0")},
      {&LauncherDoc::version, str("1.\xEF\xBC\x92.3"), bad("1.\xEF\xBC\x92.3")},
      {&LauncherDoc::version, "123", "launcher.version: must be a string"},
      {&LauncherDoc::version, "null", "launcher.version: must be a string"},
      {&LauncherDoc::version, kAbsent, "launcher.version: missing"},
  });
}

TEST(Catalogue, LauncherUrl) {
  const auto bad = [](const std::string& url) {
    return "launcher.url: \"" + url + "\" is not an absolute https:// URL";
  };
  runLauncherCases({
      {&LauncherDoc::url, str("HTTPS://cdn.example/v"), ""},
      {&LauncherDoc::url, str("https://"), bad("https://")},
      {&LauncherDoc::url, str("https:///v"), bad("https:///v")},
      {&LauncherDoc::url, str("http://cdn.example/v"), bad("http://cdn.example/v")},
      {&LauncherDoc::url, str("https://cdn example/v"), bad("https://cdn example/v")},
      {&LauncherDoc::url, str("https://cdn\\texample"), bad("https://cdn\texample")},
      {&LauncherDoc::url, "[]", "launcher.url: must be a string"},
      {&LauncherDoc::url, kAbsent, "launcher.url: missing"},
  });
}

TEST(Catalogue, LauncherSha256) {
  const std::string bad = "launcher.sha256: must be exactly 64 hex digits";
  const std::string sha = kSha;
  runLauncherCases({
      {&LauncherDoc::sha256, str("ABCDEF" + sha.substr(6)), ""},
      {&LauncherDoc::sha256, str(sha.substr(1)), bad},
      {&LauncherDoc::sha256, str(sha + "0"), bad},
      {&LauncherDoc::sha256, str("g" + sha.substr(1)), bad},
      {&LauncherDoc::sha256, str(sha.substr(1) + " "), bad},
      {&LauncherDoc::sha256, str(sha.substr(2) + "\xC3\xA9"), bad},
      {&LauncherDoc::sha256, str(""), bad},
      {&LauncherDoc::sha256, "1234", "launcher.sha256: must be a string"},
      {&LauncherDoc::sha256, kAbsent, "launcher.sha256: missing"},
  });
}

TEST(Catalogue, LauncherSize) {
  const std::string atLeast = "launcher.size: must be at least 1";
  const std::string integer = "launcher.size: must be an integer";
  runLauncherCases({
      {&LauncherDoc::size, "1", ""},
      {&LauncherDoc::size, "18446744073709551615", ""},
      {&LauncherDoc::size, "0", atLeast},
      {&LauncherDoc::size, "-1", atLeast},
      {&LauncherDoc::size, "-0", atLeast},
      {&LauncherDoc::size, "-9223372036854775808", atLeast},
      {&LauncherDoc::size, "18446744073709551616", integer},
      {&LauncherDoc::size, "-9223372036854775809", integer},
      {&LauncherDoc::size, "1e3", integer},
      {&LauncherDoc::size, "1.0", integer},
      {&LauncherDoc::size, "0.5", integer},
      {&LauncherDoc::size, "\"5\"", integer},
      {&LauncherDoc::size, "null", integer},
      {&LauncherDoc::size, "false", integer},
      {&LauncherDoc::size, kAbsent, "launcher.size: missing"},
  });
}

TEST(Catalogue, GamesArray) {
  struct Case {
    std::string raw;
    std::string error;
  };
  const std::vector<Case> cases = {
      {kAbsent, "games: missing"},
      {"{}", "games: must be an array"},
      {"\"alpha\"", "games: must be an array"},
      {"null", "games: must be an array"},
      {"[]", "games: has no entries"},
      {"[1]", "games[0]: must be an object"},
      {"[" + GameDoc{}.text() + ",[]]", "games[1]: must be an object"},
      {"[" + GameDoc{}.text() + ",null]", "games[1]: must be an object"},
  };
  for (const Case& c : cases) {
    CatalogueDoc doc;
    doc.gamesRaw = c.raw;
    expectFailure(doc.text(), c.error);
  }
}

TEST(Catalogue, GameId) {
  const auto bad = [](const std::string& id) {
    return "games[1].id: \"" + id + "\" must be 1-32 characters from a-z, 0-9 and -";
  };
  const std::string longest(32, 'z');
  runGameCases({
      {&GameDoc::id, str("a-1"), ""},
      {&GameDoc::id, str("-"), ""},
      {&GameDoc::id, str("0123456789"), ""},
      {&GameDoc::id, str(longest), ""},
      {&GameDoc::id, str(longest + "z"), bad(longest + "z")},
      {&GameDoc::id, str(""), bad("")},
      {&GameDoc::id, str("Beta"), bad("Beta")},
      {&GameDoc::id, str("beta_2"), bad("beta_2")},
      {&GameDoc::id, str("beta 2"), bad("beta 2")},
      {&GameDoc::id, str("b\xC3\xA9ta"), bad("b\xC3\xA9ta")},
      {&GameDoc::id, str("beta."), bad("beta.")},
      {&GameDoc::id, "2", "games[1].id: must be a string"},
      {&GameDoc::id, kAbsent, "games[1].id: missing"},
  });
}

TEST(Catalogue, GameName) {
  runGameCases({
      {&GameDoc::name, str(" "), ""},
      {&GameDoc::name, str("\\u0000"), ""},
      {&GameDoc::name, str(""), "games[1].name: is empty"},
      {&GameDoc::name, "{}", "games[1].name: must be a string"},
      {&GameDoc::name, kAbsent, "games[1].name: missing"},
  });
}

TEST(Catalogue, GameExe) {
  const auto notPlain = [](const std::string& exe, const std::string& reason) {
    return "games[1].exe: \"" + exe + "\" is not a plain file name (" + reason + ")";
  };
  runGameCases({
      {&GameDoc::exe, str("BETA.EXE"), ""},
      {&GameDoc::exe, str("beta.Exe"), ""},
      {&GameDoc::exe, str(""), notPlain("", "is empty")},
      {&GameDoc::exe, str("bin/beta.exe"), notPlain("bin/beta.exe", "contains /")},
      {&GameDoc::exe, str("bin\\\\beta.exe"), notPlain("bin\\beta.exe", "contains \\")},
      {&GameDoc::exe, str("c:beta.exe"), notPlain("c:beta.exe", "contains :")},
      {&GameDoc::exe, str("beta?.exe"),
       notPlain("beta?.exe", "contains a character Windows does not allow (< > \" | ? *)")},
      {&GameDoc::exe, str("beta\\u0001.exe"),
       notPlain("beta\x01.exe", "contains a control character")},
      {&GameDoc::exe, str("beta..exe"), notPlain("beta..exe", "contains ..")},
      {&GameDoc::exe, str(" beta.exe"), notPlain(" beta.exe", "starts with a space")},
      {&GameDoc::exe, str("beta.exe "), notPlain("beta.exe ", "ends with a space")},
      {&GameDoc::exe, str("beta.exe."), notPlain("beta.exe.", "ends with .")},
      {&GameDoc::exe, str("COM1.exe"), notPlain("COM1.exe", "is a Windows reserved device name")},
      {&GameDoc::exe, str(std::string(256, 'b')),
       notPlain(std::string(256, 'b'), "is longer than 255 characters")},
      {&GameDoc::exe, str("beta"), "games[1].exe: \"beta\" does not end in .exe"},
      {&GameDoc::exe, str("beta.ex"), "games[1].exe: \"beta.ex\" does not end in .exe"},
      {&GameDoc::exe, str("exe"), "games[1].exe: \"exe\" does not end in .exe"},
      {&GameDoc::exe, "true", "games[1].exe: must be a string"},
      {&GameDoc::exe, kAbsent, "games[1].exe: missing"},
  });
}

TEST(Catalogue, GameSteamAppId) {
  const std::string atLeast = "games[1].steam_appid: must be at least 0";
  const std::string integer = "games[1].steam_appid: must be an integer";
  runGameCases({
      {&GameDoc::steam_appid, "0", ""},
      {&GameDoc::steam_appid, "18446744073709551615", ""},
      {&GameDoc::steam_appid, "-0", atLeast},
      {&GameDoc::steam_appid, "-1", atLeast},
      {&GameDoc::steam_appid, "18446744073709551616", integer},
      {&GameDoc::steam_appid, "480.0", integer},
      {&GameDoc::steam_appid, "4.8e2", integer},
      {&GameDoc::steam_appid, "\"480\"", integer},
      {&GameDoc::steam_appid, kAbsent, "games[1].steam_appid: missing"},
  });
}

TEST(Catalogue, FreshnessFieldsAreOptional) {
  const CatalogueResult without = expectSuccess(CatalogueDoc().text());
  EXPECT_FALSE(without.catalogue.serial.has_value());
  EXPECT_EQ(without.catalogue.expires, "");
  EXPECT_EQ(without.catalogue.expiresAt, 0);
  EXPECT_FALSE(without.catalogue.games[0].manifestSha256.has_value());

  CatalogueDoc doc;
  doc.serial = "1733650000";
  doc.expires = str("2027-01-31T23:59:59Z");
  doc.games[0].manifest_sha256 = str(kSha);
  const CatalogueResult with = expectSuccess(doc.text());
  EXPECT_EQ(with.catalogue.serial, std::optional<uint64_t>(1733650000));
  EXPECT_EQ(with.catalogue.expires, "2027-01-31T23:59:59Z");
  EXPECT_EQ(with.catalogue.expiresAt, 1801439999);
  ASSERT_TRUE(with.catalogue.games[0].manifestSha256.has_value());
  EXPECT_EQ(sha256Hex(*with.catalogue.games[0].manifestSha256), kSha);
}

TEST(Catalogue, SerialExpiresAndManifestDigestWhenPresent) {
  struct Case {
    std::string CatalogueDoc::*field;  // null: the first game's manifest_sha256
    std::string raw;
    std::string error;
  };
  const std::string serialRange = "serial: must be at least 1";
  const std::string serialInteger = "serial: must be an integer";
  const auto notTime = [](const std::string& text) {
    return "expires: \"" + text + "\" is not a UTC time YYYY-MM-DDTHH:MM:SSZ";
  };
  const std::string digest = "games[0].manifest_sha256: must be exactly 64 hex digits";
  const Case cases[] = {
      {&CatalogueDoc::serial, "1", ""},
      {&CatalogueDoc::serial, "9007199254740991", ""},
      {&CatalogueDoc::serial, "9007199254740992", "serial: must be at most 9007199254740991"},
      {&CatalogueDoc::serial, "18446744073709551615", "serial: must be at most 9007199254740991"},
      {&CatalogueDoc::serial, "0", serialRange},
      {&CatalogueDoc::serial, "-5", serialRange},
      {&CatalogueDoc::serial, "1.5", serialInteger},
      {&CatalogueDoc::serial, "\"7\"", serialInteger},
      {&CatalogueDoc::serial, "null", serialInteger},
      {&CatalogueDoc::expires, str("2024-02-29T00:00:00Z"), ""},
      {&CatalogueDoc::expires, str("1970-01-01T00:00:00Z"), ""},
      {&CatalogueDoc::expires, "20270101", "expires: must be a string"},
      {&CatalogueDoc::expires, str("2023-02-29T00:00:00Z"), notTime("2023-02-29T00:00:00Z")},
      {&CatalogueDoc::expires, str("2027-13-01T00:00:00Z"), notTime("2027-13-01T00:00:00Z")},
      {&CatalogueDoc::expires, str("2027-01-01T24:00:00Z"), notTime("2027-01-01T24:00:00Z")},
      {&CatalogueDoc::expires, str("2027-01-01T23:59:60Z"), notTime("2027-01-01T23:59:60Z")},
      {&CatalogueDoc::expires, str("2027-01-01 00:00:00Z"), notTime("2027-01-01 00:00:00Z")},
      {&CatalogueDoc::expires, str("2027-01-01T00:00:00+01:00"),
       notTime("2027-01-01T00:00:00+01:00")},
      {&CatalogueDoc::expires, str("2027-01-01T00:00:00z"), notTime("2027-01-01T00:00:00z")},
      {&CatalogueDoc::expires, str("2027-1-01T00:00:00Z"), notTime("2027-1-01T00:00:00Z")},
      {&CatalogueDoc::expires, str(""), notTime("")},
      {nullptr, str(std::string(kSha).substr(0, 63)), digest},
      {nullptr, str(std::string(kSha) + "0"), digest},
      {nullptr, str(std::string(63, 'a') + "g"), digest},
      {nullptr, "12", "games[0].manifest_sha256: must be a string"},
      {nullptr, str("ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789"), ""},
  };
  for (const Case& c : cases) {
    CatalogueDoc doc;
    if (c.field == nullptr) {
      doc.games[0].manifest_sha256 = c.raw;
    } else {
      doc.*c.field = c.raw;
    }
    if (c.error.empty()) {
      expectSuccess(doc.text());
    } else {
      expectFailure(doc.text(), c.error);
    }
  }
}

TEST(Catalogue, GameManifest) {
  const auto bad = [](const std::string& url) {
    return "games[1].manifest: \"" + url + "\" is not an absolute https:// URL";
  };
  runGameCases({
      {&GameDoc::manifest, str("HTTPS://cdn.example/m.json"), ""},
      {&GameDoc::manifest, str("https://"), bad("https://")},
      {&GameDoc::manifest, str("https:///m.json"), bad("https:///m.json")},
      {&GameDoc::manifest, str("https://?m"), bad("https://?m")},
      {&GameDoc::manifest, str("https://#m"), bad("https://#m")},
      {&GameDoc::manifest, str("http://cdn.example/m.json"), bad("http://cdn.example/m.json")},
      {&GameDoc::manifest, str("https://cdn.example/a b"), bad("https://cdn.example/a b")},
      {&GameDoc::manifest, "1", "games[1].manifest: must be a string"},
      {&GameDoc::manifest, kAbsent, "games[1].manifest: missing"},
  });
}

TEST(Catalogue, GameLauncher) {
  runGameCases({
      {&GameDoc::launcher, str("COOP.EXE"), ""},
      {&GameDoc::launcher, str("alpha.exe"), ""},  // may equal an exe name
      {&GameDoc::launcher, str("../coop.exe"),
       "games[1].launcher: \"../coop.exe\" is not a plain file name (contains /)"},
      {&GameDoc::launcher, str("nul.exe"),
       "games[1].launcher: \"nul.exe\" is not a plain file name (is a Windows reserved device "
       "name)"},
      {&GameDoc::launcher, str("coop.bat"), "games[1].launcher: \"coop.bat\" does not end in .exe"},
      {&GameDoc::launcher, "[]", "games[1].launcher: must be a string"},
      {&GameDoc::launcher, kAbsent, "games[1].launcher: missing"},
  });
}

TEST(Catalogue, Duplicates) {
  struct Case {
    std::vector<GameDoc> games;
    std::string error;
  };
  GameDoc alpha;
  GameDoc sameId = secondGame();
  sameId.id = alpha.id;
  GameDoc sameExe = secondGame();
  sameExe.exe = str("ALPHA.exe");
  GameDoc sameBoth = sameExe;
  sameBoth.id = alpha.id;
  GameDoc sameIdBadLauncher = sameId;
  sameIdBadLauncher.launcher = str("coop");
  GameDoc third = secondGame();
  third.id = str("gamma");
  third.exe = str("gamma.exe");
  GameDoc lateExe = secondGame();
  lateExe.id = str("delta");
  lateExe.exe = str("Alpha.Exe");
  const std::vector<Case> cases = {
      {{alpha, sameId}, "games[1].id: \"alpha\" appears twice"},
      {{alpha, sameExe}, "games[1].exe: \"ALPHA.exe\" appears twice"},
      {{alpha, sameBoth}, "games[1].id: \"alpha\" appears twice"},
      {{alpha, sameIdBadLauncher}, "games[1].launcher: \"coop\" does not end in .exe"},
      {{alpha, third, lateExe}, "games[2].exe: \"Alpha.Exe\" appears twice"},
  };
  for (const Case& c : cases) {
    CatalogueDoc doc;
    doc.games = c.games;
    expectFailure(doc.text(), c.error);
  }
}

TEST(Catalogue, FirstFailureInOrderOfChecks) {
  struct Case {
    std::string name;
    void (*edit)(CatalogueDoc&);
    std::string error;
  };
  const std::vector<Case> cases = {
      {"schema before games",
       [](CatalogueDoc& d) {
         d.schema = "2";
         d.gamesRaw = kAbsent;
       },
       "schema: 2 is not a format this launcher knows (only 1)"},
      {"schema before launcher",
       [](CatalogueDoc& d) {
         d.schema = "\"1\"";
         d.launcherRaw = "[]";
       },
       "schema: must be an integer"},
      {"launcher before games",
       [](CatalogueDoc& d) {
         d.launcher.sha256 = str("x");
         d.games[0].id = str("BAD");
       },
       "launcher.sha256: must be exactly 64 hex digits"},
      {"version before url",
       [](CatalogueDoc& d) {
         d.launcher.version = str("1");
         d.launcher.url = kAbsent;
       },
       "launcher.version: \"1\" is not MAJOR.MINOR.PATCH"},
      {"url before sha256",
       [](CatalogueDoc& d) {
         d.launcher.url = "1";
         d.launcher.sha256 = "1";
       },
       "launcher.url: must be a string"},
      {"sha256 before size",
       [](CatalogueDoc& d) {
         d.launcher.sha256 = kAbsent;
         d.launcher.size = "0";
       },
       "launcher.sha256: missing"},
      {"id before name",
       [](CatalogueDoc& d) {
         d.games[0].id = str("");
         d.games[0].name = str("");
       },
       "games[0].id: \"\" must be 1-32 characters from a-z, 0-9 and -"},
      {"name before exe",
       [](CatalogueDoc& d) {
         d.games[0].name = str("");
         d.games[0].exe = str("a/b");
       },
       "games[0].name: is empty"},
      {"exe before steam_appid",
       [](CatalogueDoc& d) {
         d.games[0].exe = str("alpha");
         d.games[0].steam_appid = "-1";
       },
       "games[0].exe: \"alpha\" does not end in .exe"},
      {"steam_appid before manifest",
       [](CatalogueDoc& d) {
         d.games[0].steam_appid = "-1";
         d.games[0].manifest = kAbsent;
       },
       "games[0].steam_appid: must be at least 0"},
      {"manifest before launcher",
       [](CatalogueDoc& d) {
         d.games[0].manifest = str("http://x");
         d.games[0].launcher = kAbsent;
       },
       "games[0].manifest: \"http://x\" is not an absolute https:// URL"},
      {"earlier entry first",
       [](CatalogueDoc& d) {
         d.games.push_back(secondGame());
         d.games[0].launcher = str("coop");
         d.games[1].id = str("BAD");
       },
       "games[0].launcher: \"coop\" does not end in .exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CatalogueDoc doc;
    c.edit(doc);
    expectFailure(doc.text(), c.error);
  }
}

TEST(Catalogue, FailureDropsEarlierEntries) {
  CatalogueDoc doc;
  doc.games.push_back(secondGame());
  GameDoc bad = secondGame();
  bad.id = str("gamma");
  bad.exe = str("gamma.exe");
  bad.manifest = str("https://");
  doc.games.push_back(bad);
  expectFailure(doc.text(), "games[2].manifest: \"https://\" is not an absolute https:// URL");
}

TEST(Catalogue, ValuesInsertedUnescaped) {
  CatalogueDoc doc;
  doc.launcher.version = str("\\\"1\\\\2\\n");
  expectFailure(doc.text(), "launcher.version: \"\"1\\2\n\" is not MAJOR.MINOR.PATCH");
}

TEST(Catalogue, DeepNestingInIgnoredKeyDoesNotCrash) {
  const size_t depth = 100000;
  const std::string nested = std::string(depth, '[') + std::string(depth, ']');
  const std::string valid = CatalogueDoc{}.text();
  expectSuccess("{\"deep\":" + nested + "," + valid.substr(1));
  expectFailure("{\"deep\":" + std::string(depth, '['), "not valid JSON");
}

}  // namespace
}  // namespace velm
