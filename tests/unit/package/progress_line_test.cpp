#include "package/progress_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velm {
namespace {

TEST(ProgressLine, SizeText) {
  struct Case {
    uint64_t bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {1, "0 KB"},
      {512, "0 KB"},
      {1023, "0 KB"},
      {1024, "1 KB"},
      {1048575, "1023 KB"},
      {1048576, "1.0 MB"},
      {1572864, "1.5 MB"},
      {5242880, "5.0 MB"},
      {10485759, "10.0 MB"},
      {10485760, "10 MB"},
      {11534335, "10 MB"},
      {1099511627776, "1048576 MB"},
      {UINT64_MAX, "17592186044415 MB"},
  };
  for (const Case& c : cases) EXPECT_EQ(sizeText(c.bytes), c.text) << c.bytes;
}

}  // namespace
}  // namespace velm
