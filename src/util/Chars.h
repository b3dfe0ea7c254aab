#pragma once
// Byte tests shared by the layers above the platform. Texts are Shift_JIS
// bytes and protocol words ASCII, so no locale is ever consulted. Pure; safe
// from any thread.

namespace quorvel {

// Code page 932 lead bytes: 0x81-0x9F and 0xE0-0xFC.
inline bool IsSJISLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Only 'a'-'z' change. A caller walking Shift_JIS text steps over trail
// bytes itself: a trail byte may lie in that range.
inline char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// 0-15 for a hex digit of either case, -1 for any other byte.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The hex digit of the low four bits of value.
inline char HexDigit(unsigned value, bool upperCase) {
    return (upperCase ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0x0F];
}

}  // namespace quorvel
