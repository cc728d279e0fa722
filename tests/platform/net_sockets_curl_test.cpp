// The curl Net's sockets stay out of the processes the launcher starts: with a connection kept
// alive after a request, every socket the process holds is close-on-exec.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
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

TEST(CurlNetSockets, EverySocketIsCloseOnExecWhileTheConnectionIsKept) {
  ASSERT_FALSE(httpsPort().empty()) << "run through tests/platform/run_platform_tests.sh";
  std::unique_ptr<Net> net = makeSystemNet(kTransferTimeoutMs);
  std::string first;
  ASSERT_EQ(getText(*net, httpsUrl("/__conn"), first), 200u);

  const std::vector<int> sockets = openSockets();
  ASSERT_FALSE(sockets.empty()) << "no socket open after the request: nothing to check";
  for (int fd : sockets) {
    const int flags = fcntl(fd, F_GETFD);
    EXPECT_TRUE(flags != -1 && (flags & FD_CLOEXEC) != 0)
        << "socket " << fd << " (" << familyOf(fd) << ") is inherited";
  }

  // The connection checked above is the one the next request reuses.
  std::string second;
  ASSERT_EQ(getText(*net, httpsUrl("/__conn"), second), 200u);
  EXPECT_EQ(second, first.substr(0, first.find(" request ")) + " request 2") << first;
}

}  // namespace
}  // namespace velm
