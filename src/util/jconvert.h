#pragma once
// Base64, Shift_JIS to ISO-2022-JP, MIME encoded words. Pure functions;
// safe from any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/Chars.h"

namespace quorvel {

std::string EncodeBase64(std::string_view bytes);
std::string DecodeBase64(std::string_view text);

std::pair<uint8_t, uint8_t> SJISCharToJIS(uint8_t lead, uint8_t trail);
// True for a lead and trail byte that code page 932 maps to a character
// within the 94 x 94 JIS grid, which ISO-2022-JP can carry.
bool IsAssignedSJISPair(uint8_t lead, uint8_t trail);

// ISO-2022-JP of a Shift_JIS text, 7-bit whatever the input: a byte or pair
// that names no character (and NUL, ESC, SO, SI) becomes the geta mark,
// half-width katakana their full-width forms. CR and LF pass as they are.
std::string SJIStoJIS(std::string_view sjis);
// A body text as ISO-2022-JP lines without their line ends: split at CR LF,
// lone CR and lone LF where a character starts, a longer line folded at a
// character boundary so that none exceeds maxBytes, and every line ending
// in ASCII mode (RFC 1468), the next one switching back when it goes on.
std::vector<std::string> SJIStoJISLines(std::string_view sjis, size_t maxBytes);

// One encoded word of the whole text when it holds anything but printable
// ASCII and TAB (a Japanese text, half-width katakana, a stray 8-bit or
// control byte); otherwise the text as it is.
std::string EncodeMimeWord(std::string_view text);
// As EncodeMimeWord, or several encoded words joined by CR LF TAB when the
// text is too long for limit.
std::string EncodeMimeText(std::string_view text, int limit);
// The same for a UTF-8 text, in words of charset utf-8 that end between
// characters (RFC 2047 section 5), none longer than limit.
std::string EncodeMimeTextUtf8(std::string_view utf8, int limit);

}  // namespace quorvel
