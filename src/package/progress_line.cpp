#include "package/progress_line.h"

#include <algorithm>

#include "text/columns.h"
#include "text/text.h"

namespace velm {
namespace {

// Small files finish too fast for a progress line to help.
constexpr uint64_t kProgressThreshold = 4194304;

// The line stays within a console row of 80 columns, short of the last one, after which some
// consoles move to the next row: a line that wrapped could not be drawn over again.
constexpr size_t kRowColumns = 79;
// "[*] " before the name and "  NNN%" after it.
constexpr size_t kFrameColumns = 10;
// The least a line is blanked over: what fits every short name.
constexpr size_t kBlankColumns = 40;

// The progress line is drawn with carriage returns and no newline, so a line-buffered console
// would hold it back until the next line; flush every time.
void blankProgressLine(FILE* progress, size_t columns) {
  std::fprintf(progress, "\r%*s\r", static_cast<int>(columns), "");
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

ProgressLine::ProgressLine(FILE* out, const std::string& name, uint64_t total)
    : out_(out != nullptr && total > kProgressThreshold ? out : nullptr),
      console_(out),
      size_(total),
      name_(out != nullptr ? fitColumns(displayText(name), kRowColumns - kFrameColumns)
                           : std::string()) {}

void ProgressLine::retotal(uint64_t total) {
  if (total == size_) return;
  size_ = total;
  last_ = kNoPercentYet;
  out_ = console_ != nullptr && total > kProgressThreshold ? console_ : nullptr;
}

void ProgressLine::update(uint64_t received) {
  if (out_ == nullptr) return;
  const uint32_t percent = static_cast<uint32_t>(received * 100 / size_);
  if (percent != last_ && percent % 5 == 0) showPercent(percent);
}

void ProgressLine::finish(bool complete) {
  if (out_ == nullptr) return;
  // A file that arrived while another one had the console still ends its line at 100.
  if (complete && last_ != 100) showPercent(100);
  blankProgressLine(out_, std::max(kBlankColumns, drawn_));
}

void ProgressLine::showPercent(uint32_t percent) {
  std::fprintf(out_, "\r[*] %s  %3d%%", name_.c_str(), static_cast<int>(percent));
  std::fflush(out_);
  last_ = percent;
  drawn_ = consoleColumns(name_) + kFrameColumns;
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
