#pragma once
// UTF-8 texts beside the Shift_JIS ones: which of the two a message is, a
// cleaned UTF-8 text, and the Shift_JIS forms that ISO-2022-JP can carry.
// Pure functions; safe from any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// U+3013, the geta mark, in UTF-8 and in Shift_JIS.
inline constexpr std::string_view kGetaUtf8 = "\xE3\x80\x93";
inline constexpr std::string_view kGetaSjis = "\x81\xAC";
// U+FFFD, which code page 932 lacks.
inline constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

enum class TTextCharset { Sjis, Utf8 };

// Bytes taken by the well-formed UTF-8 character at pos (1 to 4), or 0 when
// none starts there: a stray continuation byte, an overlong form, a
// surrogate, a code point above U+10FFFF, a sequence cut short.
size_t Utf8CharLength(std::string_view text, size_t pos);

// The code point of the well-formed character at pos (Utf8CharLength > 0).
uint32_t Utf8CodePoint(std::string_view text, size_t pos);

// UTF-8 when the text begins with the byte-order mark, or when it is
// well-formed UTF-8 holding at least one multi-byte character; otherwise
// Shift_JIS. Pure ASCII is Shift_JIS: both read it alike.
TTextCharset DetectTextCharset(std::string_view bytes);

// The text as well-formed UTF-8: every U+FEFF dropped (a byte-order mark
// shows nothing wherever a sender put it), and each ill-formed piece (the
// longest start of a sequence that went wrong, at least one byte) replaced
// by replacement.
std::string CleanUtf8(std::string_view text, std::string_view replacement);

// Code points for which JIS X 0208 and code page 932's table name different
// characters (WAVE DASH and FULLWIDTH TILDE, MINUS SIGN and FULLWIDTH
// HYPHEN-MINUS, ...) taken as code page 932's: a sender's text uses either,
// and iconv knows both where Windows knows one. Well-formed UTF-8 in.
std::string FoldJisVariants(std::string_view utf8);

// Code page 932 holds the IBM extensions twice: at lead bytes 0xFA-0xFC,
// where its table maps them back from Unicode, and as the NEC-selected rows
// (0xED, 0xEE) or the JIS and NEC characters they repeat, which fit the
// 94 x 94 grid of ISO-2022-JP. Each pair of the first kind becomes its twin
// of the second; every other byte stays.
std::string FoldIbmExtensions(std::string_view sjis);

}  // namespace quorvel
