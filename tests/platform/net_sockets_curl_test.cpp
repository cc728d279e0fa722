// The curl Net's sockets stay out of the processes the launcher starts: with connections kept
// alive after requests, from one thread or several, every socket the process holds is
// close-on-exec.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "platform_net.h"

namespace velm {
namespace {

// "AF_UNIX", "AF_INET"...: what a socket that should not be inherited is for.
std::string familyOf(int fd) {
  int family = 0;
  socklen_t size = sizeof(family);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &size) != 0) return "unknown family";
  switch (family) {
    case AF_UNIX:
      return "AF_UNIX";
    case AF_INET:
      return "AF_INET";
    case AF_INET6:
      return "AF_INET6";
  }
  return "family " + std::to_string(family);
}

// The descriptors above standard error that are sockets.
std::vector<int> openSockets() {
  std::vector<int> sockets;
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return sockets;
  const int own = dirfd(folder);
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    struct stat info;
    if (*end != '\0' || end == entry->d_name || fd <= 2 || fd == own) continue;
    if (fstat(static_cast<int>(fd), &info) == 0 && S_ISSOCK(info.st_mode)) {
      sockets.push_back(static_cast<int>(fd));
    }
  }
  closedir(folder);
  return sockets;
}

// Fails the test for each open socket that a started process would inherit.
void expectEverySocketCloseOnExec() {
  const std::vector<int> sockets = openSockets();
  ASSERT_FALSE(sockets.empty()) << "no socket open after the requests: nothing to check";
  for (int fd : sockets) {
    const int flags = fcntl(fd, F_GETFD);
    EXPECT_TRUE(flags != -1 && (flags & FD_CLOEXEC) != 0)
        << "socket " << fd << " (" << familyOf(fd) << ") is inherited";
  }
}

// The request log's lines for targets that end in suffix, once there are count of them (the
// server writes a line after its answer, so the last may come a moment after the client is done).
std::vector<std::string> loggedRequests(const std::string& suffix, size_t count) {
  std::vector<std::string> lines;
  for (int attempt = 0; attempt < 100 && lines.size() < count; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lines.clear();
    std::ifstream log(requestLogPath());
    for (std::string line; std::getline(log, line);) {
      // "<scheme> <connection> <new|reused> <status> <target> <range> <bytes>"
      std::istringstream fields(line);
      std::string target;
      for (int field = 0; field < 5; ++field) fields >> target;
      if (target.size() >= suffix.size() &&
          target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0) {
        lines.push_back(line);
      }
    }
  }
  return lines;
}

TEST(CurlNetSockets, EverySocketIsCloseOnExecWhileTheConnectionIsKept) {
  ASSERT_FALSE(httpsPort().empty()) << "run through tests/platform/run_platform_tests.sh";
  std::unique_ptr<Net> net = makeSystemNet(kTransferTimeoutMs);
  std::string first;
  ASSERT_EQ(getText(*net, httpsUrl("/__conn"), first), 200u);
  expectEverySocketCloseOnExec();

  // The connection checked above is the one the next request reuses.
  std::string second;
  ASSERT_EQ(getText(*net, httpsUrl("/__conn"), second), 200u);
  EXPECT_EQ(second, first.substr(0, first.find(" request ")) + " request 2") << first;
}

// Transfers on several threads keep the connections they opened (and curl its socket pair to wake
// the thread that drives them): none of them leaks into a child, and a later request reuses a
// connection rather than opening one.
TEST(CurlNetSockets, TransfersOnThreadsReuseConnectionsAndNoneIsInherited) {
  ASSERT_FALSE(httpsPort().empty() || requestLogPath().empty())
      << "run through tests/platform/run_platform_tests.sh";
  std::unique_ptr<Net> net = makeSystemNet(kTransferTimeoutMs);
  constexpr size_t kRounds = 3;
  // This run's requests, told apart from any earlier run's in the same log.
  const std::string tag =
      "sockets" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  for (const std::string& failure : fetchPartsAtOnce(*net, kRounds, tag)) ADD_FAILURE() << failure;
  expectEverySocketCloseOnExec();

  const std::vector<std::string> lines = loggedRequests("?" + tag, kParts * kRounds);
  ASSERT_EQ(lines.size(), kParts * kRounds);
  std::set<std::string> connections;
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::string scheme;
    std::string connection;
    fields >> scheme >> connection;
    connections.insert(connection);
  }
  EXPECT_LE(connections.size(), kMaxTransfers) << "connections for " << lines.size() << " requests";
}

}  // namespace
}  // namespace velm
