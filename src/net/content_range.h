// What a 206 says it carries (both platform Nets deliver one only when it is the range they
// asked for), and what a 416 says the whole body is.
#pragma once

#include <cstdint>
#include <string_view>

namespace velm {

// True when value, a Content-Range header's value, is one byte range ("bytes FIRST-LAST/LENGTH",
// LENGTH "*" when unknown) that begins at firstByte and, unless lastByte is UINT64_MAX, ends at
// lastByte, or at the body's last byte when lastByte is past it (which only a known LENGTH
// tells). Anything else, "bytes */LENGTH" included, is false: the body that follows cannot be
// placed, or is not all that was asked for.
[[nodiscard]] bool contentRangeAnswers(std::string_view value, uint64_t firstByte,
                                       uint64_t lastByte);

// True when value is the Content-Range of a 416 ("bytes */LENGTH"), with LENGTH read into length:
// the size of the whole body, past whose end the request asked.
[[nodiscard]] bool unsatisfiedRangeLength(std::string_view value, uint64_t& length);

}  // namespace velm
