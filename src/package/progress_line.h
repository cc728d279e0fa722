// What the player sees of the package update: its lines, the percentage line of a large file
// and how a size reads in a download line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "package/manifest.h"

namespace velm {

// One line of the package update on progress (nothing when it is null), flushed: names from the
// manifest are shown disarmed (displayText).
void printPackageLine(FILE* progress, const std::string& line);

// The percentage line of a file over 4 MiB ("\r[*] NAME  NN%"), drawn on out (which may be
// null; smaller files draw none) at every multiple of 5 that a chunk ends on. It keeps to one
// row of 80 columns: a longer name is shown with "..." in its middle.
class ProgressLine {
 public:
  ProgressLine(FILE* out, const ManifestFile& file) : ProgressLine(out, file.name, file.size) {}
  // A line for total bytes of the file: what is fetched of it.
  ProgressLine(FILE* out, const std::string& name, uint64_t total);
  void update(uint64_t received);
  // The bytes fetched changed (a whole download took over); percentages start again.
  void retotal(uint64_t total);
  // Shows 100 for a complete file whose last chunk was not drawn, then blanks the line over all
  // it took (40 columns at least).
  void finish(bool complete);

 private:
  static constexpr uint32_t kNoPercentYet = UINT32_MAX;
  void showPercent(uint32_t percent);
  FILE* out_;
  FILE* console_;  // out_ whatever the size, for a new total
  uint64_t size_;
  std::string name_;  // as shown
  uint32_t last_ = kNoPercentYet;
  size_t drawn_ = 0;  // the columns the line took
};

// "N KB" below 1 MiB, "N.N MB" below 10 MiB, "N MB" from 10 MiB, every division rounded down
// except the one-decimal form, which the formatter rounds.
std::string sizeText(uint64_t bytes);

}  // namespace velm
