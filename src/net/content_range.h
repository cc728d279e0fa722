// What a 206 says it carries (both platform Nets deliver one only when it starts where they
// asked), and what a 416 says the whole body is.
#pragma once

#include <cstdint>
#include <string_view>

namespace velm {

// True when value, a Content-Range header's value, is one byte range ("bytes FIRST-LAST/LENGTH",
// LENGTH "*" when unknown) that begins at firstByte. Anything else, "bytes */LENGTH" included,
// is false: the body that follows cannot be placed.
[[nodiscard]] bool contentRangeBeginsAt(std::string_view value, uint64_t firstByte);

// True when value is the Content-Range of a 416 ("bytes */LENGTH"), with LENGTH read into length:
// the size of the whole body, past whose end the request asked.
[[nodiscard]] bool unsatisfiedRangeLength(std::string_view value, uint64_t& length);

}  // namespace velm
