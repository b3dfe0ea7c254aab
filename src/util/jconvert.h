#pragma once
// Base64, Shift_JIS to ISO-2022-JP, MIME encoded words. Pure functions;
// safe from any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel {

// Code page 932 lead bytes: 0x81-0x9F and 0xE0-0xFC. No locale is consulted.
inline bool IsSJISLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

std::string EncodeBase64(std::string_view bytes);
std::string DecodeBase64(std::string_view text);

std::pair<uint8_t, uint8_t> SJISCharToJIS(uint8_t lead, uint8_t trail);
std::string SJIStoJIS(std::string_view sjis);

std::string EncodeMimeWord(std::string_view text, bool quote);
std::string EncodeMimeText(std::string_view text, bool quote, int limit);

}  // namespace quorvel
