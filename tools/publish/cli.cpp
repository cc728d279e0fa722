#include "cli.h"

#include <ctime>
#include <filesystem>
#include <optional>
#include <system_error>

#include "arguments.h"
#include "documents.h"
#include "freshness.h"
#include "package/package_folder.h"
#include "publish.h"
#include "signing_key.h"
#include "text/path_text.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

const char kToolHelp[] =
    "usage: velm-publish COMMAND [OPTIONS]\n"
    "\n"
    "The publisher's tool for a Velm Co-op catalogue. Its checks and its signature check are\n"
    "the launcher's own code: what it accepts and signs, the launcher accepts.\n"
    "\n"
    "Commands:\n"
    "  keygen KEY.pem      make a new Ed25519 private key, print its public key\n"
    "  public-key KEY.pem  print the public key of a private key\n"
    "  manifest FOLDER     write manifest.json for a folder of package files\n"
    "  check FILE          check a catalogue or manifest as the launcher will\n"
    "  sign FILE           check a catalogue or manifest, then write FILE.sig\n"
    "  verify FILE         check FILE.sig against the launcher's public keys\n"
    "  publish             write a complete signed static tree for a catalogue\n"
    "\n"
    "\"velm-publish COMMAND --help\" shows a command's options. Public keys are 64 hex digits,\n"
    "the form VELM_TRUSTED_KEYS takes. Exit status: 0 done, 1 refused or failed (the reason is\n"
    "on standard error), 2 wrong usage.\n";

const char kKeygenHelp[] =
    "usage: velm-publish keygen KEY.pem\n"
    "\n"
    "Writes a new Ed25519 private key to KEY.pem (PEM, readable only by its owner) and prints\n"
    "its public key as 64 hex digits for VELM_TRUSTED_KEYS. An existing KEY.pem is never\n"
    "overwritten. Keep the private key off every public host; a launcher build trusts its\n"
    "public half for as long as that build is in use.\n";

const char kPublicKeyHelp[] =
    "usage: velm-publish public-key KEY.pem\n"
    "\n"
    "Prints the public key of the Ed25519 private key in KEY.pem as 64 hex digits.\n";

const char kManifestHelp[] =
    "usage: velm-publish manifest --version V --launcher NAME [--optional NAME]... FOLDER\n"
    "                             [-o OUT]\n"
    "\n"
    "Writes the manifest of the package in FOLDER: every file in it (symbolic links followed)\n"
    "with its size and SHA-256, in name order. A sub-folder, a name the launcher would refuse,\n"
    "or a missing co-op launcher file is an error, with the launcher's reason.\n"
    "\n"
    "  --version V      the package version, N or X.Y.Z\n"
    "  --launcher NAME  the co-op launcher file; it must be in FOLDER and is always required\n"
    "  --optional NAME  a file the launcher may skip when it cannot fetch it; repeatable\n"
    "  -o, --out OUT    where to write (default FOLDER/manifest.json); OUT and OUT.sig are not\n"
    "                   package files when they lie in FOLDER\n";

const char kCheckHelp[] =
    "usage: velm-publish check [--as catalogue|manifest] [--launcher NAME] FILE\n"
    "\n"
    "Checks FILE as the launcher will and prints the launcher's reason when it would refuse it.\n"
    "A file named games.json, or a JSON object with a \"games\" key, is a catalogue; anything\n"
    "else a manifest, unless --as says otherwise.\n"
    "\n"
    "  --as KIND        catalogue or manifest\n"
    "  --launcher NAME  for a manifest: the co-op launcher the catalogue names, which the\n"
    "                   manifest must list as required\n"
    "\n"
    "A catalogue whose \"expires\" has passed is refused, as every launcher refuses it. After\n"
    "the verdict come the fields a launcher uses to refuse an older copy in this one's place:\n"
    "  serial: N                       or \"none\"\n"
    "  expires: DATE                   a catalogue's; or \"never\"\n"
    "  game ID: manifest_sha256 HEX    for each game of a catalogue; or \"none\"\n"
    "  sha256: HEX                     a manifest's own digest, which its game's\n"
    "                                  manifest_sha256 must name\n";

const char kSignHelp[] =
    "usage: velm-publish sign --key KEY.pem [--as catalogue|manifest] [--launcher NAME]\n"
    "                         [--launcher-key HEX]... FILE\n"
    "\n"
    "Checks FILE as \"check\" does and, only when the launcher would accept it, writes FILE.sig:\n"
    "128 hex digits and a line feed. The new signature is checked with the launcher's verifier\n"
    "before it is written.\n"
    "\n"
    "  --key KEY.pem        the Ed25519 private key (PEM)\n"
    "  --as, --launcher     as for \"check\"\n"
    "  --launcher-key HEX   refuse unless the signature verifies under these keys (those built\n"
    "                       into the shipped launcher); repeatable, or ';'-separated\n";

const char kVerifyHelp[] =
    "usage: velm-publish verify --launcher-key HEX [--launcher-key HEX]... FILE [--sig SIG]\n"
    "\n"
    "Checks the detached signature of FILE (default SIG: FILE.sig) with the launcher's own\n"
    "verifier against the given public keys; prints the launcher's reason when it fails.\n"
    "\n"
    "  --launcher-key HEX  a public key, 64 hex digits; repeatable, or ';'-separated\n"
    "  --sig SIG           the signature file\n"
    "\n"
    "When the signature matches and the launcher's validator reads FILE, the lines of\n"
    "\"check\" follow: its serial, expiry and manifest digests.\n";

const char kPublishHelp[] =
    "usage: velm-publish publish --catalogue games.json --host HOST --key KEY.pem\n"
    "                            --launcher-key HEX... --package ID=FOLDER...\n"
    "                            [--launcher-build FILE [--allow-test-build]] [--serial N]\n"
    "                            [--expires-in DAYS] [--previous DIR] -o OUT\n"
    "\n"
    "Writes OUT, a static tree ready to copy to any HTTPS host or CDN, one folder per host:\n"
    "  OUT/HOST/games.json(.sig)  the catalogue and its signature; serve OUT/HOST/ as the\n"
    "                             document root of HOST\n"
    "  OUT/MHOST/MPATH(.sig)      each game's manifest and its signature, at its \"manifest\" URL\n"
    "  OUT/MHOST/MDIR/NAME        each file the manifest lists, beside it\n"
    "  OUT/BHOST/BPATH            with --launcher-build, the build at its \"launcher.url\"\n"
    "A URL's folder is its host in lower case (port kept) followed by its path with every %XX\n"
    "decoded, as a static server maps requests to files; a file the launcher requests as\n"
    "my%20mod.dll is stored as \"my mod.dll\". The query and fragment play no part.\n"
    "\n"
    "  --catalogue FILE       games.json as the team wrote it; published with a 2-space\n"
    "                         indent and the fields below, every other key kept in place\n"
    "  --host HOST            the catalogue host the launcher was built with\n"
    "                         (VELM_CATALOGUE_HOST), with its :port if it has one\n"
    "  --key KEY.pem          the private key; its public half must be a --launcher-key\n"
    "  --launcher-key HEX     a key built into the shipped launcher; repeatable, or\n"
    "                         ';'-separated as VELM_TRUSTED_KEYS takes them\n"
    "  --package ID=FOLDER    game ID's package: FOLDER/manifest.json (see \"manifest\") and the\n"
    "                         files it lists; one for every game of the catalogue\n"
    "  --launcher-build FILE  set launcher.sha256 and launcher.size from FILE and publish\n"
    "                         FILE too; FILE must be a launcher built with VELM_RELEASE=ON,\n"
    "                         for HOST, and with the public half of KEY.pem among its keys\n"
    "  --allow-test-build     accept a --launcher-build made without VELM_RELEASE, for tests\n"
    "                         and the demo: never for players\n"
    "  --serial N             the \"serial\" of the catalogue and of every manifest, 1 to\n"
    "                         9007199254740991 (default: the current Unix time in seconds).\n"
    "                         A launcher refuses a document with a lower serial than the copy\n"
    "                         it saved, so serials must never go down\n"
    "  --expires-in DAYS      write \"expires\", now + DAYS days (1 to 36500): no launcher\n"
    "                         accepts the catalogue after that, so publish again before then\n"
    "  --previous DIR         the OUT of an earlier publication: refuse a serial lower than its\n"
    "                         catalogue's or than any of its manifests'\n"
    "  -o, --out OUT          the tree to write; must be missing or an empty folder\n"
    "\n"
    "Each game's \"manifest_sha256\" is set to the SHA-256 of its manifest as published, and\n"
    "each manifest gets \"serial\" after \"version\". These fields are the tool's: what FILE\n"
    "or a manifest holds in their place is replaced, and an \"expires\" without --expires-in\n"
    "is dropped.\n"
    "\n"
    "Nothing is written unless every document passes the launcher's checks, the key is one\n"
    "the launcher trusts, every listed file matches its manifest, and no two files need the\n"
    "same path.\n";

struct Command {
  const char* name;
  const char* help;
  std::vector<Option> options;  // every option takes a value
  size_t positionals;
  int (*run)(const Arguments&, std::ostream&, std::ostream&);
};

// A catalogue may ask for at most this many days before it expires: a century.
constexpr uint64_t kMaxExpiryDays = 36500;

int refuse(std::ostream& err, const std::string& text) {
  err << "velm-publish: " << text << "\n";
  return 1;
}

// Seconds since 1970-01-01 UTC.
int64_t unixNow() { return static_cast<int64_t>(std::time(nullptr)); }

// Gathers the keys of every --launcher-key value.
bool readKeys(const Arguments& args, std::vector<TrustedKey>& keys, std::ostream& err) {
  for (const std::string& value : args.all("--launcher-key")) {
    std::string error;
    if (!parsePublicKeys(value, keys, &error)) {
      refuse(err, "--launcher-key: " + error);
      return false;
    }
  }
  return true;
}

int runKeygen(const Arguments& args, std::ostream& out, std::ostream& err) {
  SigningKey key;
  std::string error;
  if (!SigningKey::generate(key, &error) || !key.writeNew(args.positionals[0], &error)) {
    return refuse(err, error);
  }
  out << publicKeyHex(key.publicKey()) << "\n";
  return 0;
}

int runPublicKey(const Arguments& args, std::ostream& out, std::ostream& err) {
  SigningKey key;
  std::string error;
  if (!SigningKey::load(args.positionals[0], key, &error)) return refuse(err, error);
  out << publicKeyHex(key.publicKey()) << "\n";
  return 0;
}

int runManifest(const Arguments& args, std::ostream& out, std::ostream& err) {
  ManifestRequest request{args.positionals[0],
                          args.one("--version"),
                          args.one("--launcher"),
                          args.all("--optional"),
                          {}};
  std::string output = args.one("--out");
  if (output.empty()) output = pathToUtf8(joinPath(pathFromUtf8(request.folder), kManifestName));
  // The manifest and its signature beside the package files are not package files.
  const fs::path outPath = fs::u8path(output);
  std::error_code code;
  const fs::path outFolder = outPath.parent_path().empty() ? "." : outPath.parent_path();
  if (fs::equivalent(outFolder, fs::u8path(request.folder), code)) {
    request.ignored = {outPath.filename().u8string(), outPath.filename().u8string() + ".sig"};
  }
  std::string text, error;
  if (!buildManifest(request, text, &error)) return refuse(err, error);
  if (!saveFile(fs::u8path(output), text)) return refuse(err, "could not write " + output);
  out << "wrote " << output << "\n";
  return 0;
}

// True when the launcher would accept the document in path; else reports its reason.
bool checkFile(const Arguments& args, const std::string& path, std::string& text,
               DocumentKind& kind, std::ostream& err) {
  std::string error;
  const std::string as = args.one("--as");
  if (!as.empty() && as != "catalogue" && as != "manifest") {
    refuse(err, "--as takes catalogue or manifest, not " + as);
    return false;
  }
  if (!readDocument(path, text, &error)) {
    refuse(err, error);
    return false;
  }
  kind = as.empty()          ? guessDocumentKind(path, text)
         : as == "catalogue" ? DocumentKind::Catalogue
                             : DocumentKind::Manifest;
  const bool catalogue = kind == DocumentKind::Catalogue;
  Catalogue parsed;
  std::string problem = catalogue ? checkCatalogue(text, &parsed)
                                  : checkManifest(text, args.one("--launcher"), nullptr);
  // Every launcher refuses a catalogue past its expiry; a check is a launch without a saved copy.
  std::string stale;
  if (catalogue && problem.empty() &&
      !isCurrentCatalogue(parsed, std::nullopt, unixNow(), &stale)) {
    problem = stale;
  }
  if (problem.empty()) return true;
  refuse(err, path + ": the launcher would refuse this " +
                  (catalogue ? "catalogue: " : "manifest: ") + problem);
  return false;
}

int runCheck(const Arguments& args, std::ostream& out, std::ostream& err) {
  std::string text;
  DocumentKind kind;
  if (!checkFile(args, args.positionals[0], text, kind, err)) return 1;
  out << args.positionals[0] << ": the launcher accepts it\n" << describeFreshness(kind, text);
  return 0;
}

int runSign(const Arguments& args, std::ostream& out, std::ostream& err) {
  const std::string& path = args.positionals[0];
  std::vector<TrustedKey> keys;
  SigningKey key;
  std::string text, signature, error;
  DocumentKind kind;
  if (!readKeys(args, keys, err)) return 1;
  if (!SigningKey::load(args.one("--key"), key, &error)) return refuse(err, error);
  if (!checkFile(args, path, text, kind, err)) return 1;
  // The name the launcher gives the document in its signature messages.
  const std::string label = kind == DocumentKind::Catalogue ? kCatalogueName : "the manifest";
  if (!signDocument(key, label, text, keys, signature, &error)) {
    return refuse(err, path + ": not signed: " + error);
  }
  if (!saveFile(fs::u8path(path + ".sig"), signature)) {
    return refuse(err, "could not write " + path + ".sig");
  }
  out << "wrote " << path << ".sig\n";
  return 0;
}

int runVerify(const Arguments& args, std::ostream& out, std::ostream& err) {
  const std::string& path = args.positionals[0];
  std::string sigPath = args.one("--sig");
  if (sigPath.empty()) sigPath = path + ".sig";
  std::vector<TrustedKey> keys;
  std::string document, signature, error;
  if (!readKeys(args, keys, err)) return 1;
  if (!readDocument(path, document, &error) || !readDocument(sigPath, signature, &error)) {
    return refuse(err, error);
  }
  const std::string problem = verifySignature(path, document, signature, keys);
  if (!problem.empty()) return refuse(err, problem);
  out << path << ": the signature matches\n"
      << describeFreshness(guessDocumentKind(path, document), document);
  return 0;
}

int runPublish(const Arguments& args, std::ostream& out, std::ostream& err) {
  PublishRequest request;
  request.catalogue = args.one("--catalogue");
  request.host = args.one("--host");
  request.key = args.one("--key");
  request.launcherBuild = args.one("--launcher-build");
  request.allowTestBuild = args.has("--allow-test-build");
  request.out = args.one("--out");
  request.previous = args.one("--previous");
  // Unix time is the default serial: it grows between publications without any bookkeeping.
  const int64_t now = unixNow();
  request.serial = static_cast<uint64_t>(now);
  if (args.has("--serial") && !parseCount(args.one("--serial"), kMaxSerial, request.serial)) {
    err << "velm-publish: --serial takes a whole number from 1 to " << kMaxSerial << ", not "
        << args.one("--serial") << "\n";
    return 2;
  }
  if (args.has("--expires-in")) {
    uint64_t days = 0;
    if (!parseCount(args.one("--expires-in"), kMaxExpiryDays, days)) {
      err << "velm-publish: --expires-in takes a whole number of days from 1 to " << kMaxExpiryDays
          << ", not " << args.one("--expires-in") << "\n";
      return 2;
    }
    request.expires = formatUtcTime(now + static_cast<int64_t>(days) * 86400);
  }
  for (const std::string& value : args.all("--package")) {
    const size_t equals = value.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == value.size()) {
      err << "velm-publish: --package takes ID=FOLDER, not " << value << "\n";
      return 2;
    }
    request.packages.emplace_back(value.substr(0, equals), value.substr(equals + 1));
  }
  if (!readKeys(args, request.launcherKeys, err)) return 1;
  std::string error;
  if (!publishSite(request, &error)) return refuse(err, error);
  out << "wrote " << request.out << "\nserial: " << request.serial << "\n";
  if (!request.expires.empty()) out << "expires: " << request.expires << "\n";
  return 0;
}

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"keygen", kKeygenHelp, {}, 1, runKeygen},
      {"public-key", kPublicKeyHelp, {}, 1, runPublicKey},
      {"manifest",
       kManifestHelp,
       {{"--version", true}, {"--launcher", true}, {"--optional", false}, {"--out", false}},
       1,
       runManifest},
      {"check", kCheckHelp, {{"--as", false}, {"--launcher", false}}, 1, runCheck},
      {"sign",
       kSignHelp,
       {{"--key", true}, {"--as", false}, {"--launcher", false}, {"--launcher-key", false}},
       1,
       runSign},
      {"verify", kVerifyHelp, {{"--launcher-key", true}, {"--sig", false}}, 1, runVerify},
      {"publish",
       kPublishHelp,
       {{"--catalogue", true},
        {"--host", true},
        {"--key", true},
        {"--launcher-key", true},
        {"--package", true},
        {"--launcher-build", false},
        {"--allow-test-build", false, true},
        {"--serial", false},
        {"--expires-in", false},
        {"--previous", false},
        {"--out", true}},
       0,
       runPublish},
  };
  return table;
}

}  // namespace

int runPublishTool(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
  if (arguments.empty()) {
    err << kToolHelp;
    return 2;
  }
  const std::string& name = arguments[0];
  if (name == "--help" || name == "-h" || name == "help") {
    out << kToolHelp;
    return 0;
  }
  for (const Command& command : commands()) {
    if (name != command.name) continue;
    Arguments parsed;
    bool help = false;
    std::string error;
    if (!parseArguments(command.options, command.positionals, arguments, parsed, help, &error)) {
      err << "velm-publish " << name << ": " << error << " (see velm-publish " << name
          << " --help)\n";
      return 2;
    }
    if (help) {
      out << command.help;
      return 0;
    }
    return command.run(parsed, out, err);
  }
  err << "velm-publish: unknown command " << name << " (see velm-publish --help)\n";
  return 2;
}

}  // namespace velm
