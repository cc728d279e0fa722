// The POSIX port's Net: libcurl set up to behave like WinHTTP's defaults on Windows.
#include "net/net_curl.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/ca_store_curl.h"
#include "net/content_range.h"
#include "net/transfer_pace.h"
#include "net/url.h"
#include "os/unique_handle.h"
#include "text/ascii.h"
#include "text/text.h"

namespace velm {
namespace {

constexpr long kConnectTimeoutMs = 3000;  // name resolution, TCP and TLS together
constexpr long kMaxRedirects = 10;        // WinHTTP's default
constexpr size_t kMaxChunk = 65536;
// The receive buffer of a transfer that starts while kMaxTransfers others are in flight, in
// place of kMaxChunk. curl holds one per transfer, and over HTTP/2 a stream's frames wait in it
// for their turn: each of a package's small files in flight kept about 20 KiB of a 64 KiB one.
// A large file fetched alone or beside a few keeps reading 64 KiB at a time.
constexpr long kCrowdedBuffer = 4096;

using Clock = std::chrono::steady_clock;

bool asksRange(uint64_t firstByte, uint64_t lastByte) {
  return firstByte > 0 || lastByte != RequestOptions::kToTheEnd;
}

// CURLOPT_RANGE's "N-" or "N-M"; empty for the whole body.
std::string rangeText(const RequestOptions& options) {
  if (!asksRange(options.firstByte, options.lastByte)) return std::string();
  std::string range = decimalText(options.firstByte) + "-";
  if (options.lastByte != RequestOptions::kToTheEnd) range += decimalText(options.lastByte);
  return range;
}

struct EasyTraits {
  using Handle = CURL*;
  static CURL* none() { return nullptr; }
  static void close(CURL* handle) { curl_easy_cleanup(handle); }
};
using EasyHandle = UniqueHandle<EasyTraits>;

struct MultiTraits {
  using Handle = CURLM*;
  static CURLM* none() { return nullptr; }
  static void close(CURLM* multi) { curl_multi_cleanup(multi); }
};

struct ShareTraits {
  using Handle = CURLSH*;
  static CURLSH* none() { return nullptr; }
  static void close(CURLSH* share) { curl_share_cleanup(share); }
};

// What one transfer has seen so far; the callbacks share it through their user pointer.
struct Transfer {
  Transfer(CURL* handle, ByteSink& out, const RequestOptions& options, uint32_t stallMs,
           uint32_t deadlineMs, std::atomic<bool>& multiplexed)
      : curl(handle),
        sink(out),
        firstByte(options.firstByte),
        lastByte(options.lastByte),
        onBody(options.onBody),
        pace(stallMs, deadlineMs, Clock::now()),
        multiplexes(multiplexed) {}

  CURL* curl;
  ByteSink& sink;
  uint64_t firstByte;
  uint64_t lastByte;
  const std::function<void(uint32_t)>& onBody;
  TransferPace pace;               // read and written on the driver's thread alone
  std::atomic<bool>& multiplexes;  // the Net's: whether its last answer came over HTTP/2
  std::string contentRange;        // of the answer whose header lines are arriving
  int contentRanges = 0;           // how many it had: two make it no answer
  uint32_t delivering = 0;         // the status whose body goes to the sink, once accepted
  uint32_t stoppedWith = 0;        // the status to answer when a callback ended the transfer
  std::exception_ptr thrown;       // from the sink or onBody, rethrown once curl has returned

  long responseCode() const {
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
  }

  // A 206 is delivered only when it is the one body asked for, from firstByte (through
  // lastByte).
  bool answersRange() const {
    return asksRange(firstByte, lastByte) && contentRanges == 1 &&
           contentRangeAnswers(contentRange, firstByte, lastByte);
  }
};

// Each answer (a redirect, then its target) brings its own Content-Range; HTTP/2 writes the
// names in lower case.
void noteHeaderLine(Transfer& transfer, const std::string& line) {
  if (startsWithNoCase(line, "http/")) {
    transfer.contentRange.clear();
    transfer.contentRanges = 0;
  } else if (startsWithNoCase(line, "content-range:")) {
    std::string value = line.substr(std::strlen("content-range:"));
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    transfer.contentRange = std::move(value);
    ++transfer.contentRanges;
  }
}

// At the blank line that ends each header block, a final answer other than a 200 (or a 206 that
// answers the range asked for) ends the transfer before its body, as WinHTTP's callers never see
// one. A 3xx goes on: curl follows it, or its body is discarded below.
size_t onHeader(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer.pace.arrived(length, Clock::now());
  const bool endOfHeaders =
      (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
  if (!endOfHeaders) {
    noteHeaderLine(transfer, std::string(data, length));
    return length;
  }
  const long code = transfer.responseCode();
  if (code < 200) return length;
  long version = 0;
  if (curl_easy_getinfo(transfer.curl, CURLINFO_HTTP_VERSION, &version) == CURLE_OK) {
    transfer.multiplexes = version >= CURL_HTTP_VERSION_2_0;
  }
  if (code >= 300 && code < 400) return length;
  if (code == 206 && !transfer.answersRange()) return 0;  // no answer: nothing to place it by
  if (code != 200 && code != 206) {
    transfer.stoppedWith = static_cast<uint32_t>(code);
    return 0;
  }
  transfer.delivering = static_cast<uint32_t>(code);
  if (!transfer.onBody) return length;
  // An exception must not unwind through libcurl's C frames: it waits until perform returns.
  try {
    transfer.onBody(transfer.delivering);
  } catch (...) {
    transfer.thrown = std::current_exception();
    return 0;
  }
  return length;
}

size_t onData(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  transfer.pace.arrived(length, Clock::now());
  if (transfer.delivering == 0) return length;  // the body of a redirect
  try {
    for (size_t offset = 0; offset < length; offset += kMaxChunk) {
      if (!transfer.sink(data + offset, std::min(kMaxChunk, length - offset))) {
        transfer.stoppedWith = transfer.delivering;
        return 0;
      }
    }
  } catch (...) {
    transfer.thrown = std::current_exception();
    return 0;
  }
  return length;
}

// A stalled transfer, or a document past its deadline, fails like a receive time-out on
// Windows. curl calls this at least once a second while it waits, from the connection on.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const Transfer& transfer = *static_cast<Transfer*>(user);
  return transfer.pace.over(Clock::now()) ? 1 : 0;
}

// Every connection is close-on-exec from birth: the ones kept alive between requests must not
// leak into the game or co-op launcher started meanwhile (and hold the server's connection open
// for as long as the game runs).
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// libcurl 7.88 (Debian 12) also opens a socket pair of its own in each handle's first transfer,
// to wake its poll, without close-on-exec and with no hook to set it. Every socket of the
// launcher is its Net's, so after each transfer any that lacks the flag gets it. Transfers of
// other threads may open and close sockets meanwhile: one of theirs only gets the flag early, and
// a number reused for a file in between gets a flag that every file of the launcher has anyway.
void keepSocketsFromChildren() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return;
  const int own = dirfd(folder);
  while (const dirent* entry = readdir(folder)) {
    const int fd = std::atoi(entry->d_name);  // "." and ".." read as 0
    struct stat info;
    if (fd <= 2 || fd == own || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
    const int flags = fcntl(fd, F_GETFD);
    if (flags != -1 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  closedir(folder);
}

bool curlReady() {
  // Process-wide, once, however many Nets there are, and never undone: handles live for the run.
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

// The TLS sessions every handle of a Net shares, so a connection opened for one handle resumes
// the session another one made. (Connections and name lookups live in the multi handle.)
class SharedCaches {
 public:
  SharedCaches() : share_(curl_share_init()) {
    CURLSH* share = share_.get();
    if (share == nullptr) return;
    // Unlocked, the share would be unsafe between threads: without it each handle keeps its own.
    if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lock) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlock) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_USERDATA, this) != CURLSHE_OK) {
      share_.reset();
      return;
    }
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  SharedCaches(const SharedCaches&) = delete;
  SharedCaches& operator=(const SharedCaches&) = delete;

  CURLSH* get() const { return share_.get(); }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<SharedCaches*>(user)->locks_[data].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<SharedCaches*>(user)->locks_[data].unlock();
  }

  std::mutex locks_[CURL_LOCK_DATA_LAST];  // one per kind of data, as curl asks
  UniqueHandle<ShareTraits> share_;        // after the locks, so it goes before them
};

// curl hands over OpenSSL's SSL_CTX before each handshake. Without a store nothing could be
// verified: the connection fails, as with a missing bundle.
CURLcode onSslContext(CURL*, void* context, void* user) {
  CaStore& authorities = *static_cast<CaStore*>(user);
  return authorities.useIn(static_cast<ssl_ctx_st*>(context)) ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

// Gives handle the Net's one CA store in place of curl's own reading of the bundle; where this
// libcurl cannot take it (another TLS library), the handle keeps curl's default.
void useCaStore(CURL* handle, CaStore& authorities) {
  const char* file = nullptr;
  const char* folder = nullptr;
  // The locations curl itself would read (CURLINFO_CAINFO and _CAPATH: its built-in ones).
  curl_easy_getinfo(handle, CURLINFO_CAINFO, &file);
  curl_easy_getinfo(handle, CURLINFO_CAPATH, &folder);
  authorities.locate(file != nullptr ? file : "", folder != nullptr ? folder : "");
  if (curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, onSslContext) != CURLE_OK ||
      curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &authorities) != CURLE_OK) {
    return;
  }
  curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
}

CURL* openHandle(const std::string& userAgent, CURLSH* share, CaStore& authorities) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return nullptr;
  curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());  // curl keeps a copy
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  // TLS 1.2 at least, whatever the machine's OpenSSL configuration would allow, as on Windows;
  // a proxy spoken to over TLS gets the same floor.
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  // HTTP/2 where the server offers it in the TLS handshake (ALPN); a libcurl built without it
  // refuses the setting and speaks HTTP/1.1.
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  // A transfer that starts while another one's connection is still being made waits to learn
  // whether it can share it (HTTP/2) rather than open one of its own at once.
  curl_easy_setopt(curl, CURLOPT_PIPEWAIT, 1L);
  if (share != nullptr) curl_easy_setopt(curl, CURLOPT_SHARE, share);
  useCaStore(curl, authorities);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, openSocket);
  // Only the origin's own answers reach the header callback, not a proxy's CONNECT reply.
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  return curl;
}

// Redirects keep WinHTTP's policy: anything but a step down from https to http.
void allowRedirects(CURL* curl, bool secure) {
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
#else
  const long http = secure ? 0 : CURLPROTO_HTTP;
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, http | CURLPROTO_HTTPS);
#endif
}

// Runs every transfer of a Net on one thread, over one multi handle: its connections serve
// whichever transfer comes next, and over HTTP/2 the transfers in flight share one connection.
// Callers hand in an easy handle and wait; the handle's callbacks run on this thread.
class Driver {
 public:
  // Throws when the thread cannot start; ready() is false when the multi handle could not be made.
  Driver() : multi_(curl_multi_init()) {
    if (!multi_) return;
    curl_multi_setopt(multi_.get(), CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
    // Up to kMaxStreams transfers share an HTTP/2 connection (curl also keeps to the server's own
    // limit); should the host speak HTTP/1.1 after all, those beyond kMaxTransfers connections
    // wait in curl's queue rather than open a connection each.
    curl_multi_setopt(multi_.get(), CURLMOPT_MAX_CONCURRENT_STREAMS,
                      static_cast<long>(kMaxStreams));
    curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS,
                      static_cast<long>(kMaxTransfers));
    keepSocketsFromChildren();  // the multi handle's own socket pair, to wake its poll
    thread_ = std::thread([this] { loop(); });
  }
  ~Driver() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    curl_multi_wakeup(multi_.get());
    thread_.join();
  }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  bool ready() const { return thread_.joinable(); }

  // Performs curl's transfer, as curl_easy_perform would; any thread may call it.
  CURLcode perform(CURL* curl) {
    Job job{curl};
    curl_easy_setopt(curl, CURLOPT_PRIVATE, &job);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      incoming_.push_back(&job);
    }
    curl_multi_wakeup(multi_.get());
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return job.done; });
    return job.result;
  }

 private:
  struct Job {
    CURL* curl;
    CURLcode result = CURLE_OK;
    bool done = false;
  };

  void finish(Job& job, CURLcode result) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job.result = result;
      job.done = true;
    }
    finished_.notify_all();
  }

  void loop() {
    CURLM* multi = multi_.get();
    size_t active = 0;
    for (;;) {
      std::vector<Job*> arrived;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ && active == 0 && incoming_.empty()) return;
        arrived.swap(incoming_);
      }
      for (Job* job : arrived) {
        if (curl_multi_add_handle(multi, job->curl) == CURLM_OK) {
          ++active;
        } else {
          finish(*job, CURLE_FAILED_INIT);
        }
      }
      int running = 0;
      curl_multi_perform(multi, &running);
      int left = 0;
      while (const CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        // The message goes with its handle's removal: read it first.
        CURL* curl = message->easy_handle;
        const CURLcode result = message->data.result;
        char* job = nullptr;
        curl_easy_getinfo(curl, CURLINFO_PRIVATE, &job);
        curl_multi_remove_handle(multi, curl);
        --active;
        finish(*reinterpret_cast<Job*>(job), result);
      }
      // A second at most, so that a stalled transfer's progress callback still runs.
      curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
  }

  UniqueHandle<MultiTraits> multi_;
  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<Job*> incoming_;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once everything it uses is made
};

}  // namespace

// An easy handle carries one transfer at a time. A get takes an idle one or makes one, and
// gives it back after: as many handles as transfers ever ran at once. The connections are the
// driver's, not the handles'.
struct CurlNet::Pool {
  CaStore authorities;
  SharedCaches caches;
  std::mutex mutex;
  std::vector<EasyHandle> idle;  // after the caches: every handle goes before the share it uses
  std::atomic<bool> multiplexes{false};
  std::atomic<size_t> inFlight{0};  // transfers handed to the driver and not yet back
  Driver driver;                    // last: its thread stops before any handle or cache goes
};

CurlNet::CurlNet(const std::string& userAgent, uint32_t timeoutMs, uint32_t documentDeadlineMs)
    : userAgent_(userAgent), timeoutMs_(timeoutMs), documentDeadlineMs_(documentDeadlineMs) {
  if (!curlReady()) return;
  try {
    pool_ = std::make_unique<Pool>();
  } catch (const std::exception&) {
    return;  // no thread for the driver: a Net that answers nothing, like any failed set-up
  }
  if (!pool_->driver.ready()) pool_.reset();
}

CurlNet::~CurlNet() = default;

uint32_t CurlNet::get(const std::string& url, ByteSink& sink, const RequestOptions& options) {
  if (!pool_) return 0;
  // curl reads up to the first NUL, so a URL with one inside would name another resource.
  if (url.find('\0') != std::string::npos) return 0;
  // curl would guess a scheme for "host/path"; WinHTTP's cracker rejects it, and so do we.
  const bool secure = hasHttpsScheme(url);
  if (!secure && !hasHttpScheme(url)) return 0;
  // The fragment belongs to the client and has no place in a request.
  const std::string target = url.substr(0, url.find('#'));

  EasyHandle handle;
  {
    std::lock_guard<std::mutex> lock(pool_->mutex);
    if (!pool_->idle.empty()) {
      handle = std::move(pool_->idle.back());
      pool_->idle.pop_back();
    }
  }
  if (!handle) handle.reset(openHandle(userAgent_, pool_->caches.get(), pool_->authorities));
  CURL* curl = handle.get();
  if (curl == nullptr) return 0;

  Transfer transfer(curl, sink, options,
                    options.transferTimeoutMs != 0 ? options.transferTimeoutMs : timeoutMs_,
                    options.document ? documentDeadlineMs_ : 0, pool_->multiplexes);
  curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
  allowRedirects(curl, secure);
  // "Range: bytes=N-" or "bytes=N-M"; a handle's last range must not outlive its request.
  const std::string range = rangeText(options);
  curl_easy_setopt(curl, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  const size_t others = pool_->inFlight++;
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE,
                   others >= kMaxTransfers ? kCrowdedBuffer : static_cast<long>(kMaxChunk));
  const CURLcode result = pool_->driver.perform(curl);
  --pool_->inFlight;
  keepSocketsFromChildren();
  const long code = transfer.responseCode();
  {
    std::lock_guard<std::mutex> lock(pool_->mutex);
    if (pool_->idle.size() < kMaxStreams) pool_->idle.push_back(std::move(handle));
  }
  if (transfer.thrown) std::rethrow_exception(transfer.thrown);

  uint64_t length = 0;
  if (transfer.stoppedWith == 416 && options.firstByte > 0 && options.onRangeNotSatisfiable &&
      transfer.contentRanges == 1 && unsatisfiedRangeLength(transfer.contentRange, length)) {
    options.onRangeNotSatisfiable(length);
  }
  if (transfer.stoppedWith != 0) return transfer.stoppedWith;
  if (result != CURLE_OK) return 0;
  return code > 0 ? static_cast<uint32_t>(code) : 0;
}

size_t CurlNet::maxInFlight() { return pool_ && pool_->multiplexes ? kMaxStreams : kMaxTransfers; }

std::unique_ptr<Net> makeSystemNet(uint32_t timeoutMs, uint32_t documentDeadlineMs) {
  return std::make_unique<CurlNet>(kUserAgent, timeoutMs, documentDeadlineMs);
}

}  // namespace velm
