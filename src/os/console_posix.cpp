#include "os/console.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace velm {

void waitForConsoleKey() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return;
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
  tcflush(STDIN_FILENO, TCIFLUSH);
  termios raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  char key = 0;
  ssize_t ignored = read(STDIN_FILENO, &key, 1);
  (void)ignored;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

}  // namespace velm
