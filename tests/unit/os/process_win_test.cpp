// The new build is started with the standard handles it writes to and no other handle of ours.
// The child is this test program, run for the one test below that waits for its parent.
#include "os/process.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "text/text.h"

namespace velm {
namespace {

constexpr char kChildVariable[] = "VELM_TEST_CHILD_EVENTS";
constexpr char kChildSays[] = "the child's standard output";

HANDLE namedEvent(const std::string& name, bool create) {
  const std::wstring wide = utf8ToWide(name);
  return create ? CreateEventW(nullptr, TRUE, FALSE, wide.c_str())
                : OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, wide.c_str());
}

// Runs only as the child: says it is there, writes a line, and stays until released, so the
// parent can look at what the child holds.
TEST(ProcessWinChild, StaysUntilReleased) {
  const char* events = std::getenv(kChildVariable);
  if (events == nullptr) GTEST_SKIP() << "only as the child of the test below";
  const HANDLE ready = namedEvent(std::string(events) + "-ready", false);
  const HANDLE release = namedEvent(std::string(events) + "-release", false);
  ASSERT_TRUE(ready != nullptr && release != nullptr);
  std::printf("%s\n", kChildSays);
  std::fflush(stdout);
  SetEvent(ready);
  WaitForSingleObject(release, 60000);
  CloseHandle(ready);
  CloseHandle(release);
}

TEST(ProcessWin, TheChildInheritsTheStandardHandlesAndNoOther) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  // A handle that a library left inheritable: the child must not hold its write end.
  HANDLE strayRead = nullptr, strayWrite = nullptr;
  ASSERT_TRUE(CreatePipe(&strayRead, &strayWrite, &inheritable, 0));
  SetHandleInformation(strayRead, HANDLE_FLAG_INHERIT, 0);
  // Standard output the child must keep.
  HANDLE outRead = nullptr, outWrite = nullptr;
  ASSERT_TRUE(CreatePipe(&outRead, &outWrite, &inheritable, 1 << 16));
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);

  const std::string events = "velm-process-test-" + std::to_string(GetCurrentProcessId());
  const HANDLE ready = namedEvent(events + "-ready", true);
  const HANDLE release = namedEvent(events + "-release", true);
  ASSERT_TRUE(ready != nullptr && release != nullptr);

  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=ProcessWinChild.*";
  std::vector<wchar_t> commandLine(line.begin(), line.end());
  commandLine.push_back(L'\0');

  const HANDLE ownOut = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, outWrite);
  SetEnvironmentVariableA(kChildVariable, events.c_str());
  const bool started = startSharingStandardHandles(self, commandLine);
  const DWORD startError = GetLastError();
  SetEnvironmentVariableA(kChildVariable, nullptr);
  SetStdHandle(STD_OUTPUT_HANDLE, ownOut);
  CloseHandle(outWrite);
  CloseHandle(strayWrite);
  ASSERT_TRUE(started) << "error " << startError;

  ASSERT_EQ(WaitForSingleObject(ready, 120000), WAIT_OBJECT_0) << "the child did not start";
  // With our write end closed, the pipe is broken unless the child holds a copy.
  DWORD available = 0;
  const BOOL strayAlive = PeekNamedPipe(strayRead, nullptr, 0, nullptr, &available, nullptr);
  const DWORD peekError = GetLastError();
  SetEvent(release);

  std::string output;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(outRead, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    output.append(buffer, read);
  }
  EXPECT_FALSE(strayAlive) << "the child inherited a handle that is not a standard one";
  EXPECT_EQ(peekError, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_NE(output.find(kChildSays), std::string::npos) << output;
  for (HANDLE handle : {strayRead, outRead, ready, release}) CloseHandle(handle);
}

}  // namespace
}  // namespace velm
