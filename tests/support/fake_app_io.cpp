#include "support/fake_app_io.h"

namespace velm {

FakeAppIo::FakeAppIo() : progress_(std::tmpfile()) {}

FakeAppIo::~FakeAppIo() {
  if (progress_) std::fclose(progress_);
}

Net& FakeAppIo::net() {
  if (offline) return noNet;
  return fakeNet;
}

bool FakeAppIo::startProcess(const std::string& exePath, const std::string& commandLine,
                             const std::string& workingFolder, uint64_t steamAppId,
                             std::string& error) {
  if (!startError.empty()) {
    error = startError;
    return false;
  }
  starts.push_back({exePath, commandLine, workingFolder, steamAppId});
  return true;
}

void FakeAppIo::printLine(const std::string& text) {
  out.push_back(text);
  log.push_back(text);
}

void FakeAppIo::printError(const std::string& text) {
  err.push_back(text);
  log.push_back("E: " + text);
}

std::string FakeAppIo::progressText() {
  std::string text;
  if (!progress_) return text;
  std::fflush(progress_);
  long end = std::ftell(progress_);
  std::rewind(progress_);
  text.resize(static_cast<size_t>(end));
  size_t read = std::fread(text.data(), 1, text.size(), progress_);
  text.resize(read);
  std::fseek(progress_, 0, SEEK_END);
  return text;
}

}  // namespace velm
