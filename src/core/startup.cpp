#include "core/startup.h"

#include "core/launch.h"
#include "os/command_line.h"
#include "os/exe_path.h"
#include "text/text.h"
#include "velm_config.h"

namespace velm {

std::string argumentTail(const std::string& commandLine) {
  size_t i = 0;
  bool quoted = false;
  for (; i < commandLine.size(); ++i) {
    char c = commandLine[i];
    if (!quoted && (c == ' ' || c == '\t')) break;
    if (c == '"') quoted = !quoted;
  }
  while (i < commandLine.size() && (commandLine[i] == ' ' || commandLine[i] == '\t')) ++i;
  return commandLine.substr(i);
}

std::string quotedArguments(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) {
    if (!text.empty()) text += ' ';
    text += quoteArgument(argument);
  }
  return text;
}

std::string consoleTitle() {
  return std::string(config::kProductName) + " v" + decimalText(builtInVersion().major);
}

std::wstring folderOfPath(const std::wstring& path) {
  size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return std::wstring();
  std::wstring folder = path.substr(0, separator);
  bool bareDrive =
      folder.size() == 2 && folder[1] == L':' &&
      ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z'));
  if (folder.empty() || bareDrive) return path.substr(0, separator + 1);
  return folder;
}

std::wstring exeFolder() { return folderOfPath(runningExePath()); }

bool isSwitchOn(const std::wstring& value) {
  return !value.empty() && value.size() <= 7 && value[0] == L'1';
}

}  // namespace velm
