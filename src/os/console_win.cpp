#include "os/console.h"

#include <conio.h>
#include <windows.h>

#include <cstdio>

namespace velm {

void waitForConsoleKey() {
  std::fflush(stdout);
  std::fflush(stderr);
  DWORD mode = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (!GetConsoleMode(input, &mode)) return;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return;
  FlushConsoleInputBuffer(input);
  _getch();
}

}  // namespace velm
