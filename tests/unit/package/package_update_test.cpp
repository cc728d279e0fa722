#include "package/package_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "net/sha256.h"
#include "net/url.h"
#include "os/file_move.h"
#include "os/name_compare.h"
#include "os/os_error.h"
#include "package/package_folder.h"
#include "package/progress_line.h"
#include "package/verified_files.h"
#include "support/fake_net.h"
#include "support/fake_retry_clock.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "support/test_signer.h"
#include "unit/os/link_maker.h"

namespace velm {
namespace {

namespace fs = std::filesystem;

const char kManifestUrl[] = "https://cdn.test/g/manifest.json";
const char kSignatureUrl[] = "https://cdn.test/g/manifest.json.sig";
const char kFileBase[] = "https://cdn.test/g/";

#ifdef _WIN32
constexpr bool kFoldsEveryLetter = true;  // NTFS keeps one of Ä.dll and ä.dll
#else
constexpr bool kFoldsEveryLetter = false;
#endif

ManifestFile fileEntry(const std::string& name, const std::string& content, bool required = true) {
  ManifestFile file;
  file.name = name;
  file.size = content.size();
  file.sha256 = sha256Of(content);
  file.required = required;
  return file;
}

Manifest manifestOf(const std::vector<ManifestFile>& files) {
  Manifest manifest;
  manifest.version = "1.2.3";
  manifest.files = files;
  return manifest;
}

// What the move of a file over a folder that holds a file says on this platform.
std::string moveOverFolderMessage(const TempDir& dir) {
  fs::path source = dir.write("probe/file.new", "x");
  dir.write("probe/folder/inside", "x");
  std::error_code error;
  EXPECT_FALSE(moveReplacing(source, dir.path() / "probe" / "folder", error));
  return systemErrorMessage(error);
}

class PackageUpdate : public ::testing::Test {
 protected:
  PackageUpdate() : folder_(dir_.path() / "Velm Co-op") {
    fs::path progressPath = dir_.path() / "progress.txt";
    progress_ = std::fopen(progressPath.string().c_str(), "w+b");
  }
  ~PackageUpdate() override {
    if (progress_) std::fclose(progress_);
  }

  const fs::path& folder() const { return folder_; }

  // Serves the signed manifest; `contents` are served beside it, one per file.
  std::string publish(const std::vector<ManifestFile>& files,
                      const std::vector<std::string>& contents) {
    std::string document = manifestJson(manifestOf(files));
    serveSigned(net_, kManifestUrl, document);
    for (size_t i = 0; i < contents.size(); ++i) {
      net_.serve(kFileBase + files[i].name, contents[i]);
    }
    return document;
  }

  void install(const std::string& name, const std::string& content) {
    dir_.write("Velm Co-op/" + name, content);
  }
  std::string installed(const std::string& name) const { return dir_.read("Velm Co-op/" + name); }

  // Held files are waited for on a clock that does not really wait: Windows answers a move over
  // a folder with access denied, which the update takes for a held file.
  void run(const std::string& launcher = "coop.exe", bool fullCheck = false) {
    updatePackage(result_, folder(), kManifestUrl, launcher, net_, progress_, keys_, ManifestPin(),
                  &held_, fullCheck);
  }

  std::string printed() {
    std::fflush(progress_);
    std::ifstream stream(dir_.path() / "progress.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  }

  // Every ".new" file in the package folder: none should outlive a run.
  std::vector<std::string> leftoverNewFiles() const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(folder_, error)) {
      std::string name = item.path().filename().u8string();
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0) found.push_back(name);
    }
    return found;
  }

  // Every file below the package folder with its content ("name/" for a folder), but the record
  // of verified files, which each run that reads a file writes.
  std::map<std::string, std::string> tree() const {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(folder_)) {
      const std::string name = fs::relative(item.path(), folder_).generic_u8string();
      if (name == kVerifiedFilesName) continue;
      files[item.is_directory() ? name + "/" : name] =
          item.is_directory() ? "" : dir_.read("Velm Co-op/" + name);
    }
    return files;
  }

  TempDir dir_;
  fs::path folder_;
  FakeNet net_;
  FILE* progress_ = nullptr;
  FakeRetryClock clock_;
  HeldFiles held_{nullptr, clock_};
  std::vector<TrustedKey> keys_ = {trustedTestKey()};
  PackageResult result_;
};

TEST_F(PackageUpdate, RefusesAManifestUrlThatIsNotHttps) {
  const std::string url = "http://cdn.test/g/manifest.json";
  updatePackage(result_, folder(), url, "coop.exe", net_, progress_, keys_);
  EXPECT_EQ(result_.status, PackageStatus::Unreadable);
  EXPECT_EQ(result_.message, "the manifest URL is not https: " + url);
  EXPECT_TRUE(net_.requested.empty());
}

TEST_F(PackageUpdate, ManifestFetchFailures) {
  struct Case {
    uint32_t status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {0, std::string("no answer from ") + kManifestUrl},
      {404, std::string(kManifestUrl) + " said HTTP 404"},
      {503, std::string(kManifestUrl) + " said HTTP 503"},
  };
  for (const Case& c : cases) {
    FakeNet net;
    net.answer(kManifestUrl, c.status);
    updatePackage(result_, folder(), kManifestUrl, "coop.exe", net, nullptr, keys_);
    EXPECT_EQ(result_.status, PackageStatus::Unreachable) << c.status;
    EXPECT_EQ(result_.message, c.message) << c.status;
    EXPECT_EQ(net.requested, std::vector<std::string>{kManifestUrl}) << c.status;
  }
}

TEST_F(PackageUpdate, SignatureFailures) {
  const std::string document = manifestJson(manifestOf({fileEntry("coop.exe", "launcher")}));
  struct Case {
    std::string label;
    uint32_t status;  // of the signature URL; 200 serves `signature`
    std::string signature;
    PackageStatus expected;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no answer", 0, "", PackageStatus::Unreachable,
       std::string("no answer from ") + kSignatureUrl},
      {"404", 404, "", PackageStatus::Unsigned,
       std::string("the manifest is not signed: ") + kSignatureUrl + " said HTTP 404"},
      {"not hex", 200, "not a signature", PackageStatus::Unsigned,
       "the manifest: the signature is not 128 hex digits"},
      {"other key", 200, testSignatureHex(untrustedSeed(), document), PackageStatus::Unsigned,
       "the manifest: the signature does not match"},
      {"other document", 200, testSignatureHex(trustedSeed(), document + " "),
       PackageStatus::Unsigned, "the manifest: the signature does not match"},
  };
  for (const Case& c : cases) {
    FakeNet net;
    net.serve(kManifestUrl, document);
    if (c.status == 200) {
      net.serve(kSignatureUrl, c.signature);
    } else {
      net.answer(kSignatureUrl, c.status);
    }
    updatePackage(result_, folder(), kManifestUrl, "coop.exe", net, progress_, keys_);
    EXPECT_EQ(result_.status, c.expected) << c.label;
    EXPECT_EQ(result_.message, c.message) << c.label;
    EXPECT_TRUE(result_.manifestText.empty()) << c.label;
    EXPECT_FALSE(fs::exists(folder_)) << c.label;
  }
  EXPECT_EQ(printed(), "");
}

TEST_F(PackageUpdate, UnreadableManifestKeepsTheValidatorsText) {
  serveSigned(net_, kManifestUrl, "{\"files\": []}");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Unreadable);
  EXPECT_EQ(result_.message, "\"version\" is missing or not a string");
  EXPECT_TRUE(result_.version.empty());
  EXPECT_FALSE(fs::exists(folder_));
}

TEST_F(PackageUpdate, LauncherMustBeListedAsRequired) {
  struct Case {
    std::string launcher;
    std::vector<ManifestFile> files;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"coop.exe", {fileEntry("other.dll", "x")}, false},
      {"coop.exe", {fileEntry("coop.exe", "x", false)}, false},
      {"coop.exe", {fileEntry("coop.exe.bak", "x")}, false},
      {"coop.exe", {fileEntry("other.dll", "x"), fileEntry("COOP.Exe", "y")}, true},
      {"Coop.EXE", {fileEntry("coop.exe", "x")}, true},
      {"", {fileEntry("other.dll", "x")}, true},  // no launcher named, nothing to look for
  };
  for (const Case& c : cases) {
    FakeNet net;
    const std::string document = manifestJson(manifestOf(c.files));
    serveSigned(net, kManifestUrl, document);
    updatePackage(result_, folder(), kManifestUrl, c.launcher, net, nullptr, keys_);
    if (c.accepted) {
      EXPECT_NE(result_.status, PackageStatus::Unreadable) << c.launcher << " " << document;
      EXPECT_GT(net.requested.size(), 2u) << c.launcher << " " << document;
    } else {
      EXPECT_EQ(result_.status, PackageStatus::Unreadable) << document;
      EXPECT_EQ(result_.message, "the manifest does not list coop.exe as a required file")
          << document;
      EXPECT_EQ(result_.version, "1.2.3") << document;  // the manifest itself was accepted
      EXPECT_FALSE(fs::exists(folder_)) << document;
    }
  }
}

TEST_F(PackageUpdate, UpToDateFolderNeedsNoDownload) {
  const std::string document = publish(
      {fileEntry("coop.exe", "launcher bytes"), fileEntry("data.pak", std::string(3000, 'd'))}, {});
  install("coop.exe", "launcher bytes");
  install("data.pak", std::string(3000, 'd'));
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  EXPECT_EQ(result_.message, "");
  EXPECT_EQ(result_.version, "1.2.3");
  EXPECT_EQ(result_.manifestText, document);
  ASSERT_EQ(result_.manifest.files.size(), 2u);
  EXPECT_EQ(result_.manifest.files[1].name, "data.pak");
  EXPECT_TRUE(result_.updated.empty());
  EXPECT_EQ(net_.requested, (std::vector<std::string>{kManifestUrl, kSignatureUrl}));
  EXPECT_EQ(printed(), "");
}

// A file changed behind a stamp that still matches (its times set back on a system that lets
// them be): trusted, until VELM_COOP_VERIFY hashes every file.
TEST_F(PackageUpdate, OnlyAFullCheckReadsAFileTheRecordVouchesFor) {
  publish({fileEntry("coop.exe", "launcher"), fileEntry("data.pak", "good data")},
          {"launcher", "good data"});
  install("coop.exe", "launcher");
  install("data.pak", "good data");
  run();
  ASSERT_EQ(result_.status, PackageStatus::Ok);
  VerifiedFiles::Entries entries;
  ASSERT_TRUE(VerifiedFiles::parse(dir_.read("Velm Co-op/..verified"), entries));
  ASSERT_EQ(entries.size(), 2u);
  install("data.pak", "evil data");
  for (const char* name : {"coop.exe", "data.pak"}) {
    fs::last_write_time(folder() / name, fs::file_time_type::clock::now() - std::chrono::hours(1));
    ASSERT_TRUE(plainFileStamp(folder() / name, entries[name].stamp));
  }
  dir_.write("Velm Co-op/..verified", VerifiedFiles::format(entries));

  run();
  EXPECT_EQ(printed(), "");
  EXPECT_EQ(installed("data.pak"), "evil data");
  run("coop.exe", true);
  EXPECT_EQ(result_.updated, std::vector<std::string>{"data.pak"});
  EXPECT_EQ(printed(),
            "[*] downloading data.pak (0 KB)\n"
            "[+] data.pak updated\n");
  EXPECT_EQ(installed("data.pak"), "good data");
}

TEST_F(PackageUpdate, UpperCaseDigestCountsAsUpToDate) {
  ManifestFile file = fileEntry("coop.exe", "launcher bytes");
  std::string document = manifestJson(manifestOf({file}));
  const std::string lower = sha256Hex(file.sha256);
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  document.replace(document.find(lower), lower.size(), upper);
  serveSigned(net_, kManifestUrl, document);
  install("coop.exe", "launcher bytes");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  EXPECT_EQ(net_.requested.size(), 2u);
}

TEST_F(PackageUpdate, FirstInstallFetchesEveryFile) {
  const std::string big(1572864, 'b');
  const std::vector<std::string> contents = {"launcher", big, "notes"};
  publish({fileEntry("coop.exe", contents[0]), fileEntry("data.pak", contents[1]),
           fileEntry("read me.txt", contents[2], false)},
          {});
  net_.serve("https://cdn.test/g/coop.exe", contents[0]);
  net_.serve("https://cdn.test/g/data.pak", contents[1]);
  net_.serve("https://cdn.test/g/read%20me.txt", contents[2]);
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  EXPECT_EQ(result_.message, "");
  EXPECT_EQ(result_.updated, (std::vector<std::string>{"coop.exe", "data.pak", "read me.txt"}));
  EXPECT_TRUE(result_.skipped.empty());
  EXPECT_EQ(printed(),
            "[*] downloading coop.exe (0 KB)\n"
            "[*] downloading data.pak (1.5 MB)\n"
            "[*] downloading read me.txt (0 KB)\n"
            "[+] coop.exe updated\n"
            "[+] data.pak updated\n"
            "[+] read me.txt updated\n");
  EXPECT_EQ(installed("coop.exe"), contents[0]);
  EXPECT_EQ(installed("data.pak"), contents[1]);
  EXPECT_EQ(installed("read me.txt"), contents[2]);
  EXPECT_TRUE(leftoverNewFiles().empty());
}

TEST_F(PackageUpdate, FetchesOnlyWhatDiffers) {
  publish({fileEntry("coop.exe", "launcher"), fileEntry("b.dll", "good bytes"),
           fileEntry("c.dll", "right size")},
          {"launcher", "good bytes", "right size"});
  install("coop.exe", "launcher");
  install("b.dll", "evil bytes");  // same size, other content
  install("c.dll", "right size but longer");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  // The files are fetched at once, in whatever order their transfers start.
  std::vector<std::string> requested = net_.requested;
  ASSERT_EQ(requested.size(), 4u);
  std::sort(requested.begin() + 2, requested.end());
  EXPECT_EQ(requested,
            (std::vector<std::string>{kManifestUrl, kSignatureUrl, "https://cdn.test/g/b.dll",
                                      "https://cdn.test/g/c.dll"}));
  EXPECT_EQ(printed(),
            "[*] downloading b.dll (0 KB)\n"
            "[*] downloading c.dll (0 KB)\n"
            "[+] b.dll updated\n"
            "[+] c.dll updated\n");
  EXPECT_EQ(installed("b.dll"), "good bytes");
  EXPECT_EQ(installed("c.dll"), "right size");
}

TEST_F(PackageUpdate, RequiredFailureReplacesNothing) {
  publish({fileEntry("coop.exe", "new launcher"), fileEntry("b.dll", "new b"),
           fileEntry("c.dll", "new c")},
          {"new launcher", "new b"});  // c.dll answers 404
  install("coop.exe", "old launcher");
  install("b.dll", "old b");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Failed);
  EXPECT_EQ(result_.message, "c.dll the server said HTTP 404 -- nothing was replaced");
  EXPECT_TRUE(result_.updated.empty());
  EXPECT_EQ(printed(),
            "[*] downloading coop.exe (0 KB)\n"
            "[*] downloading b.dll (0 KB)\n"
            "[*] downloading c.dll (0 KB)\n"
            "[!] c.dll the server said HTTP 404 -- nothing was replaced\n");
  EXPECT_EQ(installed("coop.exe"), "old launcher");
  EXPECT_EQ(installed("b.dll"), "old b");
  EXPECT_FALSE(fs::exists(folder_ / "c.dll"));
  EXPECT_TRUE(leftoverNewFiles().empty());
  EXPECT_EQ(result_.manifest.files.size(), 3u);  // kept for the installed-package check
}

// Holds each package file's request for a while and counts how many are in flight at once. With
// gather set, a request also waits (5 s at most) until that many have been in flight together,
// so that a loaded machine's slow thread starts cannot hide the phase's real width.
struct CrowdNet final : Net {
  explicit CrowdNet(Net& inner) : inner(inner) {}
  using Net::get;
  uint32_t get(const std::string& url, ByteSink& sink, const RequestOptions& options) override {
    if (url.find("manifest.json") != std::string::npos) return inner.get(url, sink, options);
    const int now = ++inFlight;
    for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (peak < gather && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto delay = delays.find(url);
    std::this_thread::sleep_for(delay != delays.end() ? delay->second
                                                      : std::chrono::milliseconds(20));
    const uint32_t status = inner.get(url, sink, options);
    --inFlight;
    return status;
  }
  Net& inner;
  std::map<std::string, std::chrono::milliseconds> delays;
  std::atomic<int> inFlight{0};
  std::atomic<int> peak{0};
  int gather = 0;
};

TEST_F(PackageUpdate, DownloadsSeveralFilesAtOnceAndShowsThemInManifestOrder) {
  std::vector<ManifestFile> files = {fileEntry("coop.exe", "launcher")};
  std::vector<std::string> contents = {"launcher"};
  std::string expected = "[*] downloading coop.exe (0 KB)\n";
  for (int i = 0; i < 20; ++i) {
    const std::string name = "f" + std::to_string(i) + ".dat";
    files.push_back(fileEntry(name, "content " + name));
    contents.push_back("content " + name);
    expected += "[*] downloading " + name + " (0 KB)\n";
  }
  publish(files, contents);
  CrowdNet crowd(net_);
  // The first file is the slowest: the others arrive first and still come after it in order.
  crowd.delays[std::string(kFileBase) + "coop.exe"] = std::chrono::milliseconds(200);
  crowd.gather = static_cast<int>(kMaxTransfers);
  updatePackage(result_, folder(), kManifestUrl, "coop.exe", crowd, progress_, keys_, ManifestPin(),
                &held_);
  EXPECT_EQ(result_.status, PackageStatus::Ok) << result_.message;
  EXPECT_EQ(crowd.peak.load(), static_cast<int>(kMaxTransfers));
  expected += "[+] coop.exe updated\n";
  for (int i = 0; i < 20; ++i) expected += "[+] f" + std::to_string(i) + ".dat updated\n";
  EXPECT_EQ(printed(), expected);
  EXPECT_EQ(installed("f19.dat"), "content f19.dat");
}

TEST_F(PackageUpdate, OnlyTheFileWhoseTurnItIsDrawsItsProgress) {
  const std::string big(5 * 1048576, 'a');
  const std::string other(5 * 1048576, 'b');
  publish({fileEntry("coop.exe", "launcher"), fileEntry("a.pak", big), fileEntry("b.pak", other)},
          {"launcher", big, other});
  CrowdNet crowd(net_);
  // b.pak arrives whole while a.pak has the console: its chunks must not draw over a.pak's.
  crowd.delays[std::string(kFileBase) + "a.pak"] = std::chrono::milliseconds(500);
  updatePackage(result_, folder(), kManifestUrl, "coop.exe", crowd, progress_, keys_, ManifestPin(),
                &held_);
  EXPECT_EQ(result_.status, PackageStatus::Ok) << result_.message;
  const std::string blank = "\r" + std::string(40, ' ') + "\r";
  const std::string size = sizeText(big.size());
  std::string expected = "[*] downloading coop.exe (0 KB)\n[*] downloading a.pak (" + size + ")\n";
  for (int percent = 5; percent <= 100; percent += 5) {
    char drawn[32];
    std::snprintf(drawn, sizeof drawn, "\r[*] a.pak  %3d%%", percent);
    expected += drawn;
  }
  expected += blank + "[*] downloading b.pak (" + size + ")\n\r[*] b.pak  100%" + blank +
              "[+] coop.exe updated\n[+] a.pak updated\n[+] b.pak updated\n";
  EXPECT_EQ(printed(), expected);
}

TEST_F(PackageUpdate, ReportsTheFirstFailureInManifestOrderNotTheFirstToHappen) {
  std::vector<ManifestFile> files;
  std::vector<std::string> contents;
  for (const char* name : {"coop.exe", "b.dat", "c.dat", "d.dat", "e.dat", "f.dat"}) {
    files.push_back(fileEntry(name, std::string("new ") + name));
    contents.push_back(std::string("new ") + name);
    install(name, std::string("old ") + name);
  }
  publish(files, contents);
  net_.answer(std::string(kFileBase) + "c.dat", 500);  // fails late
  net_.answer(std::string(kFileBase) + "e.dat", 404);  // fails first
  CrowdNet crowd(net_);
  crowd.delays[std::string(kFileBase) + "c.dat"] = std::chrono::milliseconds(300);
  crowd.delays[std::string(kFileBase) + "e.dat"] = std::chrono::milliseconds(1);
  updatePackage(result_, folder(), kManifestUrl, "coop.exe", crowd, progress_, keys_, ManifestPin(),
                &held_);
  EXPECT_EQ(result_.status, PackageStatus::Failed);
  EXPECT_EQ(result_.message, "c.dat the server said HTTP 500 -- nothing was replaced");
  EXPECT_EQ(printed(),
            "[*] downloading coop.exe (0 KB)\n"
            "[*] downloading b.dat (0 KB)\n"
            "[*] downloading c.dat (0 KB)\n"
            "[!] c.dat the server said HTTP 500 -- nothing was replaced\n");
  for (const char* name : {"coop.exe", "b.dat", "c.dat", "d.dat", "e.dat", "f.dat"}) {
    EXPECT_EQ(installed(name), std::string("old ") + name) << "the bytes of a failed run";
  }
  EXPECT_TRUE(leftoverNewFiles().empty());
}

TEST_F(PackageUpdate, OptionalFailureIsSkipped) {
  publish({fileEntry("opt.dll", "optional", false), fileEntry("coop.exe", "launcher")}, {});
  net_.serve("https://cdn.test/g/coop.exe", "launcher");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  EXPECT_EQ(result_.message, "");
  EXPECT_EQ(result_.skipped, std::vector<std::string>{
                                 "opt.dll the server said HTTP 404 -- skipped, it is optional"});
  EXPECT_EQ(result_.updated, std::vector<std::string>{"coop.exe"});
  EXPECT_EQ(printed(),
            "[*] downloading opt.dll (0 KB)\n"
            "[!] opt.dll the server said HTTP 404 -- skipped, it is optional\n"
            "[*] downloading coop.exe (0 KB)\n"
            "[+] coop.exe updated\n");
  EXPECT_FALSE(fs::exists(folder_ / "opt.dll"));
  EXPECT_TRUE(leftoverNewFiles().empty());
}

TEST_F(PackageUpdate, ReplaceFailurePutsBackEveryFileOfTheRun) {
  const std::string system = moveOverFolderMessage(dir_);
  // Replaced, optional and new, brand new, the one that fails, and one after it.
  publish(
      {fileEntry("coop.exe", "launcher"), fileEntry("opt.dll", "new opt", false),
       fileEntry("fresh.dll", "fresh"), fileEntry("b.dll", "new b"), fileEntry("c.dll", "new c")},
      {"launcher", "new opt", "fresh", "new b", "new c"});
  install("coop.exe", "old launcher");
  install("opt.dll", "old opt");
  install("b.dll/held open", "x");  // a folder with content cannot be replaced by a file
  install("c.dll", "old c");
  const std::map<std::string, std::string> before = tree();
  run();
  const std::string text = "could not replace b.dll (" + system + ") -- is the game running?";
  EXPECT_EQ(result_.status, PackageStatus::Failed);
  EXPECT_EQ(result_.message, text);
  EXPECT_TRUE(result_.updated.empty());
  EXPECT_TRUE(result_.skipped.empty());
  EXPECT_EQ(printed(),
            "[*] downloading coop.exe (0 KB)\n"
            "[*] downloading opt.dll (0 KB)\n"
            "[*] downloading fresh.dll (0 KB)\n"
            "[*] downloading b.dll (0 KB)\n"
            "[*] downloading c.dll (0 KB)\n"
            "[!] " +
                text + "\n");
  // Byte for byte the package of before: no ".new", no backup, no new file.
  EXPECT_EQ(tree(), before);
}

// Fails one operation of a file (1: its first), as a file held past every wait.
class FailingHeldFiles final : public HeldFiles {
 public:
  explicit FailingHeldFiles(std::map<std::string, int> failAt) : failAt_(std::move(failAt)) {}
  bool retry(const std::string& name, const std::function<bool(std::error_code&)>& attempt,
             std::error_code& error) override {
    const auto found = failAt_.find(name);
    if (found != failAt_.end() && ++calls_[name] == found->second) {
      error = std::make_error_code(std::errc::permission_denied);
      return false;
    }
    return HeldFiles::retry(name, attempt, error);
  }

 private:
  std::map<std::string, int> failAt_;
  std::map<std::string, int> calls_;
};

TEST_F(PackageUpdate, AFileThatCannotBePutBackLeavesNoPackageToStart) {
  publish(
      {fileEntry("coop.exe", "launcher"), fileEntry("a.dll", "new a"), fileEntry("b.dll", "new b")},
      {"launcher", "new a", "new b"});
  install("coop.exe", "old launcher");
  install("a.dll", "old a");
  install("b.dll", "old b");
  install("manifest.json", "the manifest of the installed package");
  // a.dll: kept aside, moved in, then not put back; b.dll cannot be kept aside.
  FailingHeldFiles held({{"a.dll", 3}, {"b.dll", 1}});
  updatePackage(result_, folder(), kManifestUrl, "coop.exe", net_, progress_, keys_, ManifestPin(),
                &held);
  EXPECT_EQ(result_.status, PackageStatus::Failed);
  EXPECT_EQ(result_.message,
            "could not replace b.dll (" +
                systemErrorMessage(std::make_error_code(std::errc::permission_denied)) +
                ") -- is the game running?");
  EXPECT_FALSE(result_.restored);
  EXPECT_TRUE(result_.mixed);
  EXPECT_EQ(installed("coop.exe"), "old launcher") << "what could be put back was";
  EXPECT_EQ(installed("a.dll"), "new a");
  EXPECT_EQ(installed("b.dll"), "old b");
  EXPECT_FALSE(fs::exists(folder() / "manifest.json"))
      << "the saved manifest would let an offline start take the folder for a package";
  EXPECT_TRUE(leftoverNewFiles().empty());

  // The next run completes the update.
  net_.reset();
  publish(
      {fileEntry("coop.exe", "launcher"), fileEntry("a.dll", "new a"), fileEntry("b.dll", "new b")},
      {"launcher", "new a", "new b"});
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  EXPECT_EQ(installed("b.dll"), "new b");
}

TEST_F(PackageUpdate, ReplaceStopsAtTheFirstRequiredFailure) {
  const std::string system = moveOverFolderMessage(dir_);
  publish({fileEntry("coop.exe", "launcher"), fileEntry("b.dll", "new b"),
           fileEntry("opt.dll", "new opt", false), fileEntry("c.dll", "new c")},
          {"launcher", "new b", "new opt", "new c"});
  install("b.dll/x", "x");
  install("opt.dll/x", "x");
  install("c.dll/x", "x");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Failed);
  EXPECT_EQ(result_.message, "could not replace b.dll (" + system + ") -- is the game running?");
  EXPECT_TRUE(result_.updated.empty());
  EXPECT_FALSE(fs::exists(folder() / "coop.exe")) << "a file new in this run was not removed";
  EXPECT_TRUE(leftoverNewFiles().empty());
}

TEST_F(PackageUpdate, OptionalReplaceFailureKeepsTheLinesInManifestOrder) {
  const std::string system = moveOverFolderMessage(dir_);
  publish({fileEntry("coop.exe", "launcher"), fileEntry("opt.dll", "new opt", false),
           fileEntry("c.dll", "new c")},
          {"launcher", "new opt", "new c"});
  install("coop.exe", "old launcher");
  install("opt.dll/x", "x");
  run();
  const std::string text = "could not replace opt.dll (" + system + ") -- is the game running?";
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  EXPECT_EQ(result_.updated, (std::vector<std::string>{"coop.exe", "c.dll"}));
  EXPECT_EQ(printed(),
            "[*] downloading coop.exe (0 KB)\n"
            "[*] downloading opt.dll (0 KB)\n"
            "[*] downloading c.dll (0 KB)\n"
            "[+] coop.exe updated\n"
            "[!] " +
                text +
                "\n"
                "[+] c.dll updated\n");
  const std::map<std::string, std::string> after = tree();
  EXPECT_EQ(after.count("..backup/"), 0u) << "the backups outlived the run";
  EXPECT_EQ(installed("coop.exe"), "launcher");
}

TEST_F(PackageUpdate, RemovesWhatAnInterruptedReplaceKept) {
  publish({fileEntry("coop.exe", "launcher")}, {"launcher"});
  install("coop.exe", "launcher");
  install("..backup/coop.exe", "old launcher");
  install("..backup/data.pak", "old data");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  EXPECT_EQ(tree(), (std::map<std::string, std::string>{{"coop.exe", "launcher"}}));
}

TEST_F(PackageUpdate, NeverFollowsALinkedBackupFolder) {
  publish({fileEntry("coop.exe", "launcher"), fileEntry("data.pak", "new data")},
          {"launcher", "new data"});
  install("coop.exe", "old launcher");
  install("data.pak", "old data");
  dir_.write("elsewhere/data.pak", "the player's file");
  dir_.write("elsewhere/coop.exe", "another player's file");
  if (!makeFolderLink(folder() / "..backup", dir_.path() / "elsewhere")) {
    GTEST_SKIP() << kNoLinksHere;
  }
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok) << result_.message;
  EXPECT_EQ(installed("data.pak"), "new data");
  EXPECT_EQ(dir_.read("elsewhere/data.pak"), "the player's file");
  EXPECT_EQ(dir_.read("elsewhere/coop.exe"), "another player's file");
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder() / "..backup")));
}

TEST_F(PackageUpdate, OptionalReplaceFailureStillOk) {
  const std::string system = moveOverFolderMessage(dir_);
  publish({fileEntry("coop.exe", "launcher"), fileEntry("opt.dll", "new opt", false)},
          {"launcher", "new opt"});
  install("opt.dll/x", "x");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Ok);
  EXPECT_EQ(result_.message, "");
  EXPECT_EQ(result_.skipped, std::vector<std::string>{"could not replace opt.dll (" + system +
                                                      ") -- is the game running?"});
}

TEST_F(PackageUpdate, RefusesNamesThatShareAFile) {
  const std::string upperA = "\xC3\x84.dll";  // Ä.dll
  const std::string lowerA = "\xC3\xA4.dll";  // ä.dll
  struct Case {
    std::vector<std::string> names;
    std::string message;  // empty: the names are distinct files here
  };
  const std::vector<Case> cases = {
      {{"coop.exe", "b", "b.new"}, "file name \"b.new\" collides with the temporary file of \"b\""},
      {{"b.new", "coop.exe", "b"}, "file name \"b.new\" collides with the temporary file of \"b\""},
      {{"B.NEW", "coop.exe", "b"}, "file name \"B.NEW\" collides with the temporary file of \"b\""},
      {{"coop.exe", "coop.exe.new"},
       "file name \"coop.exe.new\" collides with the temporary file of \"coop.exe\""},
      {{"coop.exe", "games.json"},
       "file name \"games.json\" is reserved for the launcher's saved copies"},
      {{"coop.exe", "Manifest.JSON"},
       "file name \"Manifest.JSON\" is reserved for the launcher's saved copies"},
      {{"coop.exe", "games.json.new"},
       "file name \"games.json.new\" is reserved for the launcher's saved copies"},
      {{"manifest.json.new", "coop.exe"},
       "file name \"manifest.json.new\" is reserved for the launcher's saved copies"},
      {{"coop.exe", upperA, lowerA},
       kFoldsEveryLetter ? "file name \"" + lowerA + "\" is listed twice" : ""},
      {{"coop.exe", upperA, lowerA + ".NEW"},
       kFoldsEveryLetter ? "file name \"" + lowerA +
                               ".NEW\" collides with the temporary file of \"" + upperA + "\""
                         : ""},
      {{"coop.exe", "games.json.old", "manifest.js", "b.new.dll", "b"}, ""},
  };
  for (const Case& c : cases) {
    std::vector<ManifestFile> files;
    for (const std::string& name : c.names) files.push_back(fileEntry(name, "content of " + name));
    TempDir dir;
    const fs::path folder = dir.path() / "Velm Co-op";
    FakeNet net;
    serveSigned(net, kManifestUrl, manifestJson(manifestOf(files)));
    for (const ManifestFile& file : files)
      net.serve(fileUrl(kManifestUrl, file.name), "content of " + file.name);
    updatePackage(result_, folder, kManifestUrl, "coop.exe", net, nullptr, keys_);
    if (c.message.empty()) {
      EXPECT_EQ(result_.status, PackageStatus::Ok) << c.names.back() << ": " << result_.message;
      continue;
    }
    EXPECT_EQ(result_.status, PackageStatus::Unreadable) << c.message;
    EXPECT_EQ(result_.message, c.message);
    EXPECT_EQ(net.requested, (std::vector<std::string>{kManifestUrl, kSignatureUrl})) << c.message;
    EXPECT_FALSE(fs::exists(folder)) << c.message;
  }
}

// The verdict of comparing every name with every earlier one, as the check once did.
std::string firstClashByPairs(const std::vector<std::string>& names, const NameOrder& order) {
  const auto quoted = [](const std::string& name) { return "file name \"" + name + "\""; };
  for (size_t i = 0; i < names.size(); ++i) {
    for (const std::string& saved : savedCopyNames()) {
      if (order.same(names[i], saved)) {
        return quoted(names[i]) + " is reserved for the launcher's saved copies";
      }
    }
    for (size_t j = 0; j < i; ++j) {
      if (order.same(names[i], names[j])) return quoted(names[i]) + " is listed twice";
      if (order.same(names[i], names[j] + ".new")) {
        return quoted(names[i]) + " collides with the temporary file of \"" + names[j] + "\"";
      }
      if (order.same(names[j], names[i] + ".new")) {
        return quoted(names[j]) + " collides with the temporary file of \"" + names[i] + "\"";
      }
    }
  }
  return "";
}

TEST(PackageNames, FindTheSameFirstClashAsComparingEveryPair) {
  // Few pieces, so that clashes of every kind, and several in one manifest, are common.
  const std::vector<std::string> pieces = {"a",    "A",    "\xC3\xA4",  "\xC3\x84",
                                           ".new", ".NEW", "games.json"};
  std::mt19937 random(29);
  for (int round = 0; round < 3000; ++round) {
    Manifest manifest;
    std::vector<std::string> names;
    const size_t count = 2 + random() % 6;
    for (size_t i = 0; i < count; ++i) {
      std::string name;
      for (size_t part = 0, parts = 1 + random() % 3; part < parts; ++part) {
        name += pieces[random() % pieces.size()];
      }
      names.push_back(name);
      manifest.files.push_back(fileEntry(name, "x"));
    }
    for (const NameOrder& order : {fileNameOrder(), fileNameOrderOnWindows()}) {
      std::string problem;
      const std::string expected = firstClashByPairs(names, order);
      EXPECT_EQ(acceptsManifestFiles(manifest, "", &problem, order), expected.empty());
      EXPECT_EQ(problem, expected) << ::testing::PrintToString(names);
    }
  }
}

TEST_F(PackageUpdate, NamesAreCheckedBeforeTheFolderIsTouched) {
  // An installed b.new would be overwritten by b's download and then vanish with it.
  publish({fileEntry("coop.exe", "launcher"), fileEntry("b", "b"), fileEntry("b.new", "b.new")},
          {"launcher", "b", "b.new"});
  install("coop.exe", "old launcher");
  install("b.new", "b.new");
  run();
  EXPECT_EQ(result_.status, PackageStatus::Unreadable);
  EXPECT_EQ(installed("coop.exe"), "old launcher");
  EXPECT_EQ(installed("b.new"), "b.new");
  EXPECT_FALSE(fs::exists(folder_ / "b"));
  EXPECT_EQ(printed(), "");
}

TEST_F(PackageUpdate, FolderThatCannotBeCreated) {
  dir_.write("blocker", "a file where a folder belongs");
  const fs::path folder = dir_.path() / "blocker" / "Velm Co-op";
  publish({fileEntry("coop.exe", "launcher")}, {"launcher"});
  updatePackage(result_, folder, kManifestUrl, "coop.exe", net_, progress_, keys_);
  EXPECT_EQ(result_.status, PackageStatus::Failed);
  EXPECT_EQ(result_.message, "could not create " + folder.u8string());
  EXPECT_EQ(net_.requested.size(), 2u);
}

TEST_F(PackageUpdate, OfflineIsUnreachableAndClearsTheResult) {
  publish({fileEntry("coop.exe", "launcher")}, {"launcher"});
  install("coop.exe", "launcher");
  run();
  ASSERT_EQ(result_.status, PackageStatus::Ok);

  NoNet offline;
  updatePackage(result_, folder(), kManifestUrl, "coop.exe", offline, progress_, keys_);
  EXPECT_EQ(result_.status, PackageStatus::Unreachable);
  EXPECT_EQ(result_.message, std::string("no answer from ") + kManifestUrl);
  EXPECT_TRUE(result_.version.empty());
  EXPECT_TRUE(result_.manifestText.empty());
  EXPECT_TRUE(result_.manifest.files.empty());
  EXPECT_EQ(printed(), "");
}

}  // namespace
}  // namespace velm
