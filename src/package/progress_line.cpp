#include "package/progress_line.h"

#include "text/text.h"

namespace velm {
namespace {

// Small files finish too fast for a progress line to help.
constexpr uint64_t kProgressThreshold = 4194304;

// The progress line is drawn with carriage returns and no newline, so a line-buffered console
// would hold it back until the next line; flush every time.
void showPercent(FILE* progress, const std::string& name, uint32_t percent) {
  std::fprintf(progress, "\r[*] %s  %3d%%", name.c_str(), static_cast<int>(percent));
  std::fflush(progress);
}

void blankProgressLine(FILE* progress) {
  std::fprintf(progress, "\r%40s\r", "");
  std::fflush(progress);
}

}  // namespace

void printPackageLine(FILE* progress, const std::string& line) {
  if (progress == nullptr) return;
  // File names from the manifest may hold what a console would act on.
  std::fputs(displayText(line).c_str(), progress);
  std::fputc('\n', progress);
  // Each line announces work that may take a while; show it before the work starts.
  std::fflush(progress);
}

ProgressLine::ProgressLine(FILE* out, const ManifestFile& file)
    : out_(out != nullptr && file.size > kProgressThreshold ? out : nullptr),
      size_(file.size),
      name_(out_ != nullptr ? displayText(file.name) : std::string()) {}

void ProgressLine::update(uint64_t received) {
  if (out_ == nullptr) return;
  const uint32_t percent = static_cast<uint32_t>(received * 100 / size_);
  if (percent != last_ && percent % 5 == 0) {
    showPercent(out_, name_, percent);
    last_ = percent;
  }
}

void ProgressLine::finish(bool complete) {
  if (out_ == nullptr) return;
  // A file that arrived while another one had the console still ends its line at 100.
  if (complete && last_ != 100) showPercent(out_, name_, 100);
  blankProgressLine(out_);
}

std::string sizeText(uint64_t bytes) {
  constexpr uint64_t kMiB = 1048576;
  char buffer[32];
  if (bytes >= 10 * kMiB) {
    std::snprintf(buffer, sizeof buffer, "%llu MB", static_cast<unsigned long long>(bytes / kMiB));
  } else if (bytes >= kMiB) {
    std::snprintf(buffer, sizeof buffer, "%.1f MB", static_cast<double>(bytes) / kMiB);
  } else {
    std::snprintf(buffer, sizeof buffer, "%llu KB", static_cast<unsigned long long>(bytes / 1024));
  }
  return buffer;
}

}  // namespace velm
