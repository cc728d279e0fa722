#include "core/startup.h"

#include <gtest/gtest.h>

#include <string>

namespace velm {
namespace {

TEST(Startup, TakesTheArgumentsAfterTheProgramToken) {
  struct Case {
    const char* line;
    const char* arguments;
  } cases[] = {
      {"\"C:\\Games\\X\\Velm Co-op.exe\"   --version", "--version"},
      {"C:\\X\\a.exe \"two words\" b", "\"two words\" b"},
      {"C:\\X\\a.exe", ""},
      {"\"C:\\X\\a b.exe", ""},   // an unmatched quote swallows the line
      {"a.exe\t\t-x  ", "-x  "},  // trailing blanks stay
      {"\"C:\\X\"\\a.exe -x", "-x"},
      {"C:\\X\\a\"b c\"d.exe rest", "rest"},
      {"", ""},
      {"a.exe   ", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(argumentTail(c.line), c.arguments) << c.line;
}

TEST(Startup, FindsTheExeFolder) {
  struct Case {
    const wchar_t* path;
    const wchar_t* folder;
  } cases[] = {
      {L"C:\\Games\\X\\Velm Co-op.exe", L"C:\\Games\\X"},
      {L"C:\\Velm Co-op.exe", L"C:\\"},  // "C:" alone would mean the drive's current folder
      {L"d:/Velm Co-op.exe", L"d:/"},
      {L"/velm-coop", L"/"},
      {L"/opt/velm/velm-coop", L"/opt/velm"},
      {L"\\\\server\\share\\v.exe", L"\\\\server\\share"},
      {L"velm-coop", L""},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(folderOfPath(c.path), c.folder);
}

TEST(Startup, ReadsASwitch) {
  struct Case {
    const wchar_t* value;
    bool on;
  } cases[] = {
      {L"", false},  {L"0", false},      {L"true", false},     {L"1", true},   {L"10", true},
      {L"1x", true}, {L"1234567", true}, {L"12345678", false}, {L" 1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isSwitchOn(c.value), c.on);
}

TEST(Startup, TitlesTheConsoleWithTheMajorVersion) {
  EXPECT_EQ(consoleTitle().rfind("Velm Co-op v", 0), 0u);
}

}  // namespace
}  // namespace velm
