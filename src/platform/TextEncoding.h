#pragma once
// Shift_JIS and UTF-8 at the edges that need UTF-8 (console, journal, unit
// files, UTF-8 senders, UTF-8 mail and settings files), both ways through
// the system's code page 932 table. Safe from any thread.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::platform {

// Bytes that are not valid code page 932 become replacement (U+FFFD unless
// told otherwise); never fails.
std::string SjisToUtf8(std::string_view sjis, std::string_view replacement = "\xEF\xBF\xBD");

// The code page 932 bytes of a UTF-8 text; never fails. Every U+FEFF is
// dropped; an ill-formed piece of UTF-8 and a character the code page lacks
// become the geta mark, and its offset in the result is appended to missing
// when one is given, so that a caller can tell the mark from a sent one.
std::string Utf8ToSjis(std::string_view utf8, std::vector<size_t>* missing = nullptr);

}  // namespace quorvel::platform
