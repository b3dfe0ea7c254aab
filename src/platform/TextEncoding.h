#pragma once
// Shift_JIS to UTF-8 at the edges that need UTF-8 (console, journal, unit
// files). Safe from any thread.

#include <string>
#include <string_view>

namespace quorvel::platform {

// Bytes that are not valid code page 932 become U+FFFD; never fails.
std::string SjisToUtf8(std::string_view sjis);

}  // namespace quorvel::platform
